#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The user's documents held to the tool: the manual page's DIAGNOSTICS
# explains exactly the calls whose failure the tool can report, the page
# renders within 80 columns without a warning, every shell example parses,
# the boot script survives a failed run under sh -e, no package file name is
# one architecture's, and the README stays under 8 KB.
# Usage: docs_test.sh SOURCE_DIR MANUAL_PAGE (the page as the build made it)
set -u
export LC_ALL=C.UTF-8
SOURCE=$1
PAGE=$2
FAILED=0

fail() {
  echo "FAIL: $1"
  FAILED=1
}

# The calls whose failure the sources report in the perror form: named where
# they are reported (perror, report, close_after), where a platform call
# names the one that failed, or in a format of their own ("gethostbyname:").
reported=$(grep -ohE '(perror|report|close_after)\("[a-z_0-9]+"|fail\(failed, "[a-z_0-9]+"\)|failed = "[a-z_0-9]+"|_CALL = "[a-z_0-9]+"|"[a-z_0-9]+: %s' \
  "$SOURCE"/src/*.cc | sed -E 's/[^"]*"([a-z_0-9]+).*/\1/' | sort -u)
[ -n "$reported" ] || fail "no reported call found in $SOURCE/src"

# The calls DIAGNOSTICS explains: the bold words of its tags (the line after
# each .TP), and a quoted tag's "call: text".
explained=$(sed -n '/^\.SH DIAGNOSTICS/,/^\.SH /p' "$PAGE" | awk '
  tag && /^\.BR? / {
    line = $0
    if (line ~ /^\.BR? "[a-z_0-9]+: /) {
      call = line
      sub(/^\.BR? "/, "", call)
      sub(/:.*/, "", call)
      print call
    }
    gsub(/"[^"]*"/, " ", line)
    n = split(line, words, / +/)
    for (i = 2; i <= n; ++i) if (words[i] ~ /^[a-z_][a-z_0-9]*$/) print words[i]
  }
  { tag = $0 ~ /^\.TP/ }' | sort -u)

missing=$(comm -23 <(echo "$reported") <(echo "$explained"))
[ -z "$missing" ] || fail "reported but not explained in DIAGNOSTICS: $(echo $missing)"
stray=$(comm -13 <(echo "$reported") <(echo "$explained"))
[ -z "$stray" ] || fail "explained in DIAGNOSTICS but reported nowhere: $(echo $stray)"

# Every shell example parses as sh: the README's sh blocks and the commands
# of its console blocks, and the manual's examples: the commands after a
# "$ " prompt, and whole the scripts (blocks that begin with an assignment or
# a comment); other blocks show what the tool prints.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
awk -v dir="$scratch" '
  /^```/ && !kind { kind = $0 == "```sh" ? "sh" : $0 == "```console" ? "console" : "other"
                    n++; start = NR; next }
  /^```/ { kind = ""; next }
  kind == "sh" { print > (dir "/readme." start) }
  kind == "console" && /^\$ / { sub(/^\$ /, ""); print > (dir "/readme." start) }' \
  "$SOURCE/README.md"
awk -v dir="$scratch" '
  /^\.EX/ { block = 1; start = NR; lines = ""; commands = ""; first = ""; next }
  /^\.EE/ { block = 0; out = dir "/manual." start
            if (commands != "") printf "%s", commands > out
            else if (first ~ /^([A-Za-z_][A-Za-z_0-9]*=|#)/) printf "%s", lines > out
            close(out); next }
  block {
    line = $0
    gsub(/\\-/, "-", line); gsub(/\\e/, "\\", line); gsub(/\\\(aq/, "\047", line)
    gsub(/\\\(dq/, "\"", line); gsub(/\\&/, "", line)
    if (lines == "") first = line
    lines = lines line "\n"
    if (line ~ /^\$ /) { sub(/^\$ /, "", line); commands = commands line "\n"; cont = line ~ /\\$/ }
    else if (cont) { commands = commands line "\n"; cont = line ~ /\\$/ }
  }' "$SOURCE/man/unitfind.1.in"
for block in "$scratch"/readme.* "$scratch"/manual.*; do
  [ -e "$block" ] || continue
  where=${block##*/}
  sh -n "$block" 2>"$scratch/error" ||
    fail "the example at line ${where#*.} of the ${where%%.*} is not valid sh: $(cat "$scratch/error")"
done
[ -e "$scratch/readme.7" ] || fail "no shell example found in the README"

# A Debian package's file name follows dpkg's architecture: no document
# names one architecture's.
arch_named=$(grep -noE 'unitfind_[^ ]*_(amd64|arm64|armhf|armel|i386|mipsel|mips64el|ppc64el|riscv64|s390x)\.deb' \
  "$SOURCE/README.md" "$SOURCE/man/unitfind.1.in" "$SOURCE"/docs/*.md)
[ -z "$arch_named" ] || fail "package file names of one architecture: $arch_named"

# The manual's boot script keeps going under sh -e (rc.local's header) when a
# run fails, logs that run, and finds the tool where cmake --install puts it.
script=$(grep -l 'timeout 420' "$scratch"/manual.* | head -n 1)
if [ -z "$script" ]; then
  fail "no boot script (timeout 420) among the manual's examples"
else
  mkdir "$scratch/bin"
  printf '#!/bin/sh\necho "bind: Address already in use"\nexit 1\n' >"$scratch/bin/unitfind"
  chmod +x "$scratch/bin/unitfind"
  { echo 'logger() { echo "logged: $*"; }'
    sed -e "s#/usr/bin/unitfind#$scratch/none#" -e "s#/usr/local/bin/unitfind#$scratch/bin/unitfind#" "$script"
    echo 'echo "the rest ran"'
  } >"$scratch/boot"
  ran=$(sh -e "$scratch/boot" 2>&1)
  [ "$ran" = "logged: -t unitfind bind: Address already in use
the rest ran" ] || fail "the boot script under sh -e, /usr/local/bin/unitfind failing, gave: $ran"
fi

size=$(wc -c <"$SOURCE/README.md")
[ "$size" -lt 8192 ] || fail "README.md is $size bytes, not under 8 KB"

if ! command -v man >/dev/null || ! command -v groff >/dev/null; then
  echo "SKIP: no man or groff here to render the manual page (scripts/setup.sh test installs them)"
  [ "$FAILED" -eq 0 ] && exit 77
  exit 1
fi
rendered=$(MANWIDTH=80 man --warnings -l "$PAGE" 2>"${TMPDIR:-/tmp}/man.$$")
warnings=$(cat "${TMPDIR:-/tmp}/man.$$")
rm -f "${TMPDIR:-/tmp}/man.$$"
[ -z "$warnings" ] || fail "man --warnings: $warnings"
wide=""
while IFS= read -r line; do
  [ "${#line}" -le 80 ] || wide+="$line"$'\n'
done <<<"$rendered"
[ -z "$wide" ] || fail "lines over 80 columns in the rendered page:
$wide"

# A message or a path broken by a hyphen would not read as the tool prints it.
for width in 60 80 100; do
  hyphenated=$(MANWIDTH=$width man -l "$PAGE" 2>/dev/null | grep -c '‐$')
  [ "$hyphenated" -eq 0 ] || fail "$hyphenated words hyphenated at $width columns"
done

[ "$FAILED" -eq 0 ] && echo "the documents hold"
exit "$FAILED"
