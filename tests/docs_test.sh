#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The user's documents held to the tool: the manual page's DIAGNOSTICS
# explains exactly the calls whose failure the tool can report, the page
# renders within 80 columns without a warning, and the README stays under
# 8 KB.
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
