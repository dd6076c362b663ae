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

expect_left() {
  expect_eq "files in the hosts directory" "$1" "$(ls -A "$ETC" | tr '\n' ' ')"
}

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

update::first_run_appends() { # the first run appends an entry, keeping mode, owner and the old file
  chmod 0644 "$H"
  chown 1234:5678 "$H"
  unit lan 1 'send:id=30100123 name=Living room'
  run_lan
  expect_run 0 "" "$HEAD
Found an empeg with serial 30100123 called \"Living room\" at 10.77.0.11
Appending entry for player.lan to $H"
  expect_file "hosts file" "$ORIGINAL"$'\n'"$ENTRY1"$'\n' "$H"
  expect_file "backup" "$ORIGINAL" "$H.old"
  expect_eq "mode and owner" "644 1234:5678" "$(stat -c '%a %u:%g' "$H")"
  expect_left "hosts hosts.old "
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
  expect_left "hosts hosts.old "
  expect_resolved "resolved by getent" 10.77.0.12 player.lan
}

update::name_cannot_add_line() { # a name from the network cannot add a line
  unit lan 1 'send:id=7 name=x\n10.66.6.6 bank.example.com\r\x1b'
  run_lan
  expect_eq "exit status" 0 "$STATUS"
  expect_file "hosts file" "$ORIGINAL"$'\n''10.77.0.11 player.lan # Empeg: Serial=7 Name=x\n10.66.6.6 bank.example.com\r\x1b [EMPEG-7-EMPEG]'$'\n' "$H"
  expect_resolved "bank.example.com resolves to nothing" "" bank.example.com
  # Resolvers that read a hosts file 511 bytes at a time take the rest of a
  # longer line as a line of its own.
  LONG_HOST=$(printf 'h%.0s' {1..253})
  stop_units
  unit lan 1 "send:id=12345 name=$(printf '\\x01%.0s' {1..118})6.6.6.6 bank.example "
  run_lan -n"$LONG_HOST"
  expect_eq "lines over 511 bytes" "" "$(LC_ALL=C awk 'length($0) > 510' "$H")"
  expect_eq "the cut name" "$(printf '\\x01%.0s' {1..48})..." \
    "$(grep -a EMPEG-12345 "$H" | sed 's/.*Name=//; s/ \[EMPEG.*//')"
  expect_resolved "the longest host name resolves" 10.77.0.11 "$LONG_HOST"
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
  unit lan 1 'send:id=30100123 name=Living room'
  run_lan
  expect_run 0 "" "$HEAD
Found an empeg with serial 30100123 called \"Living room\" at 10.77.0.11
fopen: No such file or directory
Unable to modify $H"
  expect_left ""
}

files::directory() { # a directory as the hosts file
  rm "$H"
  mkdir "$H"
  unit lan 1 'send:id=30100123 name=Living room'
  run_lan
  expect_run 0 "" "$HEAD
Found an empeg with serial 30100123 called \"Living room\" at 10.77.0.11
read: Is a directory
Unable to modify $H"
  expect_left "hosts "
}

APPEND="Appending entry for player.lan to $H"

# expect_updated: the unit's entry was appended, the previous file is the
# backup, and nothing else is left.
expect_updated() {
  expect_eq "exit status" "${1:-0}" "$STATUS"
  expect_file "hosts file" "$ORIGINAL"$'\n'"$ENTRY1"$'\n' "$H"
  expect_file "backup" "$ORIGINAL" "$H.old"
  expect_left "hosts hosts.old "
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
      mount -t tmpfs -o size=256k tmpfs "$small" || exit 1
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
    expect_eq "files left" "hosts hosts.old " "$(cat "$WORK/left")"
    if cmp -s "$WORK/big" "$WORK/hosts.after"; then pass; else fail "hosts file changed"; fi
    expect_file "backup" "older backup"$'\n' "$WORK/old.after"
  fi
}

files::mounted() { # a file mounted over the hosts path, as in containers, is rewritten in place
  if mounts_or_skip; then
    printf '%s' "$ORIGINAL" >"$WORK/mounted" && mount --bind "$WORK/mounted" "$H"
    unit lan 1 'send:id=30100123 name=Living room'
    run_lan
    expect_updated
    umount "$H"
  fi
}

files::backup_hard_link() { # a backup that is a hard link to the file: nothing is left
  ln "$H" "$H.old"
  unit lan 1 'send:id=30100123 name=Living room'
  run_lan
  expect_updated
}

# an append-only directory: the run ends, and says what it could not remove
faults::append_only_directory() {
  if chattr +a "$ETC" 2>/dev/null; then
    unit lan 1 'send:id=30100123 name=Living room'
    run_lan
    chattr -a "$ETC"
    expect_eq "report" "rename: Operation not permitted
unlink: Operation not permitted
unlink: Operation not permitted
Unable to modify $H" "$(tail -n 4 <<<"$ERR")"
    expect_file "hosts file" "$ORIGINAL" "$H"
  else
    echo "SKIP [$CASE]: no chattr +a on $(df --output=fstype "$ETC" | tail -1)"
  fi
}

files::symbolic_link() { # a symbolic link: the file it leads to is updated, the link kept
  mkdir "$ETC/real"
  mv "$H" "$ETC/real/hosts.txt"
  ln -s real/hosts.txt "$H"
  unit lan 1 'send:id=30100123 name=Living room'
  run_lan
  expect_eq "report names the link" "$APPEND" "$(tail -n 1 <<<"$ERR")"
  expect_eq "link" "real/hosts.txt" "$(readlink "$H")"
  expect_file "target" "$ORIGINAL"$'\n'"$ENTRY1"$'\n' "$ETC/real/hosts.txt"
  expect_eq "files beside the target" "hosts.txt hosts.txt.old " "$(ls -A "$ETC/real" | tr '\n' ' ')"
}

files::acl() { # an ACL is carried over to the new file and the backup
  if setfacl -m u:1001:rw,g::---,m::rw "$H"; then
    ACL=$(getfacl -cp "$H")
    unit lan 1 'send:id=30100123 name=Living room'
    run_lan
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

# hold_lock SECONDS: another process, HOLDER, holds the lock on the hosts
# file for SECONDS from when this returns.
hold_lock() {
  (exec {fd}<"$H" && flock "$fd" && exec sleep "$1") &
  HOLDER=$!
  until ! flock -n "$H" true || ! kill -0 $HOLDER 2>/dev/null; do sleep 0.1; done
}

# With -t1 the run waits a second for the lock, well short of the default
# 5 s. The holder lets go after 60 s, so that a wait that ignores -t fails
# the case rather than hangs it.
locks::held() { # a lock held by anyone who can read the file: wait at most -t, then go on
  hold_lock 60
  unit lan 1 'send:id=30100123 name=Living room'
  run_lan -t1
  kill $HOLDER 2>/dev/null
  expect_eq "report" "Waiting for the lock on $H
Going on without the lock on $H
$APPEND" "$(tail -n 3 <<<"$ERR")"
  expect_lt "milliseconds waited for the lock at least" 900 "$ELAPSED_MS"
  expect_lt "milliseconds, against the default 5 s" "$ELAPSED_MS" 4500
  expect_updated
}

locks::released() { # a lock released while the run waits
  hold_lock 2
  unit lan 1 'send:id=30100123 name=Living room'
  run_lan -t60
  wait $HOLDER
  expect_updated
}

locks::concurrent_runs() { # runs at once on one hosts file lose no entry
  net_up side 1
  seq -f '0.0.0.0 ad%07g.tracker.example.com' 200000 >"$H"
  for round in 1 2 3 4 5; do
    unit lan 1 "send:id=$((round * 2)) name=a"
    unit side 1 "send:id=$((round * 2 + 1)) name=b"
    in_ns "$ID-lan" "$UNITFIND" -b10.77.0.255 -t3 -h"$H" -na$round >/dev/null 2>&1 &
    first=$!
    in_ns "$ID-side" "$UNITFIND" -b10.77.0.255 -t3 -h"$H" -nb$round >/dev/null 2>&1 &
    wait $first $!
  done
  expect_eq "entries" "2 3 4 5 6 7 8 9 10 11" \
    "$(grep -o 'EMPEG-[0-9]*-EMPEG' "$H" | tr -dc '0-9\n' | sort -n | tr '\n' ' ' | sed 's/ $//')"
  expect_eq "other lines" 200000 "$(grep -c tracker "$H")"
  expect_left "hosts hosts.old "
}

# served: the addresses that the case's dnsmasq gives for player.lan, sorted
# on one line, or "no answer".
served() {
  local out
  out=$(in_ns "$ID-lan" dig +short +time=2 +tries=1 -p 10053 @127.0.0.1 player.lan A) ||
    out="no answer"
  sort <<<"$out" | xargs
}

# await_served WHAT BEFORE AFTER: polls, for a minute or more, until dnsmasq
# gives something other than BEFORE, then expects AFTER, and AFTER again a
# moment later, when dnsmasq has read whatever else it was going to read.
await_served() {
  local answer
  for _ in $(seq 60); do
    answer=$(served)
    [ "$answer" != "$2" ] && break
    sleep 1
  done
  expect_eq "$1" "$3" "$answer"
  sleep 2
  expect_eq "$1, a moment later" "$3" "$(served)"
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
  await_served "before the first run" "no answer" ""

  unit lan 1 'send:id=30100123 name=Living room'
  tool lan -b10.77.0.255 -s30100123 -t3 -h"$dir/hosts" -nplayer.lan
  expect_eq "first run" "Appending entry for player.lan to $dir/hosts" "$(tail -n 1 <<<"$ERR")"
  kill -HUP "$server"
  await_served "after the first run" "" 10.77.0.11

  unit lan 2 'send:id=30100123 name=Moved'
  tool lan -b10.77.0.255 -s30100123 -t3 -h"$dir/hosts" -nplayer.lan
  expect_eq "second run" "Modifying entry for player.lan in $dir/hosts" "$(tail -n 1 <<<"$ERR")"
  kill -HUP "$server"
  await_served "after the unit moved" 10.77.0.11 10.77.0.12

  kill "$server"
  wait "$server"
  [ "$FAILED" -eq 0 ] || sed 's/^/    /' "$WORK/dnsmasq.log"
}

run_cases lan 2

