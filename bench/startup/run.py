#!/usr/bin/env python3
"""Start-up benchmark: `cgi-runner -e main() empty.js` against /bin/true.

Runs both commands alternately many times in one run and prints the median
wall time of each and their ratio. Usage: run.py [BUILD_DIR] [RUNS]
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

work = tempfile.mkdtemp(prefix="velt-startup-")
try:
    exe = os.path.join(work, "cgi-runner")
    shutil.copy2(os.path.join(build, "cgi-runner"), exe)
    with open(os.path.join(work, "VELT.config"), "w") as f:
        f.write("MODULE_DIR=.\n")
    with open(os.path.join(work, "empty.js"), "w") as f:
        f.write("function main() {}\n")
    commands = {"/bin/true": ["/bin/true"], "cgi-runner": ["./cgi-runner", "-e", "main()", "empty.js"]}
    times = {name: [] for name in commands}
    for _ in range(runs):
        for name, cmd in commands.items():
            t0 = time.perf_counter()
            subprocess.run(cmd, cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            times[name].append(time.perf_counter() - t0)
    med = {name: statistics.median(v) for name, v in times.items()}
    for name, m in med.items():
        print("%-12s median %.3f ms" % (name, m * 1000))
    print("ratio cgi-runner / true: %.2f" % (med["cgi-runner"] / med["/bin/true"]))
finally:
    shutil.rmtree(work, ignore_errors=True)
