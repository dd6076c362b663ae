#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Recording the accepted unit in a hosts file, and never damaging it.
# Usage: hosts_test.sh UNITFIND SIM_UNIT FAULT_INJECT [CASE-PATTERN...]
# Bind mounts made here stay private to this run and go with it.
if [ -z "${IN_PRIVATE_MOUNTS:-}" ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null &&
   unshare -m --propagation private true 2>/dev/null; then
  IN_PRIVATE_MOUNTS=1 exec unshare -m --propagation private "$BASH" "$0" "$@"
fi
source "$(dirname "$0")/lib.sh"
# No file a run writes may grow past 64 MiB, so that a broken build that
# copies without end fails a case instead of filling the disk.
ulimit -f $((64 * 1024))
# Where / is not a mount point (a chroot) no private mount namespace can be
# made, and the cases that mount something skip.
NO_MOUNTS=""
[ -n "${IN_PRIVATE_MOUNTS:-}" ] ||
  NO_MOUNTS="no private mount namespace here (is / a mount point?)"

# mounts_or_skip: returns 1, and the case is skipped, where nothing can be
# mounted privately.
mounts_or_skip() {
  [ -z "$NO_MOUNTS" ] && return 0
  echo "SKIP [$CASE]: $NO_MOUNTS"
  return 1
}

ETC="$WORK/etc"
H="$ETC/hosts"
ORIGINAL=$'127.0.0.1\tlocalhost\n# keep this comment\n\n::1 ip6-localhost\n'
ENTRY1="10.77.0.11 player.lan # Empeg: Serial=30100123 Name=Living room [EMPEG-30100123-EMPEG]"
ENTRY2="10.77.0.12 player.lan # Empeg: Serial=30100123 Name=Moved [EMPEG-30100123-EMPEG]"
HEAD="$BANNER
Setting timeout to be 3 seconds.
Host file: $H
Name to be give to empeg: player.lan
Broadcasting to: 10.77.0.255"

fresh_etc() {
  rm -rf "$ETC"
  mkdir -p "$ETC"
  printf '%s' "$ORIGINAL" >"$H"
}

# Every case starts with this hosts file alone in its directory.
fresh_state() {
  fresh_etc
}

# expect_file WHAT EXPECTED-CONTENT FILE: byte for byte, trailing newlines too.
expect_file() {
  if cmp -s <(printf '%s' "$2") "$3"; then
    pass
  else
    fail "$1"
    diff <(printf '%s' "$2") "$3" | sed 's/^/    /'
  fi
}

# mount_hosts: a copy of the hosts file mounted over it, as in containers.
# Returns 1, and the case is skipped, where nothing can be mounted here.
mount_hosts() {
  mounts_or_skip || return 1
  { printf '%s' "$ORIGINAL" >"$WORK/mounted" && mount --bind "$WORK/mounted" "$H"; } || fail "cannot mount over $H"
}

expect_left() {
  expect_eq "files in the hosts directory" "$1" "$(ls -A "$ETC" | tr '\n' ' ')"
}

# What a run that got its turn leaves beside the file: the lock file stays.
LEFT=".hosts.lock hosts hosts.old "

# expect_resolved WHAT ADDRESS NAME: ADDRESS is what a real resolver client
# gets for NAME when the hosts file is this machine's /etc/hosts.
expect_resolved() {
  mounts_or_skip || return 0
  if [ ! -f /etc/hosts ]; then
    echo "SKIP [$CASE]: no /etc/hosts here for the resolver check to mount over"
    return 0
  fi
  expect_eq "$1" "$2" "$(unshare -m --propagation private sh -c \
    'mount --bind "$1" /etc/hosts && getent hosts "$2"' _ "$H" "$3" | awk '{print $1}')"
}

run_lan() {
  tool lan -b10.77.0.255 -t3 -h"$H" -nplayer.lan "$@"
}

# run_found [options]: run_lan, unit 1 answering as serial 30100123 called
# "Living room".
run_found() {
  unit lan 1 'send:id=30100123 name=Living room'
  run_lan "$@"
}

update::first_run_appends() { # the first run appends an entry, keeping mode, owner and the old file
  chmod 0644 "$H"
  chown 1234:5678 "$H"
  run_found
  expect_run 0 "" "$HEAD
Found an empeg with serial 30100123 called \"Living room\" at 10.77.0.11
Appending entry for player.lan to $H"
  expect_updated
  expect_eq "mode and owner" "644 1234:5678" "$(stat -c '%a %u:%g' "$H")"
  expect_resolved "resolved by getent" 10.77.0.11 player.lan
}

update::second_run_replaces() { # a second run replaces the entry in place
  # What a first run leaves, and a line added after it.
  printf '%s\n%s\nafter\n' "$ORIGINAL" "$ENTRY1" >"$H"
  printf 'older backup\n' >"$H.old"
  FIRST=$(cat "$H"; echo x)
  unit lan 2 'send:id=30100123 name=Moved'
  run_lan
  expect_run 0 "" "$HEAD
Found an empeg with serial 30100123 called \"Moved\" at 10.77.0.12
Modifying entry for player.lan in $H"
  expect_file "hosts file" "$ORIGINAL"$'\n'"$ENTRY2"$'\nafter\n' "$H"
  expect_file "backup" "${FIRST%x}" "$H.old"
  expect_left "$LEFT"
  expect_resolved "resolved by getent" 10.77.0.12 player.lan
}

update::name_cannot_add_line() { # a name from the network cannot add a line
  unit lan 1 'send:id=7 name=x\n10.66.6.6 bank.example.com\r\x1b'
  run_lan
  expect_eq "exit status" 0 "$STATUS"
  expect_file "hosts file" "$ORIGINAL"$'\n''10.77.0.11 player.lan # Empeg: Serial=7 Name=x\n10.66.6.6 bank.example.com\r\x1b [EMPEG-7-EMPEG]'$'\n' "$H"
  expect_resolved "bank.example.com resolves to nothing" "" bank.example.com
  # Readers that take a hosts file 255 bytes at a time (avahi-daemon) read
  # the rest of a longer line as a line of its own: the name is cut to fit,
  # or left out where the host name leaves no room.
  SHOWN="" LONG_LINES=""
  for host in "$(printf 'h%.0s' {1..150})" "$(printf 'h%.0s' {1..253})"; do
    stop_units
    unit lan 1 "send:id=12345 name=$(printf '\\x01%.0s' {1..118})6.6.6.6 bank.example "
    run_lan -n"$host"
    SHOWN+="$(grep -a EMPEG-12345 "$H" | sed 's/.*Name=//; s/ \[EMPEG.*//')|"
    LONG_LINES+="$(LC_ALL=C awk 'length($0) > 254' "$H" | wc -l) "
    expect_resolved "a host name of ${#host} bytes resolves" 10.77.0.11 "$host"
  done
  expect_eq "the names shown" "$(printf '\\x01%.0s' {1..10})...||" "$SHOWN"
  expect_eq "lines over 255 bytes" "0 1 " "$LONG_LINES"
}

update::no_unit_no_change() { # no unit answers: the hosts file is not touched
  run_lan -t1
  expect_eq "exit status" 0 "$STATUS"
  expect_eq "standard output" "$GIVE_UP" "$OUT"
  expect_file "hosts file" "$ORIGINAL" "$H"
  expect_left "hosts "
}

update::missing_file() { # a missing hosts file is reported and not created
  rm "$H"
  run_found
  expect_run 0 "" "$HEAD
Found an empeg with serial 30100123 called \"Living room\" at 10.77.0.11
fopen: No such file or directory
Unable to modify $H"
  expect_left ""
}

files::directory() { # a directory as the hosts file
  rm "$H"
  mkdir "$H"
  run_found
  expect_run 0 "" "$HEAD
Found an empeg with serial 30100123 called \"Living room\" at 10.77.0.11
read: Is a directory
Unable to modify $H"
  expect_left "hosts "
}

APPEND="Appending entry for player.lan to $H"

# expect_updated [STATUS]: the unit's entry was appended, the previous file
# is the backup, and nothing else is left.
expect_updated() {
  expect_eq "exit status" "${1:-0}" "$STATUS"
  expect_file "hosts file" "$ORIGINAL"$'\n'"$ENTRY1"$'\n' "$H"
  expect_file "backup" "$ORIGINAL" "$H.old"
  expect_left "$LEFT"
}

faults::full_file_system() { # a full file system
  if mounts_or_skip; then
    unit lan 1 'send:id=30100123 name=Living room'
    SMALL="$WORK/small"
    mkdir -p "$SMALL"
    seq -f '0.0.0.0 ad%07g.tracker.example.com' 4000 >"$WORK/big"
    # The tmpfs holds the hosts file and its backup but not a second copy.
    unshare -m --propagation private bash -c '
      small=$1 big=$2 ns=$3 unitfind=$4 work=$5
      mount -t tmpfs -o size=256k,mode=0755 tmpfs "$small" || exit 1
      cp "$big" "$small/hosts"
      printf "older backup\n" >"$small/hosts.old"
      nsenter --net="/var/run/netns/$ns" -- "$unitfind" -b10.77.0.255 -t3 -h"$small/hosts" -nplayer.lan \
        >"$work/out" 2>"$work/err"
      echo $? >"$work/status"
      ls -A "$small" | tr "\n" " " >"$work/left"
      cp "$small/hosts" "$work/hosts.after"
      cp "$small/hosts.old" "$work/old.after"
    ' _ "$SMALL" "$WORK/big" "$ID-lan" "$UNITFIND" "$WORK"
    expect_eq "exit status" 0 "$(cat "$WORK/status")"
    expect_eq "report" "write: No space left on device
Unable to modify $SMALL/hosts" "$(tail -n 2 "$WORK/err")"
    expect_eq "files left" "$LEFT" "$(cat "$WORK/left")"
    if cmp -s "$WORK/big" "$WORK/hosts.after"; then pass; else fail "hosts file changed"; fi
    expect_file "backup" "older backup"$'\n' "$WORK/old.after"
  fi
}

files::mounted() { # a file mounted over the hosts path, as in containers, is rewritten in place
  if mount_hosts; then
    run_found
    expect_updated
    umount "$H"
  fi
}

files::backup_hard_link() { # a backup that is a hard link to the file: nothing is left
  ln "$H" "$H.old"
  run_found
  expect_updated
}

# an append-only directory: the run ends, and names what it could not remove
faults::append_only_directory() {
  if chattr +a "$ETC" 2>/dev/null; then
    run_found
    chattr -a "$ETC"
    expect_eq "report" "rename: Operation not permitted
unlink: Operation not permitted
Unable to modify $H" "$(tail -n 4 <<<"$ERR" | head -n 3)"
    expect_eq "files named as left" "$(ls -d "$ETC"/hosts?????? | sort)" \
      "$(tail -n 1 <<<"$ERR" | sed 's/^Files left behind: //' | tr ' ' '\n' | sort)"
    expect_file "hosts file" "$ORIGINAL" "$H"
  else
    echo "SKIP [$CASE]: no chattr +a on $(df --output=fstype "$ETC" | tail -1)"
  fi
}

files::symbolic_link() { # a symbolic link: the file it leads to is updated, the link kept
  mkdir "$ETC/real"
  mv "$H" "$ETC/real/hosts.txt"
  ln -s real/hosts.txt "$H"
  run_found
  expect_eq "report names the link" "$APPEND" "$(tail -n 1 <<<"$ERR")"
  expect_eq "link" "real/hosts.txt" "$(readlink "$H")"
  expect_file "target" "$ORIGINAL"$'\n'"$ENTRY1"$'\n' "$ETC/real/hosts.txt"
  expect_eq "files beside the target" ".hosts.txt.lock hosts.txt hosts.txt.old " \
    "$(ls -A "$ETC/real" | tr '\n' ' ')"
}

files::acl() { # an ACL is carried over to the new file and the backup
  if setfacl -m u:1001:rw,g::---,m::rw "$H"; then
    ACL=$(getfacl -cp "$H")
    run_found
    expect_eq "ACL of the new file and the backup" "$ACL$ACL" \
      "$(getfacl -cp "$H")$(getfacl -cp "$H.old")"
  else
    echo "SKIP [$CASE]: no setfacl, or no ACLs on $(df --output=fstype "$H" | tail -1)"
  fi
}

files::fifos_and_devices() { # FIFOs and devices are refused, untouched
  for node in "p" "c 1 3" "c 1 5"; do
    rm "$H"
    mknod "$H" $node
    unit lan 1 'send:id=30100123 name=Living room'
    TYPE=$(stat -c %F "$H")
    run_lan
    expect_eq "report" "$H is not a regular file
Unable to modify $H" "$(tail -n 2 <<<"$ERR")"
    expect_eq "file type" "$TYPE" "$(stat -c %F "$H")"
    expect_left "hosts "
  done
}

# closed standard descriptors: nothing but the entry goes into the file
update::closed_descriptors() {
  unit lan 1 'send:id=30100123 name=Living room'
  in_ns "$ID-lan" bash -c 'exec "$@" <&- >&- 2>&-' _ \
    "$UNITFIND" -b10.77.0.255 -t3 -h"$H" -nplayer.lan
  STATUS=$?
  expect_updated
}

# hold_lock FILE SECONDS [-s]: another process, HOLDER, holds a lock on FILE
# for SECONDS from when this returns; -s makes it a reader's shared lock.
hold_lock() {
  (exec {fd}<"$1" && flock ${3:-} "$fd" && exec sleep "$2") &
  HOLDER=$!
  until ! flock -n "$1" true || ! kill -0 $HOLDER 2>/dev/null; do sleep 0.1; done
}

# nets_up N: the nets r1..rN, each a tool host with one unit, made once.
nets_up() {
  local i
  for ((i = 1; i <= $1; i++)); do
    [ -e "$NETNS/$ID-r$i" ] || net_up "r$i" 1
  done
}

# runs_at_once N: a run on each of the nets r1..rN at once, each recording
# its own unit, serial I, as hI. Sets STATUSES and ERRS, all they said.
runs_at_once() {
  local i pid pids=()
  for ((i = 1; i <= $1; i++)); do
    unit "r$i" 1 "send:id=$i name=u$i"
  done
  for ((i = 1; i <= $1; i++)); do
    in_ns "$ID-r$i" "$UNITFIND" -b10.77.0.255 -t10 -h"$H" -nh$i >/dev/null 2>"$WORK/err.$i" &
    pids+=($!)
  done
  STATUSES=""
  for pid in "${pids[@]}"; do
    wait "$pid"
    STATUSES+="$? "
  done
  ERRS=$(cat "$WORK"/err.*)
}

# expect_entries WHAT N: the file holds the entries of serials 1 to N.
expect_entries() {
  expect_eq "$1" "$(seq -s ' ' "$2")" \
    "$(grep -o 'EMPEG-[0-9]*-EMPEG' "$H" | tr -dc '0-9\n' | sort -n | tr '\n' ' ' | sed 's/ $//')"
}

# Runs take turns on a lock file of their own, which no reader can hold.
locks::past_readers_lock() { # a reader's lock holds up no run, in place or not: no entry lost
  nets_up 2
  for how in rename in_place; do
    fresh_etc
    [ $how = rename ] || mount_hosts || continue
    hold_lock "$H" 60 -s
    runs_at_once 2
    kill $HOLDER
    expect_eq "$how: exit statuses" "0 0 " "$STATUSES"
    expect_eq "$how: lines about other locks" "" "$(grep -e Locking -e 'Going on' <<<"$ERRS")"
    expect_entries "$how: entries" 2
    [ $how = rename ] || umount "$H"
    stop_units
  done
}

locks::turn_outlasts_t() { # a run waits its turn for as long as the run ahead takes, not -t
  install -m 0600 /dev/null "$ETC/.hosts.lock"
  hold_lock "$ETC/.hosts.lock" 3
  run_found -t1
  wait $HOLDER
  expect_eq "report" "Waiting for the lock on $H
$APPEND" "$(tail -n 2 <<<"$ERR")"
  expect_lt "milliseconds waited for the turn at least" 2500 "$ELAPSED_MS"
  expect_updated
}

# With -t1 the run waits a second for the lock, far short of the 60 s the
# holder keeps it, so that a wait that ignores -t fails the case.
locks::shared_directory() { # where others may write beside it, runs lock the file: wait -t, then go on
  chmod 1777 "$ETC"
  hold_lock "$H" 60
  run_found -t1
  kill $HOLDER 2>/dev/null
  expect_eq "report" "Locking $H itself, not .hosts.lock: its directory is not this user's alone
Waiting for the lock on $H
Going on without the lock on $H
$APPEND" "$(tail -n 4 <<<"$ERR")"
  expect_lt "milliseconds waited for the lock at least" 900 "$ELAPSED_MS"
  expect_lt "milliseconds, against the holder's 60 s" "$ELAPSED_MS" 30000
  LEFT="hosts hosts.old " expect_updated
}

locks::ten_runs_at_once() { # ten runs at once on a 20 MB file: each entry kept, no run fails
  nets_up 10
  seq -f '0.0.0.0 ad%07g.tracker.example.com' 540000 >"$H"
  runs_at_once 10
  expect_eq "exit statuses" "$(printf '0 %.0s' {1..10})" "$STATUSES"
  expect_eq "failures" "" "$(grep -e Unable -e 'kept changing' <<<"$ERRS")"
  expect_entries "entries" 10
  expect_eq "other lines" 540000 "$(grep -c tracker "$H")"
  expect_left "$LEFT"
}

# Six runs at once, an editor that takes no lock appending a line now and
# then, a reader holding its lock and stray signals: every run that recorded
# its unit (it said so and no "Unable to modify" followed) has its entry in
# the file, and every line the editor wrote and then saw there is there. A
# line written through a name opened before an exchange goes to the file
# swapped out, as the manual says, so the editor writes again a line it
# does not see.
locks::soak() { # six runs at once with an editor, a reader's lock and stray signals lose nothing
  local i pid pids=() editor round
  nets_up 6
  for round in 1 2 3; do
    fresh_etc
    seq -f '0.0.0.0 ad%07g.tracker.example.com' 20000 >>"$H"
    hold_lock "$H" 60 -s
    (for i in $(seq 40); do
      until grep -q " editor$i\$" "$H"; do echo "192.0.2.$i editor$i" >>"$H"; done
      sleep 0.05
    done) &
    editor=$!
    pids=()
    for ((i = 1; i <= 6; i++)); do
      unit "r$i" 1 "send:id=$i name=u$i"
      in_ns "$ID-r$i" "$UNITFIND" -b10.77.0.255 -t10 -h"$H" -nh$i >/dev/null 2>"$WORK/err.$i" &
      pids+=($!)
    done
    sleep 0.2
    kill -USR1 "${pids[1]}" "${pids[4]}" 2>/dev/null
    for pid in "${pids[@]}"; do wait "$pid"; done
    wait $editor
    kill $HOLDER
    for ((i = 1; i <= 6; i++)); do
      if grep -q "entry for h$i" "$WORK/err.$i" && ! grep -q Unable "$WORK/err.$i"; then
        CASE="$NAME: round $round" expect_eq "entry of h$i" 1 "$(grep -c "EMPEG-$i-EMPEG" "$H")"
      fi
    done
    CASE="$NAME: round $round" expect_eq "the editor's lines" 40 "$(grep -o ' editor[0-9]*$' "$H" | sort -u | wc -l)"
    CASE="$NAME: round $round" expect_eq "other lines" 20000 "$(grep -c tracker "$H")"
    CASE="$NAME: round $round" expect_left "$LEFT"
    stop_units
  done
}

files::overlay() { # a file on an overlay of two file systems is renamed over, not rewritten in place
  mounts_or_skip || return 0
  mkdir "$WORK/lower" "$WORK/upper"
  mv "$H" "$WORK/lower/hosts"
  mount -t tmpfs -o size=1m tmpfs "$WORK/upper" && mkdir "$WORK/upper/u" "$WORK/upper/w"
  if ! mount -t overlay overlay \
      -o "lowerdir=$WORK/lower,upperdir=$WORK/upper/u,workdir=$WORK/upper/w" "$ETC"; then
    echo "SKIP [$CASE]: no overlay file system here"
  elif [ "$(stat -c %d "$H")" = "$(stat -c %d "$ETC")" ]; then
    echo "SKIP [$CASE]: this overlay gives its files the device number of its directories"
  else
    INODE=$(stat -c %i "$H")
    run_found
    expect_updated
    expect_eq "a new file, not the old one rewritten" "" "$(find "$H" -inum "$INODE")"
  fi
  umount "$ETC" 2>/dev/null
  umount "$WORK/upper"
}

# stalled FAULTS COMMAND...: a run on lan with FAULTS, one of which stalls a
# call (stalled_run below); COMMAND runs once it stalls. Sets STATUS.
stalled() {
  stalled_run lan "$WORK/err" "$1" -b10.77.0.255 -t3 -h"$H" -nplayer.lan
  "${@:2}"
  wait $STALLED_PID
  STATUS=$?
}

signal_stalled() { kill -"$1" "$(cat "$WORK/stalled")"; }

edit_stalled() { echo "192.0.2.1 added" >>"$H" && chmod 0600 "$H"; }

faults::signals_mid_update() { # a signal mid-update, a closed pipe among them, waits for its end
  if [ -n "$NO_PRELOAD" ]; then echo "SKIP [$CASE]: $NO_PRELOAD"; return 0; fi
  for signal in USR1 ALRM; do
    fresh_etc
    unit lan 1 'send:id=30100123 name=Living room'
    stalled fsync:1:sleep2 signal_stalled $signal
    CASE="$NAME: $signal" expect_updated $((128 + $(kill -l $signal)))
    stop_units
  done
  # The reader of standard error is gone by the time the run announces the
  # entry, as the run writes its copy.
  fresh_etc
  unit lan 1 'send:id=30100123 name=Living room'
  UNITFIND_STALLED="$WORK/stalled" faulty write:1:sleep2 in_ns "$ID-lan" "$UNITFIND" -b10.77.0.255 \
    -t3 -h"$H" -nplayer.lan 2>&1 | grep -q Found
  STATUS=${PIPESTATUS[0]}
  CASE="$NAME: PIPE" expect_updated
}

faults::edit_mid_update() { # a line appended and a chmod made mid-update are kept
  if [ -n "$NO_PRELOAD" ]; then echo "SKIP [$CASE]: $NO_PRELOAD"; return 0; fi
  unit lan 1 'send:id=30100123 name=Living room'
  stalled fsync:1:sleep2 edit_stalled
  expect_eq "exit status" 0 "$STATUS"
  expect_file "hosts file" "$ORIGINAL"$'192.0.2.1 added\n\n'"$ENTRY1"$'\n' "$H"
  expect_file "backup" "$ORIGINAL"$'192.0.2.1 added\n' "$H.old"
  expect_eq "mode" 600 "$(stat -c %a "$H")"
  expect_left "$LEFT"
}

# stalled_run NET ERR FAULTS OPTION...: a run on NET with OPTIONs and
# FAULTS, one of which stalls a call, saying what it says in ERR; returns
# once it stalls. Sets STALLED_PID.
stalled_run() {
  rm -f "$WORK/stalled"
  UNITFIND_STALLED="$WORK/stalled" faulty "$3" in_ns "$ID-$1" "$UNITFIND" "${@:4}" >/dev/null 2>"$2" &
  STALLED_PID=$!
  until [ -s "$WORK/stalled" ] || ! kill -0 $STALLED_PID 2>/dev/null; do sleep 0.05; done
}

faults::killed_in_place() { # a run killed as it rewrites a mounted file in place: the next one puts the file back first
  if [ -n "$NO_PRELOAD" ]; then echo "SKIP [$CASE]: $NO_PRELOAD"; return 0; fi
  mount_hosts || return 0
  unit lan 1 'send:id=30100123 name=Living room'
  stalled pwrite@hosts:1:sleep10 signal_stalled KILL
  expect_eq "exit status of the killed run" 137 "$STATUS"
  # What a kill halfway through the overwrite leaves.
  printf 'half-writ' >>"$H"
  stop_units
  run_found
  expect_eq "report" "Wrote the previous contents of $H back from $H.old: a run ended while it rewrote them
$APPEND" "$(tail -n 2 <<<"$ERR")"
  expect_updated
  expect_eq "the journal once done" 0 "$(stat -c %s "$ETC/.hosts.lock")"
  umount "$H"
}

faults::killed_litter() { # whatever a killed run made, the next run removes
  if [ -n "$NO_PRELOAD" ]; then echo "SKIP [$CASE]: $NO_PRELOAD"; return 0; fi
  local at faults
  for at in fsync:1 renameat2:1 rename@hosts.old:1 fsync@*/:1; do
    fresh_etc
    # Each way of keeping the previous file, exchanged or linked or copied.
    for faults in "$at:sleep10" "renameat2:1:EINVAL,$at:sleep10" "renameat2:1:EINVAL,link:1:EPERM,$at:sleep10"; do
      # Without an exchange there is no exchange to stop at.
      [[ $at == renameat2* && $faults == renameat2:1:EINVAL,* ]] && continue
      stop_units
      unit lan 1 'send:id=30100123 name=Living room'
      stalled "$faults" signal_stalled KILL
      CASE="$NAME: $faults" expect_eq "killed" 137 "$STATUS"
    done
    stop_units
    run_found
    CASE="$NAME: $at" expect_eq "exit status" 0 "$STATUS"
    CASE="$NAME: $at" expect_file "hosts file" "$ORIGINAL"$'\n'"$ENTRY1"$'\n' "$H"
    CASE="$NAME: $at" expect_left "$LEFT"
    stop_units
  done
}

# Where others may write beside the file, runs lock the file itself, and one
# that waits -t for it goes on without it: only a change of names that is
# checked after the fact makes that safe, so in place it gives up instead.
locks::stalled_in_shared_directory() { # a stalled run in a shared directory and a second run: both entries kept, or the second fails in place
  if [ -n "$NO_PRELOAD" ]; then echo "SKIP [$CASE]: $NO_PRELOAD"; return 0; fi
  nets_up 2
  local how faults
  for how in rename in_place; do
    fresh_etc
    chmod 1777 "$ETC"
    [ $how = rename ] || mount_hosts || continue
    unit r1 1 "send:id=1 name=u1"
    unit r2 1 "send:id=2 name=u2"
    if [ $how = rename ]; then faults=renameat2:1:sleep4; else faults=pwrite@hosts:1:sleep4; fi
    stalled_run r1 "$WORK/err.1" $faults -b10.77.0.255 -t10 -h"$H" -nh1
    in_ns "$ID-r2" "$UNITFIND" -b10.77.0.255 -t1 -h"$H" -nh2 >/dev/null 2>"$WORK/err.2"
    STATUS=$?
    wait $STALLED_PID
    CASE="$NAME: $how" expect_eq "exit statuses" "0 0" "$? $STATUS"
    if [ $how = rename ]; then
      CASE="$NAME: $how" expect_eq "the second run" "Going on without the lock on $H
Appending entry for h2 to $H" "$(tail -n 2 "$WORK/err.2")"
      CASE="$NAME: $how" expect_entries "entries" 2
    else
      CASE="$NAME: $how" expect_eq "the second run" "Gave up waiting for the lock on $H
Unable to modify $H" "$(tail -n 2 "$WORK/err.2")"
      CASE="$NAME: $how" expect_entries "entries" 1
      umount "$H"
    fi
    CASE="$NAME: $how" expect_eq "the stalled run" "Appending entry for h1 to $H" "$(tail -n 1 "$WORK/err.1")"
    stop_units
  done
}

# Two mounts of one file (two containers that share it) have a lock file
# each: their runs take turns on the file itself for the rewrite.
locks::two_mounts_in_place() { # runs through two mounts of one file take turns on its rewrite: both entries kept
  if [ -n "$NO_PRELOAD" ]; then echo "SKIP [$CASE]: $NO_PRELOAD"; return 0; fi
  mount_hosts || return 0
  nets_up 2
  local other="$WORK/other"
  rm -rf "$other" && mkdir "$other" && touch "$other/hosts" && mount --bind "$WORK/mounted" "$other/hosts"
  unit r1 1 "send:id=1 name=u1"
  unit r2 1 "send:id=2 name=u2"
  stalled_run r1 "$WORK/err.1" pwrite@hosts:1:sleep4 -b10.77.0.255 -t10 -h"$H" -nh1
  in_ns "$ID-r2" "$UNITFIND" -b10.77.0.255 -t10 -h"$other/hosts" -nh2 >/dev/null 2>"$WORK/err.2"
  STATUS=$?
  wait $STALLED_PID
  expect_eq "exit statuses" "0 0" "$? $STATUS"
  expect_eq "the second run" "Appending entry for h2 to $other/hosts
Waiting for the lock on $other/hosts" "$(tail -n 2 "$WORK/err.2")"
  expect_entries "entries" 2
  umount "$other/hosts" "$H"
  stop_units
}

files::planted_link() { # root on a user's directory follows no link the user planted
  local user private="$WORK/private"
  user=$(id -u nobody)
  mkdir -m 0700 "$private" && printf 'secret\n' >"$private/secret" && chmod 0600 "$private/secret"
  rm "$H"
  ln -s "$private/secret" "$H"
  chown -h nobody "$H"
  chown nobody "$ETC"
  run_found
  expect_eq "report" "Refusing $H: its path steps from what user $user owns to what user 0 owns
Unable to modify $H" "$(tail -n 2 <<<"$ERR")"
  expect_file "the file the link leads to" $'secret\n' "$private/secret"
  expect_eq "files beside it" "secret" "$(ls -A "$private" | tr '\n' ' ' | sed 's/ $//')"
  expect_left "hosts "
}

# served: the addresses that the case's dnsmasq gives for player.lan, sorted
# on one line, or "no answer".
served() {
  local out
  out=$(in_ns "$ID-lan" dig +short +time=2 +tries=1 -p 10053 @127.0.0.1 player.lan A) ||
    out="no answer"
  sort <<<"$out" | xargs
}

# await_answer WHAT BEFORE AFTER COMMAND...: polls COMMAND, for a minute,
# until it answers something other than BEFORE, passing over moments with no
# answer unless AFTER is none, then expects AFTER, and AFTER again a moment
# later, when the daemon asked has read whatever else it was going to read.
await_answer() {
  local what=$1 before=$2 after=$3 answer end=$((SECONDS + 60))
  shift 3
  while :; do
    answer=$("$@")
    [ "$answer" != "$before" ] && { [ "$answer" != "no answer" ] || [ "$after" = "no answer" ]; } && break
    [ "$SECONDS" -lt "$end" ] || break
    sleep 0.5
  done
  expect_eq "$what" "$after" "$answer"
  sleep 2
  expect_eq "$what, a moment later" "$after" "$("$@")"
}

# Set up as the README's "For every machine on the network" says: the hosts
# file alone in a directory of its own, read by dnsmasq with addn-hosts=, and
# dnsmasq reloaded (SIGHUP) after each run. From a directory that dnsmasq
# reads whole (hostsdir=) it would also serve the old address from hosts.old.
dns::served_by_dnsmasq() { # dnsmasq gives the unit's address, and after the unit moved only the new one
  local dnsmasq need server dir="$WORK/unitfind"
  dnsmasq=$(PATH=$PATH:/usr/sbin command -v dnsmasq)
  for need in "${dnsmasq:-dnsmasq}" dig; do
    if ! command -v "$need" >/dev/null; then
      echo "SKIP [$CASE]: no $need here (scripts/setup.sh test installs it)"
      return 0
    fi
  done
  ulimit -f 1024 # a run that writes without end stops at 1 MiB
  mkdir "$dir" && : >"$dir/hosts"
  echo "addn-hosts=$dir/hosts" >"$WORK/unitfind.conf"
  # Any port is free: the tool host's namespace is the suite's own. Started
  # directly, so that the process signalled is dnsmasq itself.
  nsenter --net="$NETNS/$ID-lan" -- "$dnsmasq" --no-daemon --port=10053 --no-resolv --no-hosts \
    --listen-address=127.0.0.1 --conf-file="$WORK/unitfind.conf" 2>"$WORK/dnsmasq.log" &
  server=$!
  await_answer "before the first run" "no answer" "" served

  unit lan 1 'send:id=30100123 name=Living room'
  tool lan -b10.77.0.255 -s30100123 -t3 -h"$dir/hosts" -nplayer.lan
  expect_eq "first run" "Appending entry for player.lan to $dir/hosts" "$(tail -n 1 <<<"$ERR")"
  kill -HUP "$server"
  await_answer "after the first run" "" 10.77.0.11 served

  unit lan 2 'send:id=30100123 name=Moved'
  tool lan -b10.77.0.255 -s30100123 -t3 -h"$dir/hosts" -nplayer.lan
  expect_eq "second run" "Modifying entry for player.lan in $dir/hosts" "$(tail -n 1 <<<"$ERR")"
  kill -HUP "$server"
  await_answer "after the unit moved" 10.77.0.11 10.77.0.12 served

  kill "$server"
  wait "$server"
  [ "$FAILED" -eq 0 ] || sed 's/^/    /' "$WORK/dnsmasq.log"
}

# published NAME: the addresses that a client on the network (unit 1's host)
# gets for NAME from the case's avahi-daemon, asked once as nss-mdns asks for
# an A record, sorted on one line, or "no answer". avahi-daemon answers at
# once from what it publishes, or not at all, so one try tells.
published() {
  local out
  out=$(in_ns "$ID-lan-u1" dig +short +time=3 +tries=1 -p 5353 @10.77.0.1 "$1" A |
    grep -E '^[0-9.]+$' | sort | xargs)
  echo "${out:-no answer}"
}

# Set up as the README's recipe says: the tool writes /etc/avahi/hosts
# (here a private directory mounted over /etc/avahi) with a .local name, and
# avahi-daemon, in its default chroot, follows each rewrite by itself. It
# runs in the tool host's namespace alone, on its bridge alone, without IPv6
# and without D-Bus, with /run its own.
mdns::published_by_avahi() { # avahi-daemon publishes player.local, kept through a run, then only the new address
  local avahi need daemon sampler dir="$WORK/avahi" i
  avahi=$(PATH=$PATH:/usr/sbin command -v avahi-daemon)
  for need in "${avahi:-avahi-daemon}" dig; do
    if ! command -v "$need" >/dev/null; then
      echo "SKIP [$CASE]: no $need here (scripts/setup.sh test installs it)"
      return 0
    fi
  done
  mounts_or_skip || return 0
  if [ ! -d /etc/avahi ]; then
    echo "SKIP [$CASE]: no /etc/avahi here to mount a private directory over"
    return 0
  fi
  ulimit -f 1024 # a run that writes without end stops at 1 MiB
  mkdir -m 0755 "$dir"
  printf '10.77.0.50 other.local\n' >"$dir/hosts"
  printf '%s\n' '[server]' host-name=unitfind-test use-ipv4=yes use-ipv6=no \
    allow-interfaces=br0 enable-dbus=no '[wide-area]' enable-wide-area=no \
    '[publish]' publish-hinfo=no publish-workstation=no >"$WORK/avahi-daemon.conf"
  mount --bind "$dir" /etc/avahi
  # The tool below writes /etc/avahi/hosts: only ever the private one.
  if [ "$(stat -c %d:%i /etc/avahi)" != "$(stat -c %d:%i "$dir")" ]; then
    fail "/etc/avahi is not the case's own directory"
    return 0
  fi
  # Started directly, so that the process signalled is avahi-daemon itself.
  nsenter --net="$NETNS/$ID-lan" -- unshare -m --propagation private sh -c \
    'mount -t tmpfs -o size=1m,mode=0755 tmpfs /run && exec "$@"' _ \
    "$avahi" -f "$WORK/avahi-daemon.conf" </dev/null >"$WORK/avahi.log" 2>&1 &
  daemon=$!
  await_answer "before the first run" "no answer" 10.77.0.50 published other.local

  unit lan 1 'send:id=30100123 name=Living room'
  tool lan -b10.77.0.255 -s30100123 -t3 -h/etc/avahi/hosts -nplayer.local
  expect_eq "first run" "Appending entry for player.local to /etc/avahi/hosts" \
    "$(tail -n 1 <<<"$ERR")"
  await_answer "after the first run" "no answer" 10.77.0.11 published player.local

  # What a timer does all day: the entry is written again as it was, and
  # every machine keeps reaching the unit meanwhile.
  unit lan 1 'send:id=30100123 name=Living room'
  (for i in $(seq 20); do published player.local; sleep 0.25; done >"$WORK/during") &
  sampler=$!
  sleep 0.5
  tool lan -b10.77.0.255 -s30100123 -t3 -h/etc/avahi/hosts -nplayer.local
  wait $sampler
  expect_eq "a run that leaves the entry as it was" "Modifying entry for player.local in /etc/avahi/hosts" \
    "$(tail -n 1 <<<"$ERR")"
  expect_eq "answers throughout that run" "$(printf '10.77.0.11\n%.0s' {1..20})" "$(cat "$WORK/during")"

  # Each unit answers one probe, then ends: none needs stopping (which would
  # also wait for the daemon).
  unit lan 2 'send:id=30100123 name=Moved'
  tool lan -b10.77.0.255 -s30100123 -t3 -h/etc/avahi/hosts -nplayer.local
  await_answer "after the unit moved" 10.77.0.11 10.77.0.12 published player.local

  # A unit whose name would put "10.66.6.6 evil.local" at byte 255 of its
  # line, where avahi-daemon starts a new one; its entry stands between two
  # lines, both of which stay published.
  { cat "$dir/hosts" && printf '%s\n' '# [EMPEG-66-EMPEG]' '10.77.0.51 after.local'; } >"$WORK/next"
  mv "$WORK/next" "$dir/hosts"
  await_answer "a line after the entry" "no answer" 10.77.0.51 published after.local
  unit lan 1 "send:id=66 name=$(printf 'a%.0s' {1..206})10.66.6.6 evil.local #"
  tool lan -b10.77.0.255 -s66 -t3 -h/etc/avahi/hosts -nkitchen.local
  await_answer "the long-named unit" "no answer" 10.77.0.11 published kitchen.local
  expect_eq "a name the unit sent" "no answer" "$(published evil.local)"
  for i in other.local:10.77.0.50 player.local:10.77.0.12 after.local:10.77.0.51; do
    expect_eq "${i%:*} after the long-named unit" "${i#*:}" "$(published "${i%:*}")"
  done

  kill "$daemon"
  wait "$daemon"
  umount /etc/avahi
  [ "$FAILED" -eq 0 ] || sed 's/^/    /' "$WORK/avahi.log"
}

run_cases lan 2

