#!/usr/bin/env python3
"""Runs each benchmark program on cgi-runner and on the peers that are
installed (mujs, duk, node --jitless), checks that the checksums agree and
prints the time of each relative to cgi-runner (best of N runs).

Usage: run.py [--build DIR] [--runs N] [program.js ...]
"""
import argparse
import glob
import os
import shutil
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Peers run the program as a plain script: console.log may be missing
# (mujs, duk have print) and main() must be called. The global is set
# through `this`: a `var console` would be hoisted and hide node's console.
PRELUDE = "if (typeof console === 'undefined') { this.console = {log: print}; }\n"
EPILOGUE = "\nmain();\n"


def best_time(cmd, cwd, runs):
    best, out = None, None
    for _ in range(runs):
        t0 = time.perf_counter()
        proc = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - t0
        out = proc.stdout.decode(errors="replace").strip() or proc.stderr.decode(errors="replace").strip()
        best = elapsed if best is None else min(best, elapsed)
    return best, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("programs", nargs="*")
    opts = ap.parse_args()
    programs = opts.programs or sorted(glob.glob(os.path.join(HERE, "programs", "*.js")))
    peers = []
    for name, cmd in (("mujs", ["mujs"]), ("duk", ["duk"]), ("node --jitless", ["node", "--jitless"])):
        if shutil.which(cmd[0]):
            peers.append((name, cmd))
    work = tempfile.mkdtemp(prefix="velt-bench-")
    try:
        runner = os.path.join(work, "cgi-runner")
        shutil.copy2(os.path.join(opts.build, "cgi-runner"), runner)
        with open(os.path.join(work, "VELT.config"), "w") as f:
            f.write("MODULE_DIR=.\n")
        header = "%-12s %10s %10s" % ("program", "velt s", "checksum")
        for name, _ in peers:
            header += " %16s" % (name + " ratio")
        print(header)
        agree = True
        for path in programs:
            base = os.path.basename(path)
            shutil.copy2(path, os.path.join(work, base))
            with open(path) as f:
                source = f.read()
            plain = os.path.join(work, "plain_" + base)
            with open(plain, "w") as f:
                f.write(PRELUDE + source + EPILOGUE)
            vt, vout = best_time(["./cgi-runner", "-e", "main()", base], work, opts.runs)
            if vout.startswith("(L) "):  # console lines carry their prefix
                vout = vout[4:]
            line = "%-12s %10.3f %10s" % (base, vt, vout[:10])
            for name, cmd in peers:
                pt, pout = best_time(cmd + [plain], work, opts.runs)
                mark = "" if pout == vout else "!"
                if mark:
                    agree = False
                line += " %15.2f%s" % (vt / pt, mark or " ")
            print(line)
        print("ratio = cgi-runner time / peer time (lower is better); '!' marks a checksum mismatch")
        return 0 if agree else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    raise SystemExit(main())
