#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fuzzing: builds the libFuzzer targets in fuzz/ with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs each for a bounded time on a copy of
# its seed corpus. Fails when a target crashes, leaks, hangs or finds an input
# that breaks one of its checks; the input is kept in build/fuzz/artifacts/.
#
# FUZZ_SECONDS sets the time per target (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."

sh scripts/setup.sh fuzz

seconds=${FUZZ_SECONDS:-60}
build=build/fuzz

echo "== build the fuzz targets"
(cd fuzz && cmake --preset fuzz -DCMAKE_CXX_FLAGS=-Werror && cmake --build --preset fuzz)

# The largest input each target reads: a whole datagram after the sender's
# four address bytes, and hosts files well past a piece (the compact form
# reaches further).
targets=(parse_reply_fuzz rewrite_hosts_fuzz rewrite_hosts_block_fuzz)
declare -A max_len=([parse_reply_fuzz]=65504 [rewrite_hosts_fuzz]=40000
                    [rewrite_hosts_block_fuzz]=40000)
declare -A dict=([parse_reply_fuzz]=fuzz/parse_reply.dict
                 [rewrite_hosts_fuzz]=fuzz/rewrite_hosts.dict
                 [rewrite_hosts_block_fuzz]=fuzz/rewrite_hosts.dict)

mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
  echo "== fuzz $target for $seconds s"
  corpus="$build/corpus/$target"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp fuzz/corpus/$target/* "$corpus/"
  if ! "$build/$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
      -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -dict="${dict[$target]}" -artifact_prefix="$build/artifacts/$target-" \
      "$corpus" 2>"$build/$target.log"; then
    tail -n 60 "$build/$target.log"
    echo "FAIL: $target found a fault; the input is in $build/artifacts/"
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|#[0-9]+ +DONE)' "$build/$target.log" || true
done
echo "== fuzzing found nothing"
