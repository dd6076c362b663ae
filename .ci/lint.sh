#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Static analysis: clang-tidy (checks in .clang-tidy) on the tool's sources and
# the simulated unit, and cppcheck on those and the fuzz targets. Any finding
# fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

sh scripts/setup.sh lint

echo "== compile commands (build/tidy)"
cmake --preset tidy >/dev/null

sources=(src/*.cc sim/sim_unit.cc)

echo "== clang-tidy"
clang-tidy --version | head -n 2
# Its count of warnings it suppressed in system headers is only noise.
clang-tidy -p build/tidy --quiet --warnings-as-errors='*' "${sources[@]}" 2>&1 |
  { grep -v '^[0-9]* warnings generated\.$' || true; }

# warning, style, performance and portability are the findings about the code;
# information only says which system headers cppcheck did not read, and
# unusedFunction misjudges functions that only the tests and fuzzers call.
# The one suppression, inline in src/hosts_file.cc, says why.
echo "== cppcheck"
cppcheck --version
cppcheck --std=c++17 --language=c++ --enable=warning,style,performance,portability \
  --inline-suppr --error-exitcode=1 --quiet -I src -I tests \
  "${sources[@]}" fuzz/*.cc
echo "== lint found nothing"
