#!/usr/bin/env bash
# Long fuzzing run: tests/fuzz/run_long.sh DURATION_SECONDS [HARNESS]
# Keeps its growing corpus in build-fuzz/corpus-<name>/ and crash inputs in
# build-fuzz/artifacts-<name>/; prints libFuzzer's final statistics.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:?usage: run_long.sh DURATION_SECONDS [HARNESS]}
bash tests/fuzz/build.sh
for bin in build-fuzz/${2:-fuzz_*}; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin"); seeds=tests/fuzz/corpus/${name#fuzz_}
  mkdir -p "build-fuzz/corpus-$name" "build-fuzz/artifacts-$name"
  echo "== $name for ${secs}s"
  "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/artifacts-$name/" "build-fuzz/corpus-$name" "$seeds"
done
