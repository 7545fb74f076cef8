#!/usr/bin/env python3
"""velt-debug end to end: a real cgi-runner-debug request under a scripted
velt-debug session (commands on standard input), checked against the
expected transcript. velt-debug listens on a free loopback port (--port 0)
and every wait is bounded.

Usage: velt_debug_test.py --bin-dir DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from link_test import APP  # noqa: E402

COMMANDS = """break app.js:6
trace app.js:1 add
print n
next
next
next
step
backtrace
print a + b
frame 1
print x
finish
list
condition app.js:10 y == 11
continue
print y
print typeof y
print "#"
continue
"""

TRANSCRIPT = """(velt) break app.js:6
break app.js:6
(velt) trace app.js:1 add
trace app.js:1 add
(velt) print n
connected
module ./app.js (served)
stopped at ./app.js:6:3
=>    6    var x = n * 2;
= 5
(velt) next
stopped at ./app.js:7:14
=>    7    console.log("x=", x);
(velt) next
(L) "x="10
stopped at ./app.js:8:3
=>    8    var y = add(x, 1);
(velt) next
stopped at ./app.js:8:14
=>    8    var y = add(x, 1);
(velt) step
trace add( a=10, b=1 )
stopped at ./app.js:2:3
=>    2    var s = a + b;
(velt) backtrace
* #0 ./app.js:add:2:3
  #1 ./app.js::8:14
(velt) print a + b
= 11
(velt) frame 1
#1 ./app.js::8:14
(velt) print x
= 10
(velt) finish
trace return add( 11 )
stopped at ./app.js:9:3
=>    9    try { nosuch(); } catch (e) { }
(velt) list
      4  }
      5  function main(n) {
      6    var x = n * 2;
      7    console.log("x=", x);
      8    var y = add(x, 1);
=>    9    try { nosuch(); } catch (e) { }
     10    return y;
     11  }
     12  var big = "x";
     13  while (big.length < 17000) big = big + big;
(velt) condition app.js:10 y == 11
condition app.js:10 y == 11
(velt) continue
(D) EVAL ERROR 2155 (app.js:9:15) : 関数不正(nosuch), 0
stopped at ./app.js:10:3
=>   10    return y;
(velt) print y
= 11
(velt) print typeof y
#EVAL ERROR: CODE=1860, MESSAGE='EVAL ERROR 1860 (app.js:1:0) : デバッグでのEVALエラー'
(velt) print "#"
= #
(velt) continue
program ended
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin-dir", required=True)
    opts = ap.parse_args()
    opts.bin_dir = os.path.abspath(opts.bin_dir)
    work = tempfile.mkdtemp(prefix="velt-debug-fe-")
    debug = None
    try:
        os.makedirs(os.path.join(work, "src"))
        for path in ("app.js", "src/app.js"):
            with open(os.path.join(work, path), "w") as f:
                f.write(APP)
        shutil.copy2(os.path.join(opts.bin_dir, "cgi-runner-debug"), work)
        env = {"PATH": "/usr/bin:/bin", "TZ": "UTC"}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]
        debug = subprocess.Popen([os.path.join(opts.bin_dir, "velt-debug"), "--port", "0", "--source", "src",
                                  "--wait", "10"], cwd=work, env=env, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = debug.stderr.readline().decode()
        m = re.search(r"listening on 127\.0\.0\.1:(\d+)", first)
        assert m, first
        with open(os.path.join(work, "VELT.config"), "w") as f:
            f.write("MODULE_DIR=.\nDEBUG_PORT=%s\n" % m.group(1))
        body = subprocess.run([os.path.join(opts.bin_dir, "velt-tool"), "request", "--module", "app.js",
                               "--call", "main(5)"], stdout=subprocess.PIPE, check=True, timeout=10).stdout
        run_env = dict(env, GATEWAY_INTERFACE="CGI/1.1", REMOTE_ADDR="127.0.0.1", CONTENT_LENGTH=str(len(body)))
        debug.stdin.write(COMMANDS.encode())
        debug.stdin.close()
        debug.stdin = None
        run = subprocess.run(["./cgi-runner-debug"], cwd=work, env=run_env, input=body, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, timeout=30)
        out, err = debug.communicate(timeout=30)
        transcript = out.decode("utf-8", "replace")
        problems = []
        if transcript != TRANSCRIPT:
            problems.append("transcript differs:\n" + transcript)
        if b"C1010101" not in run.stdout:
            problems.append("run output: %r" % run.stdout)
        for e in (run.stderr, err):
            if b"Sanitizer" in e or b"runtime error" in e:
                problems.append(e.decode("utf-8", "replace"))
        if debug.returncode != 0:
            problems.append("velt-debug exit %d" % debug.returncode)
        for p in problems:
            print(p)
        print("FAIL" if problems else "PASS", "velt-debug session")
        return 1 if problems else 0
    finally:
        if debug and debug.poll() is None:
            debug.kill()
            debug.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
