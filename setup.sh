#!/usr/bin/env bash
# Installs what is missing, builds cgi-runner and runs the example.
set -euo pipefail
cd "$(dirname "$0")"
bash tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELT_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"
bash examples/run_example.sh
