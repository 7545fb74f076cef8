#!/usr/bin/env bash
# Short fuzzing run of every harness (SECONDS_PER_HARNESS, default 60),
# started from its seed corpus (tests/fuzz/corpus/<name minus fuzz_>/).
# Fails on a crash, a hang (over 10 s per input) or a sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash tests/fuzz/build.sh
secs=${SECONDS_PER_HARNESS:-60}
for bin in build-fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin"); seeds=tests/fuzz/corpus/${name#fuzz_}
  work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
  echo "== $name for ${secs}s"
  "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -detect_leaks=0 \
    -artifact_prefix="$work/" "$work" "$seeds" 2>&1 | tail -3
  rm -rf "$work"; trap - EXIT
done
