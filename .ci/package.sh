#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Packaging check, run by CI after the tests: a Release build in
# build/package, an install into a scratch prefix, the Debian package built
# from it and checked by lintian, and the package's files unpacked into a
# scratch root and run there, its boot service checked by systemd-analyze.
# Nothing here sends a datagram: the installed binary is only asked for its
# usage text. Exits non-zero on the first failed check.
set -euo pipefail
cd "$(dirname "$0")/.."

sh scripts/setup.sh package

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

check() {
  echo "check: $1"
}

fail() {
  echo "FAIL: $1" >&2
  exit 1
}

echo "== Release build in build/package, as the README's Installing section says"
# Its own hardening flags, not a packager's: lintian below checks them.
rm -rf build/package
cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build/package -j2

echo "== cmake --install into a scratch prefix"
prefix="$scratch/prefix"
cmake --install build/package --prefix "$prefix"
find "$prefix" -type f -printf '%P\n' | sort
check "bin/unitfind is an executable file"
[[ -f $prefix/bin/unitfind && -x $prefix/bin/unitfind ]] ||
  fail "bin/unitfind missing or not executable"
check "the manual page is in share/man/man1"
compgen -G "$prefix/share/man/man1/unitfind.1*" >/dev/null ||
  fail "share/man/man1/unitfind.1* missing"
check "nothing but the tool, its manual page and its documents is installed (the service is the package's)"
unexpected=$(find "$prefix" -type f -printf '%P\n' | sort | grep -v -x \
  -e 'bin/unitfind' -e 'share/man/man1/unitfind\.1\(\.gz\)\?' \
  -e 'share/doc/unitfind/copyright' \
  -e 'share/doc/unitfind/changelog\(\.gz\)\?' || true)
[ -z "$unexpected" ] || fail "unexpected files installed: $unexpected"

echo "== the manual page renders without warnings"
page=build/package/docs/unitfind.1.gz
check "groff -ww reports nothing"
warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
[ -z "$warnings" ] || fail "groff: $warnings"
check "mandoc -Tlint reports nothing"
mandoc -Tlint -Wall build/package/docs/unitfind.1 || fail "mandoc -Tlint reports the above"

echo "== Debian package"
rm -f build/package/*.deb
(cd build/package && cpack -G DEB)
debs=(build/package/unitfind_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "cpack made no single .deb"
deb=${debs[0]}
echo "package: $deb"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"

field() {
  dpkg-deb -f "$deb" "$1"
}
expect_field() {
  check "control field $1 is \"$2\""
  [ "$(field "$1")" = "$2" ] || fail "$1 is \"$(field "$1")\""
}
expect_field Package unitfind
version=$(sed -n 's/^#define UNITFIND_VERSION "\(.*\)"$/\1/p' build/package/unitfind_version.h)
[ -n "$version" ] || fail "no version in build/package/unitfind_version.h"
expect_field Version "$version"
expect_field Section net
expect_field Priority optional
expect_field Architecture "$(dpkg --print-architecture)"
check "control field Maintainer is set"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
check "control field Description has a synopsis and a long description"
[ "$(field Description | wc -l)" -gt 2 ] || fail "no long description"
check "dpkg-shlibdeps filled in Depends with libc6"
field Depends | grep -q 'libc6' || fail "Depends is \"$(field Depends)\""

echo "== lintian"
check "lintian -I --pedantic reports nothing"
lintian -I --pedantic --info "$deb" >"$scratch/lintian" 2>&1 || true
# As root it says so first, which is no finding.
grep -vx 'running with root privileges is not recommended!' "$scratch/lintian" >"$scratch/findings" || true
[ ! -s "$scratch/findings" ] || { cat "$scratch/findings"; fail "lintian reports the above"; }

echo "== the boot service"
check "/etc/default/unitfind is the one conffile"
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/default/unitfind ] ||
  fail "conffiles: $(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)"
check "no maintainer script, so nothing enables or starts the service"
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sort | xargs)" = "./conffiles ./control ./md5sums" ] ||
  fail "control members: $(dpkg-deb --ctrl-tarfile "$deb" | tar -t | xargs)"

echo "== the package's files, unpacked into a scratch root"
root="$scratch/root"
dpkg -x "$deb" "$root"
find "$root" -type f -printf '%P\n' | sort
for path in usr/bin/unitfind usr/share/man/man1/unitfind.1.gz \
            usr/share/doc/unitfind/copyright usr/share/doc/unitfind/changelog.gz \
            lib/systemd/system/unitfind.service lib/systemd/system/unitfind.timer \
            etc/default/unitfind; do
  check "$path is in the package"
  [ -f "$root/$path" ] || fail "$path missing"
done
check "every line of etc/default/unitfind is a comment, so the service does nothing yet"
! grep -v '^#' "$root/etc/default/unitfind" || fail "lines above are not comments"
# systemd-analyze also checks that the programs and the manual page that the
# unit names exist: it is shown the package's instead of this machine's.
check "systemd-analyze verify reports nothing on the service and its timer"
mkdir "$scratch/unit"
sed "s|=/usr/bin/unitfind |=$root/usr/bin/unitfind |" "$root/lib/systemd/system/unitfind.service" \
  >"$scratch/unit/unitfind.service"
grep -q "^ExecStart=$root/usr/bin/unitfind " "$scratch/unit/unitfind.service" ||
  fail "no ExecStart=/usr/bin/unitfind in the unit"
cp "$root/lib/systemd/system/unitfind.timer" "$scratch/unit/"
MANPATH="$root/usr/share/man" systemd-analyze verify "$scratch/unit/unitfind.service" \
  "$scratch/unit/unitfind.timer" >"$scratch/verify" 2>&1 ||
  { cat "$scratch/verify"; fail "systemd-analyze verify failed"; }
[ ! -s "$scratch/verify" ] || { cat "$scratch/verify"; fail "systemd-analyze verify reports the above"; }
check "the timer starts its namesake, the service"
! grep -q '^Unit=' "$root/lib/systemd/system/unitfind.timer" || fail "the timer names another unit"
check "neither the service nor the timer is enabled"
for unit in unitfind.service unitfind.timer; do
  state=$(systemctl --root="$root" is-enabled "$unit" 2>&1 || true)
  [ "$state" = disabled ] || fail "$unit is \"$state\", not disabled"
done
[ ! -e "$root/etc/systemd" ] || fail "the package brings etc/systemd: $(find "$root/etc/systemd")"
check "usr/bin/unitfind is stripped"
file "$root/usr/bin/unitfind" | grep -q ', stripped' ||
  fail "not stripped: $(file "$root/usr/bin/unitfind")"

check "usr/bin/unitfind '-?' prints the usage text and exits 1"
status=0
"$root/usr/bin/unitfind" '-?' >"$scratch/out" 2>"$scratch/err" || status=$?
cat "$scratch/err"
[ "$status" -eq 1 ] || fail "exit status $status"
[ ! -s "$scratch/out" ] || fail "wrote to standard output: $(cat "$scratch/out")"
grep -qx "unitfind $version - find a unit on the local network" "$scratch/err" ||
  fail "no banner"
grep -qx "Usage: $root/usr/bin/unitfind <options>" "$scratch/err" ||
  fail "no usage line"
grep -qx -- '-t<number> - Number of seconds before timing out' "$scratch/err" ||
  fail "usage text incomplete"

check "man -l renders the installed manual page"
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$root/usr/share/man/man1/unitfind.1.gz" >"$scratch/man" \
  2>"$scratch/man-err" || fail "man -l failed: $(cat "$scratch/man-err")"
[ ! -s "$scratch/man-err" ] || fail "man -l warned: $(cat "$scratch/man-err")"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' FILES EXAMPLES DIAGNOSTICS \
               SECURITY; do
  grep -qx "$section" "$scratch/man" || fail "rendered page has no $section"
done
head -12 "$scratch/man"

echo "packaging checks passed: $deb"
