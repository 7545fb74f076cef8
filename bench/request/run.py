#!/usr/bin/env python3
"""Request benchmark: one CGI request against /bin/true.

The request (built with velt-tool request) names a module, carries a
handful of globals (integers, strings, an array and a hash) and calls a
small function that sends an array back with sendToFront. Both commands run
alternately many times in one run; prints the median wall time of each and
their ratio. Usage: run.py [BUILD_DIR] [RUNS]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "build")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 300

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

work = tempfile.mkdtemp(prefix="velt-request-")
try:
    exe = os.path.join(work, "cgi-runner")
    shutil.copy2(os.path.join(build, "cgi-runner"), exe)
    with open(os.path.join(work, "VELT.config"), "w") as f:
        f.write("MODULE_DIR=.\n")
    with open(os.path.join(work, "app.js"), "w") as f:
        f.write(APP)
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
    times = {name: [] for name in commands}
    for _ in range(runs):
        for name, cmd in commands.items():
            t0 = time.perf_counter()
            subprocess.run(cmd, cwd=work, env=env, input=body, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            times[name].append(time.perf_counter() - t0)
    med = {name: statistics.median(v) for name, v in times.items()}
    for name, m in med.items():
        print("%-12s median %.3f ms" % (name, m * 1000))
    print("ratio cgi-runner / true: %.2f" % (med["cgi-runner"] / med["/bin/true"]))
finally:
    shutil.rmtree(work, ignore_errors=True)
