#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Shows the tool at work without touching this machine's network: a simulated
# unit in a private network namespace is found, reported and recorded in a
# scratch hosts file, twice.
# Usage: demo.sh UNITFIND SIM_UNIT
set -u
UNITFIND=$(realpath "$1")
SIM_UNIT=$(realpath "$2")
source "$(dirname "$0")/../sim/netns.sh"
# One line says why, rather than a failed build step.
skip() {
  echo "The demo cannot run: $* (run it as root, e.g. with sudo)."
  exit 0
}
need_namespaces

net_up demo 1
hosts="$WORK/hosts"
printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost\n' >"$hosts"

FAILED=0
show() {
  local status
  echo
  echo "\$ unitfind $*"
  in_ns "$ID-demo" "$UNITFIND" "$@"
  status=$?
  echo "(exit status $status)"
  [ "$status" -eq 0 ] || FAILED=1
}

echo "A simulated unit (serial 30100123, \"Living room\") answers at 10.77.0.11."
unit demo 1 'sleep:100' 'send:id=30100123\nname=Living room'
show -b10.77.0.255 -t2

unit demo 1 'send:id=30100123\nname=Living room'
show -b10.77.0.255 -h"$hosts" -nplayer.lan
echo; echo "The hosts file now reads:"; cat "$hosts"

unit demo 1 'send:id=30100123\nname=Living room (moved)'
show -b10.77.0.255 -h"$hosts" -nplayer.lan
echo; echo "A second run replaced its own entry:"; cat "$hosts"
echo; echo "and kept the previous file as hosts.old:"; cat "$hosts.old"

stop_units
show -b10.77.0.255 -t1
exit "$FAILED"
