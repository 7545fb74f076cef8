#!/usr/bin/env bash
# Runs the example application with the built cgi-runner. The program looks
# for VELT.config beside itself, so it is linked into the example directory.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
cd "$here/hello"
ln -sf "$build/cgi-runner" cgi-runner
echo "\$ ./cgi-runner -e 'main()' hello.js"
./cgi-runner -e 'main()' hello.js
echo
