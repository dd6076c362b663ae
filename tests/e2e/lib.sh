# SPDX-License-Identifier: MIT
# Shared by the end-to-end suites: the real binary against simulated units.
# A case is a function named GROUP::NAME. Usage of a suite:
#   SUITE UNITFIND SIM_UNIT FAULT_INJECT [PATTERN...]
#   SUITE --list [PATTERN...]
# runs, or names, the cases that match a PATTERN (a shell glob such as
# 'faults::*' or '*lock*'), every case without one.

set -u
if [ "${1:-}" = --list ]; then
  LIST=1
  UNITFIND="" SIM_UNIT="" FAULT_INJECT=""
  PATTERNS=("${@:2}")
else
  LIST=""
  UNITFIND=$(realpath "$1")
  SIM_UNIT=$(realpath "$2")
  FAULT_INJECT=$(realpath "${3:-/dev/null}")
  PATTERNS=("${@:4}")
fi
source "$(dirname "${BASH_SOURCE[0]}")/../../sim/netns.sh"
PASSED=0
FAILED=0
NAME=""
CASE=""

# tool NET [options]: runs the tool on NET's tool host. Sets STATUS, OUT, ERR
# and ELAPSED_MS.
tool() {
  local net=$1 start end
  shift
  start=$(date +%s%N)
  in_ns "$ID-$net" "$UNITFIND" "$@" >"$WORK/out" 2>"$WORK/err"
  STATUS=$?
  end=$(date +%s%N)
  ELAPSED_MS=$(((end - start) / 1000000))
  OUT=$(cat "$WORK/out")
  ERR=$(cat "$WORK/err")
}

# begin TITLE: a part of the case with a title of its own, no unit running.
begin() {
  stop_units
  CASE="$NAME: $1"
}

fail() {
  echo "FAIL [$CASE]: $1"
  FAILED=$((FAILED + 1))
}

pass() {
  PASSED=$((PASSED + 1))
}

expect_eq() {
  local what=$1 expected=$2 actual=$3
  if [ "$expected" == "$actual" ]; then
    pass
  else
    fail "$what"
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | sed 's/^/    /'
  fi
}

# expect_lt WHAT VALUE LIMIT
expect_lt() {
  if [ "$2" -lt "$3" ]; then pass; else fail "$1: $2 is not below $3"; fi
}

expect_run() {
  local status=$1 out=$2 err=$3
  expect_eq "exit status" "$status" "$STATUS"
  expect_eq "standard output" "$out" "$OUT"
  expect_eq "standard error" "$err" "$ERR"
}

selected() {
  local pattern
  [ ${#PATTERNS[@]} -eq 0 ] && return 0
  for pattern in "${PATTERNS[@]}"; do
    # shellcheck disable=SC2053 # a glob on purpose
    [[ $1 == $pattern ]] && return 0
  done
  return 1
}

# run_cases NET UNITS: makes NET with UNITS unit hosts for every case to use,
# then runs the selected cases in the order they are defined, each in a
# subshell of its own that starts with no unit running, an empty $WORK and
# what the suite's fresh_state (if any) sets up, so that any case can run
# alone. Exits with the suite's status.
run_cases() {
  local cases passed failed
  # With extdebug, declare -F NAME gives the line that defines NAME.
  shopt -s extdebug
  mapfile -t cases < <(for NAME in $(declare -F | awk '$3 ~ /::/ {print $3}'); do
    selected "$NAME" && declare -F "$NAME"
  done | sort -k2n | awk '{print $1}')
  shopt -u extdebug
  [ ${#cases[@]} -gt 0 ] || { echo "No case matches ${PATTERNS[*]}"; exit 1; }
  [ -z "$LIST" ] || { printf '%s\n' "${cases[@]}"; exit 0; }
  need_namespaces
  net_up "$1" "$2"
  for NAME in "${cases[@]}"; do
    echo "-- $NAME"
    rm -f "$WORK/.counts"
    (
      rm -rf "${WORK:?}"/* # but not .counts
      CASE=$NAME PASSED=0 FAILED=0
      ! declare -F fresh_state >/dev/null || fresh_state
      "$NAME"
      stop_units
      echo "$PASSED $FAILED" >"$WORK/.counts"
    )
    read -r passed failed 2>/dev/null <"$WORK/.counts" ||
      { passed=0 failed=1; echo "FAIL [$NAME]: the case ended before its last check"; }
    PASSED=$((PASSED + passed)) FAILED=$((FAILED + failed))
  done
  echo "$PASSED passed, $FAILED failed"
  [ "$FAILED" -eq 0 ]
  exit
}

# A static binary (the musl build) cannot load the fault library, and its C
# library words some errors in its own way.
if LC_ALL=C readelf -l "$UNITFIND" 2>/dev/null | grep -q 'program interpreter'; then
  NO_PRELOAD=""
  E_ADDRINUSE="Address already in use"
  E_NETUNREACH="Network is unreachable"
else
  NO_PRELOAD="a static binary cannot preload the fault library"
  E_ADDRINUSE="Address in use"
  E_NETUNREACH="Network unreachable"
fi

# The version comes from the build: CTest sets UNITFIND_VERSION; run by hand,
# a suite reads the version header that CMake wrote beside the binary.
[ -n "$LIST" ] || : "${UNITFIND_VERSION:=$(sed -n 's/^#define UNITFIND_VERSION "\(.*\)"$/\1/p' \
  "$(dirname "$UNITFIND")/unitfind_version.h" 2>/dev/null)}"
BANNER="unitfind ${UNITFIND_VERSION:-<no version>} - find a unit on the local network"
GIVE_UP="No more replies.  Giving up..."

# faulty FAULTS COMMAND...: runs COMMAND with the fault library preloaded to
# make the calls that FAULTS names fail. Returns 1, and the case is skipped,
# where NO_PRELOAD says why nothing can be preloaded.
faulty() {
  if [ -n "${NO_PRELOAD:-}" ]; then
    echo "SKIP [$CASE]: $NO_PRELOAD"
    return 1
  fi
  UNITFIND_FAULTS=$1 LD_PRELOAD=$FAULT_INJECT \
    ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0" "${@:2}"
}
