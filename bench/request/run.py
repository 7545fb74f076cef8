#!/usr/bin/env python3
"""Request benchmark: one CGI request against /bin/true.

The request (built with velt-tool request) names a module, carries a
handful of globals (integers, strings, an array and a hash) and calls a
small function that sends an array back with sendToFront. Both commands run
alternately many times in one run; prints the median wall time of each and
their ratio. Usage: run.py [BUILD_DIR] [RUNS]
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import benchlib  # noqa: E402

build, runs = benchlib.build_and_runs(300)

APP = """// Answers the benchmark request.
function reply(count, label) {
    var rows = [];
    for (var i = 0; i < count; i++) {
        rows[i] = [i, label + i, items[i % 4], opts.scale * i];
    }
    sendToFront("rows", rows);
    sendToFront("user", user);
}
"""

with benchlib.runner_dir(build, "velt-request-", {"app.js": APP}) as work:
    body = subprocess.run(
        [os.path.join(build, "velt-tool"), "request", "--module", "app.js", "--call", "reply(n, prefix)",
         "--int", "n=8", "--int", "page=3", "--string", "prefix=row ", "--string", "user=山田 太郎",
         "--array", "items=[1, 2.5, \"three\", [4, 5]]",
         "--hash", "opts={\"scale\": 2, \"mode\": \"list\", \"tags\": [\"a\", \"b\"]}"],
        stdout=subprocess.PIPE, check=True).stdout
    env = {"PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1", "REMOTE_ADDR": "192.168.1.20",
           "CONTENT_LENGTH": str(len(body))}
    out = subprocess.run(["./cgi-runner"], cwd=work, env=env, input=body, stdout=subprocess.PIPE).stdout
    if b"rows" not in out or b"C" not in out or b"S14" in out:
        sys.exit("the request did not answer as expected: %r" % out[:300])

    commands = {"/bin/true": ["/bin/true"], "cgi-runner": ["./cgi-runner"]}
    benchlib.print_against_true(benchlib.medians(commands, runs, cwd=work, env=env, input=body))
