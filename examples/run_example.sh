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

# The same program as a web server runs it: a request body on standard input
# (built here with velt-tool), its length in CONTENT_LENGTH, the answer on
# standard output.
tool="$build/velt-tool"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$tool" request --module greet.js --call 'greet("visitor")' \
    --hash 'order={"table": 7, "items": ["tea", "cake"], "note": "no sugar"}' > "$work/request"
echo "\$ velt-tool request ... > request"
cat "$work/request"
echo
echo "\$ GATEWAY_INTERFACE=CGI/1.1 CONTENT_LENGTH=\$(wc -c < request) ./cgi-runner < request"
GATEWAY_INTERFACE=CGI/1.1 CONTENT_LENGTH="$(wc -c < "$work/request")" REMOTE_ADDR=127.0.0.1 \
    ./cgi-runner < "$work/request" > "$work/response"
cat "$work/response"
echo
echo "\$ velt-tool response response"
"$tool" response "$work/response"
