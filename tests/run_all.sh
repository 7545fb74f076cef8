#!/usr/bin/env bash
# Runs the whole test suite: unit and end-to-end tests in a normal build and
# in an AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
for flavour in normal asan; do
  dir=build-$flavour
  extra=()
  [ "$flavour" = asan ] && extra=(-DVELT_SANITIZE=ON)
  echo "== $flavour build"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== $flavour tests"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure
done
# libFuzzer harnesses, about a minute each (clang, sanitizer build).
echo "== fuzz harnesses"
bash tests/fuzz/run_short.sh
