#!/usr/bin/env python3
"""Parse benchmark: loads a large generated module (about 20,000 lines of
functions) in script mode and compares the time with the start-up run of an
empty module. Usage: run.py [BUILD_DIR] [RUNS] [LINES]
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import benchlib  # noqa: E402

build, runs = benchlib.build_and_runs(20)
lines = int(sys.argv[3]) if len(sys.argv) > 3 else 20000


def generate(path, target_lines):
    out = []
    n = 0
    while len(out) < target_lines:
        out += [
            "// function number %d" % n,
            "function f%d(a, b, c) {" % n,
            "    var s = \"text %d\" + a;" % n,
            "    let list = [1, 2.5, \"x\", {k: a, v: [b, c]}];",
            "    for (var i = 0; i < b; i++) {",
            "        if (i % 3 == 0 && c) { s = s + i; } else { s += `t${i}`; }",
            "    }",
            "    switch (a) { case 1: s = s + 1; break; default: s = s + 2; }",
            "    try { c = a * (b - 1) / 2; } catch (e) { c = 0; }",
            "    return s.length + list.length + c;",
            "}",
        ]
        n += 1
    out.append("function main() { console.log(f0(1, 2, 3)); }")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")
    return len(out)


def median_time(cmd, cwd):
    return benchlib.medians({"cmd": cmd}, runs, cwd=cwd)["cmd"]


with benchlib.runner_dir(build, "velt-parse-", {"empty.js": "function main() {}\n"}) as work:
    count = generate(os.path.join(work, "big.js"), lines)
    half = generate(os.path.join(work, "half.js"), lines // 2)
    check = subprocess.run(["./cgi-runner", "-e", "main()", "big.js"], cwd=work, stdout=subprocess.PIPE)
    print("big.js output:", check.stdout.decode(errors="replace").strip()[:80])
    empty = median_time(["./cgi-runner", "-e", "main()", "empty.js"], work)
    t_half = median_time(["./cgi-runner", "-e", "main()", "half.js"], work)
    t_big = median_time(["./cgi-runner", "-e", "main()", "big.js"], work)
    print("empty module      %8.2f ms" % (empty * 1000))
    print("%6d lines       %8.2f ms" % (half, t_half * 1000))
    print("%6d lines       %8.2f ms" % (count, t_big * 1000))
    print("ratio to start-up: %.1f; doubling the text: x%.2f" % (t_big / empty, (t_big - empty) / max(t_half - empty, 1e-9)))
