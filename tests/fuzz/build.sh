#!/usr/bin/env bash
# Builds every libFuzzer harness (tests/fuzz/fuzz_*.cpp) with clang into
# build-fuzz/ (incremental). Prints the build directory.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake -S tests/fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
