#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The static build for small boxes: one stripped executable linked with musl,
# under 100 KB, that needs nothing at run time, checked by the end-to-end
# suites with the simulated unit from the default build (build/default).
set -euo pipefail
cd "$(dirname "$0")/.."

sh scripts/setup.sh static
cmake --preset static && cmake --build --preset static
binary=build/static/unitfind

fail() {
  echo "FAIL: $1" >&2
  exit 1
}
size=$(stat -c %s "$binary")
echo "check: $binary is static, stripped and under 100 KB ($size bytes)"
[ "$size" -lt 102400 ] || fail "$size bytes"
info=$(LC_ALL=C readelf -lS "$binary")
! grep -q 'program interpreter' <<<"$info" || fail "it asks for a dynamic loader"
! grep -qE '\.symtab|\.comment' <<<"$info" || fail "it is not stripped"

tests=build/default/tests
for suite in find hosts; do
  echo "== e2e $suite suite against $binary"
  bash tests/e2e/${suite}_test.sh "$binary" build/default/sim_unit "$tests/libfault_inject.so"
done
