#!/usr/bin/env python3
"""String building benchmark: a function appends one character with `s += c`
N times (100,000 by default) and 2N times; the time beyond the start-up run
of an empty module must double with the count (appending is amortized
constant per byte). Usage: run.py [BUILD_DIR] [RUNS] [N]
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import benchlib  # noqa: E402

build, runs = benchlib.build_and_runs(10)
n = int(sys.argv[3]) if len(sys.argv) > 3 else 100000

SOURCE = """function build(n) {
    var s = "";
    for (var i = 0; i < n; i++) { s += "a"; }
    return s.length;
}
function main(n) { console.log(build(n)); }
"""

with benchlib.runner_dir(build, "velt-strbuild-", {"b.js": SOURCE, "empty.js": "function main() {}\n"}) as work:
    commands = {
        "empty": ["./cgi-runner", "-e", "main()", "empty.js"],
        "N": ["./cgi-runner", "-e", "main(%d)" % n, "b.js"],
        "2N": ["./cgi-runner", "-e", "main(%d)" % (2 * n), "b.js"],
    }
    out = subprocess.run(commands["N"], cwd=work, stdout=subprocess.PIPE).stdout.decode().strip()
    print("N output:", out)
    med = benchlib.medians(commands, runs, cwd=work)
    for name, m in med.items():
        print("%-6s median %8.2f ms" % (name, m * 1000))
    base = med["empty"]
    print("appends of N=%d: %.2f ms; 2N / N beyond start-up: x%.2f"
          % (n, (med["N"] - base) * 1000, (med["2N"] - base) / max(med["N"] - base, 1e-9)))
