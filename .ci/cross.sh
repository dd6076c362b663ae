#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The cross builds (scripts/cross.sh): each target is checked for its file
# type; each Linux one, static, stripped and under 160 KB, prints its usage
# under qemu-user, inside a network namespace made here so that nothing it
# does reaches this machine's network; and the unit tests run on a
# big-endian target under qemu-user, in a namespace of their own.
set -euo pipefail
cd "$(dirname "$0")/.."

sh scripts/setup.sh cross

fail() {
  echo "FAIL: $1" >&2
  exit 1
}

# What file(1) says of each target's executable.
declare -A kind=(
  [x86_64-macos]="Mach-O 64-bit x86_64 executable"
  [aarch64-macos]="Mach-O 64-bit arm64 executable"
  [x86_64-linux-musl]="ELF 64-bit LSB executable, x86-64"
  [aarch64-linux-musl]="ELF 64-bit LSB executable, ARM aarch64"
  [arm-linux-musleabihf]="ELF 32-bit LSB executable, ARM"
  [mipsel-linux-musl]="ELF 32-bit LSB executable, MIPS"
  [mips-linux-musl]="ELF 32-bit MSB executable, MIPS"
)
targets=(x86_64-macos aarch64-macos x86_64-linux-musl aarch64-linux-musl
         arm-linux-musleabihf mipsel-linux-musl mips-linux-musl)
tested=mips-linux-musl

[ "$(id -u)" = 0 ] || fail "running the cross builds in a network namespace needs root"
ns="ufcross$$"
ip netns add "$ns"
trap 'ip netns del "$ns"' EXIT
# The unit tests send to themselves over loopback, and nowhere else.
ip -n "$ns" link set lo up
in_ns() { nsenter --net="/var/run/netns/$ns" -- "$@"; }

native=build/default/unitfind
[ -x "$native" ] || fail "$native is missing: the default build comes first"
# Either binary's usage text names it as it was started; both are shown
# the same name.
usage() { in_ns "$@" 2>&1 | sed "s|^Usage: [^ ]*|Usage: unitfind|"; }
expected=$(set +o pipefail; usage "$native" '-?')
grep -q '^Usage: unitfind <options>' <<<"$expected" || fail "$native printed no usage text"

for target in "${targets[@]}"; do
  echo "== $target"
  if [ "$target" = "$tested" ]; then
    sh scripts/cross.sh "$target" tests
  else
    sh scripts/cross.sh "$target"
  fi
  binary=build/cross/$target/unitfind
  info=$(file -b "$binary")
  echo "check: $info"
  [[ "$info" == "${kind[$target]}"* ]] || fail "$binary is not a ${kind[$target]}"
  [[ "$target" == *-macos ]] && continue

  size=$(stat -c %s "$binary")
  echo "check: static, stripped and under 160 KB ($size bytes)"
  [ "$size" -lt 163840 ] || fail "$binary has $size bytes"
  [[ "$info" == *", statically linked,"* && "$info" == *", stripped" ]] ||
    fail "$binary is not static and stripped"

  arch=${target%%-*}
  echo "check: qemu-$arch $binary -? exits 1 with the usage text"
  status=0
  got=$(usage "qemu-$arch" "$binary" '-?') || status=$?
  [ "$status" = 1 ] || fail "it exited $status"
  [ "$got" = "$expected" ] || fail "it printed: $got"
done

# The hosts file suite of the unit tests swaps files in /tmp and needs
# nothing from the target but its system calls, which qemu passes on. Not
# the interface list: musl's getifaddrs never returns under qemu-mips, whose
# netlink translation it cannot read, so the sender rules that read it are
# left to the native runs. Nor a send with the interface and source in its
# ancillary data: qemu passes IP_PKTINFO on without swapping its bytes, so
# the kernel of another byte order sees no such interface.
arch=${tested%%-*}
echo "== unit tests on $tested under qemu-$arch (all but MayBeUnit.*, which reads the interface list, and the send out of an interface)"
# Bounded, so that a test that never returns under emulation fails the step
# instead of the whole run.
in_ns timeout 1200 "qemu-$arch" "build/cross/$tested-tests/tests/unit_tests" --gtest_brief=1 \
  --gtest_filter='-MayBeUnit.*:Exchange.SendsOutOfTheInterfaceGivenFromTheAddressGiven'
echo "== cross builds passed"
