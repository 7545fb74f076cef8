#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
set -euo pipefail
need=()
packages=(
  cmake g++ make python3 libgtest-dev pkg-config
  clang libclang-rt-14-dev        # fuzz harnesses
  tzdata                          # Date tests set TZ
  libsqlite3-dev libpq-dev postgresql  # client library and its tests
)
for pkg in "${packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}"
fi
