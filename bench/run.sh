#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What a run of the tool costs, measured against simulated units in a private
# network namespace with every file on tmpfs:
#
#   1. recording a unit in a 1,000,000-line hosts file (an ad-blocking list
#      with the unit's earlier entry in the middle), against cp of the same
#      file and against GNU sed -i making the same replacement;
#   2. peak resident memory of that run, and of one on a 10,000,000-line file;
#   3. start to exit of a run whose unit answers at once, less the cost of
#      starting a process in the namespace;
#   4. whether, and how soon, a reply is accepted after 20,000 datagrams that
#      are not replies, sent as one burst and paced;
#   5. how soon a unit's reply is accepted when it comes in the middle of
#      100,000 datagrams from another host, either junk or a valid reply of
#      another unit repeated, and the ratio of the two.
#
# Every command timed, cp and sed included, is started the same way: by a
# shell already inside the benchmark's namespace, which reads the clock just
# before it starts the command and just after the command exits, as a user's
# shell would see it. Entering the namespace (which costs a few
# milliseconds) is thus left out of every figure. Rounds alternate the
# commands compared and figures are medians.
#
# Usage: run.sh UNITFIND SIM_UNIT
# Environment: BENCH_RUNS (rounds of 1., default 21), BENCH_STARTS (rounds of
# 3., default 61), BENCH_FLOODS (trials of each kind in 4. and 5., default 5).
# Exit status: 0 when every target is met, 1 when one is missed, 77 when this
# machine cannot give the benchmark a namespace.
set -u
UNITFIND=$(realpath "$1")
SIM_UNIT=$(realpath "$2")
RUNS=${BENCH_RUNS:-21}
STARTS=${BENCH_STARTS:-61}
FLOODS=${BENCH_FLOODS:-5}

# The files live on tmpfs so that the figures are those of the tool, not of
# a disk. Without a tmpfs /dev/shm the benchmark runs again in a private mount
# namespace with a tmpfs of its own, which vanishes with that namespace.
if [ -z "${BENCH_TMPFS:-}" ]; then
  if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ]; then
    BENCH_TMPFS=/dev/shm
  elif [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    mount_point=$(mktemp -d)
    BENCH_TMPFS=$mount_point exec unshare -m --propagation private \
      bash -c 'mount -t tmpfs -o size=2g unitfind-bench "$BENCH_TMPFS" && exec bash "$@"; rmdir "$BENCH_TMPFS"; exit 77' \
      bash "$0" "$@"
  fi
fi

source "$(dirname "$0")/../sim/netns.sh"
[ -n "${BENCH_TMPFS:-}" ] || skip "no tmpfs for the benchmark's files"
need_namespaces
DATA=$(mktemp -d "$BENCH_TMPFS/unitfind-bench.XXXXXX")
trap 'cleanup; rm -rf "$DATA"; [ "$BENCH_TMPFS" = /dev/shm ] || { umount "$BENCH_TMPFS"; rmdir "$BENCH_TMPFS"; }' EXIT

SERIAL=30100123
NAME=player.lan
MARKER="EMPEG-$SERIAL-EMPEG"
UNIT_REPLY="send:id=$SERIAL\\nname=Living room"
ENTRY="10.77.0.11 $NAME # Empeg: Serial=$SERIAL Name=Living room [$MARKER]"
FOUND="Found an empeg with serial $SERIAL called \"Living room\" at 10.77.0.11"
TARGETS_MISSED=0
SUMMARY=()

net_up bench 2
NS="$ID-bench"

# timed COMMAND...: runs COMMAND in the namespace, its standard output
# discarded and its standard error kept in $WORK/timed.err, and sets STATUS,
# TOOK_US (microseconds from starting COMMAND to its exit) and CPU_US (the
# processor time it used, user and system). Other work on the machine
# stretches the first much more than the second.
timed() {
  local start end
  in_ns "$NS" bash -c '
    errors=$1
    shift
    start=$EPOCHREALTIME
    "$@" >/dev/null 2>"$errors"
    status=$?
    end=$EPOCHREALTIME
    echo "$status ${start//[.,]/} ${end//[.,]/}"
    times' timed "$WORK/timed.err" "$@" >"$WORK/timed.out"
  read -r STATUS start end <"$WORK/timed.out"
  TOOK_US=$((10#$end - 10#$start))
  # The last line of times holds the children's user and system time.
  CPU_US=$(awk 'END {
    split($0, t, /[ms ]+/)
    printf "%.0f", ((t[1] + t[3]) * 60 + t[2] + t[4]) * 1e6 }' "$WORK/timed.out")
}

median() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
    print NR % 2 ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

ms() { awk -v us="$1" 'BEGIN { printf "%.2f ms", us / 1000 }'; }

# verdict VALUE LIMIT: PASS when VALUE <= LIMIT (both may be fractions).
verdict() {
  if awk -v v="$1" -v l="$2" 'BEGIN { exit !(v <= l) }'; then
    echo PASS
  else
    echo MISS
  fi
}

# row FIGURE VALUE TARGET RESULT
row() {
  [ "$4" = PASS ] || TARGETS_MISSED=$((TARGETS_MISSED + 1))
  SUMMARY+=("$(printf '%-46s %-24s %-10s %s' "$@")")
}

# hosts_file PATH LINES: an ad-blocking list of LINES lines with the unit's
# earlier entry (other address, other name) in the middle.
hosts_file() {
  awk -v lines="$2" -v entry="10.77.0.42 $NAME # Empeg: Serial=$SERIAL Name=Old name [$MARKER]" '
    BEGIN {
      print "127.0.0.1 localhost"
      print "::1 localhost ip6-localhost ip6-loopback"
      for (i = 3; i <= lines; i++) {
        if (i == int(lines / 2)) print entry
        else printf "0.0.0.0 ad%07d.tracker.example.com\n", i
      }
    }' >"$1"
}

# answering UNIT_ACTIONS...: a unit that answers the next probe. The previous
# one is ended first, as it would keep the port from the new one.
answering() {
  stop_units
  unit bench 1 "$@" || exit 1
}

# record HOSTS: one run of the tool that records the unit in HOSTS, timed.
record() {
  answering "$UNIT_REPLY"
  timed "$UNITFIND" -b10.77.0.255 -s"$SERIAL" -h"$1" -n"$NAME" -t5
  cp "$WORK/timed.err" "$WORK/record.err"
}

# peak_memory HOSTS: records the unit in HOSTS, timed, and sets RSS_KIB to
# the tool's peak resident set (its own, not that of ip or of the timer).
peak_memory() {
  answering "$UNIT_REPLY"
  timed /usr/bin/time -f %M -o "$WORK/rss" \
    "$UNITFIND" -b10.77.0.255 -s"$SERIAL" -h"$1" -n"$NAME" -t5
  RSS_KIB=$(tail -n 1 "$WORK/rss")
  if [ "$STATUS" != 0 ] || ! grep -qxF "$ENTRY" "$1"; then
    echo "the tool did not record the unit in $1:" >&2
    cat "$WORK/timed.err" >&2
    exit 1
  fi
}

# udp_counter NAME: a UDP counter of the tool's namespace.
udp_counter() {
  in_ns "$NS" awk -v name="$1" '
    $1 == "Udp:" && !header { for (i = 2; i <= NF; i++) column[$i] = i; header = 1; next }
    $1 == "Udp:" { print $(column[name]); exit }' /proc/net/snmp
}

echo "unitfind benchmark: $UNITFIND"
echo "files on $(stat -f -c %T "$DATA") at $DATA, namespace $NS"

echo
echo "== 1. recording the unit in a 1,000,000-line hosts file"
hosts="$DATA/hosts"
pristine="$DATA/pristine"
hosts_file "$pristine" 1000000
echo "hosts file: $(wc -l <"$pristine") lines, $(stat -c %s "$pristine") bytes"
sed_script="/$MARKER/c $ENTRY"

# The three must do the same work: check once that the tool and sed agree.
cp "$pristine" "$hosts"
record "$hosts"
cp "$pristine" "$DATA/sed"
in_ns "$NS" sed -i "$sed_script" "$DATA/sed"
if [ "$STATUS" != 0 ] || ! grep -qF "Modifying entry for $NAME in $hosts" "$WORK/record.err" ||
  ! cmp -s "$hosts" "$DATA/sed" || ! cmp -s "$hosts.old" "$pristine" ||
  [ "$(grep -c "$MARKER" "$hosts")" != 1 ] || ! grep -qxF "$ENTRY" "$hosts"; then
  echo "the tool's run does not do what sed -i does; its standard error:" >&2
  cat "$WORK/record.err" >&2
  exit 1
fi

tool_us=() cp_us=() sed_us=() tool_cpu=() cp_cpu=()
for ((round = 0; round < RUNS; round++)); do
  for ((turn = 0; turn < 3; turn++)); do
    case $(((round + turn) % 3)) in
      0)
        cp "$pristine" "$hosts"
        rm -f "$hosts.old"
        record "$hosts"
        tool_us+=("$TOOK_US")
        tool_cpu+=("$CPU_US")
        ;;
      1)
        rm -f "$DATA/copy"
        timed cp "$pristine" "$DATA/copy"
        cp_us+=("$TOOK_US")
        cp_cpu+=("$CPU_US")
        ;;
      2)
        cp "$pristine" "$DATA/sed"
        timed sed -i "$sed_script" "$DATA/sed"
        sed_us+=("$TOOK_US")
        ;;
    esac
  done
done
tool=$(median "${tool_us[@]}")
copy=$(median "${cp_us[@]}")
sed_median=$(median "${sed_us[@]}")
echo "medians of $RUNS: unitfind $(ms "$tool"), cp $(ms "$copy"), sed -i $(ms "$sed_median")"
echo "unitfind runs (ms): $(printf '%s ' "${tool_us[@]}" | awk '{ for (i = 1; i <= NF; i++) printf "%.1f ", $i / 1000 }')"
echo "processor time, medians: unitfind $(ms "$(median "${tool_cpu[@]}")"), cp $(ms "$(median "${cp_cpu[@]}")")" \
  "($(awk -v a="$(median "${tool_cpu[@]}")" -v b="$(median "${cp_cpu[@]}")" 'BEGIN { printf "%.2f", a / b }')x)"
ratio_cp=$(awk -v a="$tool" -v b="$copy" 'BEGIN { printf "%.2f", a / b }')
ratio_sed=$(awk -v a="$tool" -v b="$sed_median" 'BEGIN { printf "%.2f", a / b }')
row "1M-line rewrite, unitfind / cp" "${ratio_cp}x ($(ms "$tool"))" "<= 1.5x" "$(verdict "$ratio_cp" 1.5)"
row "1M-line rewrite, unitfind / sed -i" "${ratio_sed}x" "<= 0.5x" "$(verdict "$ratio_sed" 0.5)"

echo
echo "== 2. peak resident memory"
if [ -x /usr/bin/time ]; then
  peak=0
  for _ in 1 2 3; do
    cp "$pristine" "$hosts"
    rm -f "$hosts.old"
    peak_memory "$hosts"
    [ "$RSS_KIB" -le "$peak" ] || peak=$RSS_KIB
  done
  echo "1,000,000 lines: $peak KiB (the highest of 3 runs)"
  row "peak memory, 1M-line hosts file" "$peak KiB" "<= 4096 KiB" "$(verdict "$peak" 4096)"
  rm -f "$hosts" "$hosts.old" "$DATA/copy" "$DATA/sed"

  # One run each, shown for scale: the 10,000,000-line file is too large to
  # restore for many rounds within the benchmark's few minutes.
  big="$DATA/big"
  hosts_file "$big" 10000000
  echo "10,000,000 lines: $(stat -c %s "$big") bytes"
  # The first copy of this size is slowed by the machine handing memory to
  # tmpfs for the first time; it is left out, and the runs shown reuse that
  # memory alike.
  cp "$big" "$DATA/copy"
  rm -f "$DATA/copy"
  timed cp "$big" "$DATA/copy"
  copy_big=$TOOK_US
  rm -f "$DATA/copy"
  peak_memory "$big"
  echo "10,000,000 lines: $RSS_KIB KiB; the run took $(ms "$TOOK_US"), cp $(ms "$copy_big")"
  row "peak memory, 10M-line hosts file" "$RSS_KIB KiB" "<= 4096 KiB" "$(verdict "$RSS_KIB" 4096)"
  rm -f "$big" "$big.old"
else
  echo "no /usr/bin/time (Debian package time): peak memory not measured"
  row "peak memory" "not measured" "<= 4096 KiB" "$(verdict 1 0)"
fi
rm -f "$pristine"

echo
echo "== 3. start to exit, the unit answering at once"
# The tool's own start (unitfind -?, which only prints its usage) is shown
# too, to tell what loading the tool and its libraries costs from what the
# exchange itself costs.
true_us=() help_us=() run_us=()
for ((round = 0; round < STARTS; round++)); do
  timed /bin/true
  true_us+=("$TOOK_US")
  timed "$UNITFIND" "-?"
  help_us+=("$TOOK_US")
  answering "$UNIT_REPLY"
  timed "$UNITFIND" -b10.77.0.255 -t5
  if [ "$STATUS" != 0 ] || ! grep -qF "$FOUND" "$WORK/timed.err"; then
    echo "a run did not accept the unit:" >&2
    cat "$WORK/timed.err" >&2
    exit 1
  fi
  run_us+=("$TOOK_US")
done
run=$(median "${run_us[@]}")
baseline=$(median "${true_us[@]}")
own_start=$(median "${help_us[@]}")
echo "medians of $STARTS: unitfind $(ms "$run"), /bin/true $(ms "$baseline"), unitfind -? $(ms "$own_start")"
echo "start to exit less starting /bin/true: $(ms $((run - baseline)));" \
  "less the tool's own start: $(ms $((run - own_start)))"
row "start to exit, less a process start" "$(ms $((run - baseline)))" "<= 5 ms" \
  "$(verdict $((run - baseline)) 5000)"

echo
echo "== 4. the reply after 20,000 datagrams that are not replies"
# A burst comes faster than the tool drains its receive buffer, so the kernel
# drops datagrams once the buffer is full, at times the reply among them.
# Paced at 20,000 a second the flood lasts a second: the reply should follow
# it at once.
flood_trials() {
  local label=$1 accepted=0 dropped took_ms times=() i before after
  shift
  for ((i = 0; i < FLOODS; i++)); do
    before=$(udp_counter RcvbufErrors)
    answering "$@" 'flood:20000:junk' "$UNIT_REPLY"
    timed "$UNITFIND" -b10.77.0.255 -s"$SERIAL" -t5
    after=$(udp_counter RcvbufErrors)
    dropped=$((after - before))
    took_ms=$(awk -v us="$TOOK_US" 'BEGIN { printf "%.0f", us / 1000 }')
    if [ "$STATUS" = 0 ] && grep -qF "$FOUND" "$WORK/timed.err"; then
      accepted=$((accepted + 1))
      times+=("$TOOK_US")
      echo "$label: accepted after $took_ms ms; $dropped datagrams dropped (receive buffer full)"
    else
      echo "$label: not accepted, exit $STATUS after $took_ms ms; $dropped datagrams dropped (receive buffer full)"
    fi
  done
  local worst=999999999 shown="none accepted"
  if [ "$accepted" = "$FLOODS" ]; then
    worst=$(printf '%s\n' "${times[@]}" | sort -n | tail -n 1)
    shown="$accepted/$FLOODS, slowest $(ms "$worst")"
  elif [ "$accepted" -gt 0 ]; then
    shown="$accepted/$FLOODS, median $(ms "$(median "${times[@]}")")"
  fi
  row "reply after 20,000 junk datagrams, $label" "$shown" "<= 2 s" "$(verdict "$worst" 2000000)"
}
flood_trials "burst"
flood_trials "20,000/s" 'pace:20000'

echo
echo "== 5. the reply in the middle of 100,000 datagrams from another host"
# The other host sends as fast as it can and the unit answers 0.3 s after the
# probe, while the flood goes on. A repeated reply costs the tool more than
# junk (it is read and its unit looked up), yet no more than a table look-up,
# and no line once its unit was reported: it must not slow the reader until
# the queue overflows and drops the unit's reply.
middle_trials() {
  local label=$1 text=$2 i took_ms times=()
  MIDDLE_US=""
  for ((i = 0; i < FLOODS; i++)); do
    stop_units
    unit bench 1 "flood:100000:$text" || exit 1
    unit bench 2 'sleep:300' "$UNIT_REPLY" || exit 1
    timed "$UNITFIND" -b10.77.0.255 -s"$SERIAL" -t5
    took_ms=$(awk -v us="$TOOK_US" 'BEGIN { printf "%.0f", us / 1000 }')
    if [ "$STATUS" = 0 ] && grep -qF "called \"Living room\"" "$WORK/timed.err"; then
      times+=("$TOOK_US")
      echo "$label: accepted after $took_ms ms, $(($(wc -l <"$WORK/timed.err") - 4)) replies reported"
    else
      echo "$label: not accepted, exit $STATUS after $took_ms ms"
    fi
  done
  [ "${#times[@]}" = "$FLOODS" ] && MIDDLE_US=$(median "${times[@]}")
}
middle_trials "junk" "junk"
junk_us=$MIDDLE_US
middle_trials "repeated replies" "id=5 name=again"
replies_us=$MIDDLE_US
if [ -n "$junk_us" ] && [ -n "$replies_us" ]; then
  ratio_flood=$(awk -v a="$replies_us" -v b="$junk_us" 'BEGIN { printf "%.2f", a / b }')
  echo "medians of $FLOODS: junk $(ms "$junk_us"), repeated replies $(ms "$replies_us")"
  row "reply amid 100,000 repeats / amid junk" "${ratio_flood}x ($(ms "$replies_us"))" "<= 2x" \
    "$(verdict "$ratio_flood" 2)"
else
  row "reply amid 100,000 repeats / amid junk" "not always accepted" "<= 2x" "$(verdict 1 0)"
fi

echo
echo "== Summary"
printf '%-46s %-24s %-10s %s\n' figure value target result
printf '%s\n' "${SUMMARY[@]}"
[ "$TARGETS_MISSED" -eq 0 ]
