#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs what building and checking unitfind needs, and only what is
# missing; does nothing when all of it is there. Debian and its derivatives
# get the packages through apt-get (as root, or through sudo when that
# exists), and no service a package brings is started meanwhile: the tests
# run avahi-daemon and dnsmasq only inside network namespaces of their own,
# and one started here would speak on this machine's real network. Other
# systems are told which packages to install.
#
# Usage: setup.sh SET...   with SET one of
#   demo     the compiler, CMake, make and iproute2: the tool and its demo
#   test     the demo's, GoogleTest, acl, dnsmasq, dig, avahi-daemon and
#            man: every test
#   static   musl-tools: the static build
#   package  what the install and Debian package checks use
#   lint     clang-tidy and cppcheck
#   fuzz     clang and its fuzzing runtime
#   cross    npm (for zig), qemu-user, GoogleTest's sources, LLVM's objcopy
#            and what runs the cross builds in a network namespace
set -eu

# Every set builds with CMake and make; duplicates are dropped below.
packages="cmake make"
for set in "$@"; do
  case $set in
    demo) packages="$packages g++ iproute2" ;;
    test) packages="$packages g++ iproute2 libgtest-dev acl dnsmasq-base bind9-dnsutils avahi-daemon avahi-utils man-db groff-base" ;;
    static) packages="$packages musl-tools" ;;
    package) packages="$packages g++ dpkg-dev file lintian man-db groff-base mandoc gzip systemd" ;;
    lint) packages="$packages clang clang-tidy cppcheck" ;;
    fuzz) packages="$packages clang libclang-rt-14-dev" ;;
    cross)
      packages="$packages qemu-user googletest llvm-14 file iproute2 util-linux"
      # Node.js from elsewhere brings its own npm, which Debian's would replace.
      command -v npm >/dev/null 2>&1 || packages="$packages npm" ;;
    *)
      echo "setup.sh: unknown set '$set' (demo, test, static, package, lint, fuzz, cross)" >&2
      exit 2 ;;
  esac
done

if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
  echo "setup.sh: not a Debian system; install the equivalents of these Debian packages:"
  echo "  $(echo $packages | tr ' ' '\n' | sort -u | tr '\n' ' ')"
  echo "  (a C++17 compiler, CMake 3.25 or newer, make, iproute2; GoogleTest for the tests)"
  command -v cmake >/dev/null 2>&1
fi

missing=""
for package in $(echo $packages | tr ' ' '\n' | sort -u); do
  status=$(dpkg-query -W -f '${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing="$missing $package"
done
[ -n "$missing" ] || exit 0

if [ "$(id -u)" = 0 ]; then
  as_root=""
elif command -v sudo >/dev/null 2>&1; then
  as_root="sudo"
else
  echo "setup.sh: missing packages:$missing; install them as root:" >&2
  echo "  apt-get install$missing" >&2
  exit 1
fi
echo "setup.sh: installing$missing"
# invoke-rc.d and deb-systemd-invoke ask policy-rc.d before they start
# anything; exit status 101 refuses. One the machine has is put back after.
policy=/usr/sbin/policy-rc.d
saved="$policy.setup-sh-saved"
ours=""
restore_policy() {
  [ -z "$ours" ] || $as_root rm -f "$policy"
  [ ! -e "$saved" ] || $as_root mv -f "$saved" "$policy"
}
trap restore_policy EXIT
trap 'exit 1' INT TERM HUP
# A copy saved by a run that was killed is the machine's own: keep it.
[ -e "$saved" ] || [ ! -e "$policy" ] || $as_root mv -f "$policy" "$saved"
ours=1
printf '#!/bin/sh\n# Put here by unitfind scripts/setup.sh while it installs packages.\nexit 101\n' |
  $as_root tee "$policy" >/dev/null
$as_root chmod 0755 "$policy"
$as_root apt-get update -qq
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
