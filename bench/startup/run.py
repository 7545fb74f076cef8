#!/usr/bin/env python3
"""Start-up benchmark: `cgi-runner -e main() empty.js` against /bin/true.

Runs both commands alternately many times in one run and prints the median
wall time of each and their ratio. Usage: run.py [BUILD_DIR] [RUNS]
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import benchlib  # noqa: E402

build, runs = benchlib.build_and_runs(300)

with benchlib.runner_dir(build, "velt-startup-", {"empty.js": "function main() {}\n"}) as work:
    commands = {"/bin/true": ["/bin/true"], "cgi-runner": ["./cgi-runner", "-e", "main()", "empty.js"]}
    benchlib.print_against_true(benchlib.medians(commands, runs, cwd=work))
