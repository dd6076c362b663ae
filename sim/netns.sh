# SPDX-License-Identifier: MIT
# Network namespaces for the end-to-end suites, the demo and the benchmarks:
# every run that probes happens inside namespaces made and removed here, so
# that no probe ever reaches this machine's own network.
#
# A "net" is a tool host on a bridge (10.77.0.1/24, broadcast 10.77.0.255)
# with unit hosts 10.77.0.11, 10.77.0.12, ... behind it.
# Expects SIM_UNIT to name the simulated unit.

ID="uf$$"
WORK=$(mktemp -d)
UNIT_PIDS=()

skip() {
  echo "SKIP: $*"
  exit 77
}

# Ends every unit still running, so that none answers a later case's probe.
stop_units() {
  local pid
  for pid in "${UNIT_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  UNIT_PIDS=()
}

cleanup() {
  local ns
  stop_units
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep "^$ID-"); do
    ip netns del "$ns"
  done
  rm -rf "$WORK"
}
trap cleanup EXIT

# in_ns NAMESPACE COMMAND...: runs COMMAND in that network namespace alone.
# Unlike `ip netns exec` it makes no mount namespace of its own, which
# fails where / is not a mount point, as in a chroot.
NETNS=/var/run/netns
in_ns() {
  local ns=$1
  shift
  nsenter --net="$NETNS/$ns" -- "$@"
}

# private_mounts COMMAND...: runs COMMAND in a mount namespace of its own,
# whose mounts nobody else sees. Fails where / is not a mount point (a
# chroot); suites skip the checks that need one there.
private_mounts() {
  unshare -m --propagation private "$@"
}

need_namespaces() {
  [ "$(id -u)" = 0 ] || skip "creating network namespaces needs root"
  command -v ip >/dev/null || skip "creating network namespaces needs ip (iproute2)"
  command -v nsenter >/dev/null || skip "entering network namespaces needs nsenter (util-linux)"
  ip netns add "$ID-probe" 2>/dev/null || skip "this machine cannot create a network namespace"
  in_ns "$ID-probe" true || { ip netns del "$ID-probe"; skip "nsenter cannot enter a network namespace"; }
  ip netns del "$ID-probe"
}

# net_up NAME UNITS [ADDRESS [BRD]]: a tool host and UNITS unit hosts on one
# bridge. ADDRESS (default 10.77.0.1/24) gives the tool host's address and
# subnet; BRD (default "brd +") what every address is added with, "" for
# nothing, as most people type it.
net_up() {
  local name=$1 units=$2 address=${3:-10.77.0.1/24} brd=${4-brd +}
  local tool="$ID-$name" prefix i
  prefix=${address%.*}
  ip netns add "$tool"
  in_ns "$tool" ip link set lo up
  in_ns "$tool" ip link add br0 type bridge
  # shellcheck disable=SC2086 # BRD is two words or none
  in_ns "$tool" ip addr add "$address" $brd dev br0
  in_ns "$tool" ip link set br0 up
  for ((i = 1; i <= units; i++)); do
    ip netns add "$tool-u$i"
    in_ns "$tool-u$i" ip link set lo up
    in_ns "$tool" ip link add "p$i" type veth peer name eth0 netns "$tool-u$i"
    in_ns "$tool" ip link set "p$i" master br0
    in_ns "$tool" ip link set "p$i" up
    # shellcheck disable=SC2086
    in_ns "$tool-u$i" ip addr add "$prefix.$((10 + i))/24" $brd dev eth0
    in_ns "$tool-u$i" ip link set eth0 up
  done
}

net_down() {
  local ns
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep "^$ID-$1\(-\|$\)"); do
    ip netns del "$ns"
  done
}

# unit NET N [sim_unit options and actions]: starts unit N of NET in the
# background and returns once it listens.
unit() {
  local net=$1 n=$2 ready="$WORK/ready.$1.$2.$RANDOM"
  shift 2
  # Started directly, so that the process stop_units ends is the unit itself.
  nsenter --net="$NETNS/$ID-$net-u$n" -- "$SIM_UNIT" -r "$ready" -w 15 "$@" &
  UNIT_PIDS+=($!)
  for _ in $(seq 100); do
    [ -e "$ready" ] && return 0
    sleep 0.05
  done
  echo "unit $n of $net did not start" >&2
  return 1
}

