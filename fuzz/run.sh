#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a bounded time (seconds, default 60)
# from a copy of its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCGI_FUZZ=ON -DCGI_SANITIZE=ON -DCGI_TESTS=OFF > /dev/null
cmake --build build/fuzz -j "$(nproc)" --target decode_fuzz count_file_fuzz fastcgi_fuzz > /dev/null
for target in decode count_file fastcgi; do
  corpus="$PWD/build/fuzz/corpus-$target"
  mkdir -p "$corpus"
  echo "fuzzing $target for ${seconds}s"
  log="build/fuzz/$target.log"
  status=0
  # A FastCGI connection carries whole records: room for a request with a body of two.
  max_len=4096
  [ "$target" = fastcgi ] && max_len=140000
  "build/fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -max_len="$max_len" \
    -artifact_prefix="$PWD/build/fuzz/$target-" \
    "$corpus" "$PWD/fuzz/corpus/$target" > "$log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log" >&2
    echo "fuzz target $target failed" >&2
    exit 1
  fi
done
