#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compiles every file of src/ for FreeBSD 14 (x86_64, aarch64), NetBSD 10 and
# OpenBSD 7 with clang against their system headers, warnings as errors, so
# that the tool keeps building where it cannot be linked or run here. The
# headers are a folder beside the worktree (BSD_HEADERS, by default
# ../shared/bsd-headers); without it the check skips, loudly.
# Usage: bsd.sh [SOURCE...]   (every src/*.cc without one)
set -euo pipefail
cd "$(dirname "$0")/.."

headers=${BSD_HEADERS:-../shared/bsd-headers}
if [ ! -d "$headers" ]; then
  echo "SKIP: no BSD system headers at $headers; nothing compiled for the BSDs"
  exit 0
fi
sh scripts/setup.sh lint

# target, then its include folders in the order the headers need them
systems=(
  "x86_64-unknown-freebsd14.0 x86_64-freebsd-none generic-freebsd"
  "aarch64-unknown-freebsd14.0 aarch64-freebsd-none generic-freebsd"
  "x86_64-unknown-netbsd10.0 x86_64-netbsd-none generic-netbsd"
  "x86_64-unknown-openbsd7.6 x86_64-openbsd-none generic-openbsd"
)
if [ $# -gt 0 ]; then sources=("$@"); else sources=(src/*.cc); fi

# The version header is what CMake would generate from its template.
generated=$(mktemp -d)
trap 'rm -rf "$generated"' EXIT
version=$(sed -n 's/^project(unitfind VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
sed "s/@PROJECT_VERSION@/$version/" src/unitfind_version.h.in >"$generated/unitfind_version.h"

resource=$(clang -print-resource-dir)
failed=0
for system in "${systems[@]}"; do
  read -r target arch generic <<<"$system"
  for source in "${sources[@]}"; do
    clang++ -target "$target" -std=c++17 -nostdinc -fno-exceptions -fno-rtti \
      -isystem "$resource/include" -isystem "$headers/$arch" -isystem "$headers/$generic" \
      -Isrc -I"$generated" -Wall -Wextra -Wpedantic -Werror -fsyntax-only "$source" ||
      { echo "FAIL: $source for $target"; failed=1; }
  done
  echo "compiled ${#sources[@]} files for $target"
done
exit "$failed"
