#!/usr/bin/env python3
"""Data is never lost: SQLite files written by concurrent CGI runs and by a
run killed in the middle of its transaction.

  - 50 CGI runs at once, each inserting one row and committing, leave
    exactly 50 rows;
  - a run killed with SIGKILL while its transaction is open leaves no
    partial rows and no lock: the next run writes and commits at once.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

APP = r'''
function setup() { var c = openDb("sqlite", "LIB", "db=velt.db;user=u;pwd=p");
  execute(c, "create table t (id integer, note text)"); closeDb(c, "commit"); }
function add() { var c = openDb("sqlite", "LIB", "db=velt.db;user=u;pwd=p");
  var n = select(c, "select count(*) from t");
  execute(c, "insert into t (id, note) values (:{n[0][0]}, 'row')"); closeDb(c, "commit"); sendToFront("ok", 1); }
function hang() { var c = openDb("sqlite", "LIB", "db=velt.db;user=u;pwd=p");
  execute(c, "insert into t (id, note) values (1, 'partial')");
  execute(c, "insert into t (id, note) values (2, 'partial')");
  console.log("inserted"); while (true) { } }
function tally() { var c = openDb("sqlite", "LIB", "db=velt.db;user=u;pwd=p");
  console.log(select(c, "select count(*), count(distinct id) from t")); }
function clear() { var c = openDb("sqlite", "LIB", "db=velt.db;user=u;pwd=p");
  execute(c, "delete from t"); closeDb(c, "commit"); }
function write() { var c = openDb("sqlite", "LIB", "db=velt.db;user=u;pwd=p");
  execute(c, "insert into t (id, note) values (3, 'after')"); closeDb(c, "commit"); console.log("written"); }
'''


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin-dir", required=True)
    opts = ap.parse_args()
    lib = os.path.join(os.path.abspath(opts.bin_dir), "libveltoci.so")
    d = tempfile.mkdtemp(prefix="velt-db-")
    failed = passed = 0
    try:
        shutil.copy2(os.path.join(opts.bin_dir, "cgi-runner"), d)
        with open(os.path.join(d, "VELT.config"), "w") as f:
            f.write("MODULE_DIR=.\n")
        with open(os.path.join(d, "app.js"), "w") as f:
            f.write(APP.replace("LIB", lib))
        env = {"PATH": "/usr/bin:/bin", "TZ": "UTC"}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]

        def script(call, timeout=30):
            return subprocess.run(["./cgi-runner", "-e", call, "app.js"], cwd=d, env=env,
                                  capture_output=True, timeout=timeout).stdout.decode()

        def check(name, got, want):
            nonlocal failed, passed
            if got == want:
                passed += 1
            else:
                failed += 1
                print("FAIL %s\n  want: %r\n  got:  %r" % (name, want, got))

        script("setup()")
        body = "M111816app.jsP15add()"
        cgi_env = dict(env, GATEWAY_INTERFACE="CGI/1.1", REMOTE_ADDR="127.0.0.1", CONTENT_LENGTH=str(len(body)))
        procs = [subprocess.Popen(["./cgi-runner"], cwd=d, env=cgi_env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE) for _ in range(50)]
        outs = [p.communicate(body.encode(), timeout=120)[0].decode() for p in procs]
        bad = [o for o in outs if "s12ok" not in o]
        check("50 concurrent runs all answer", len(bad), 0)
        if bad:
            print("  first bad output: %r" % bad[0])
        # Each run read the count before writing: its write never failed busy.
        check("50 concurrent runs leave 50 rows", script("tally()"), "(L) [[50,50]]\n")

        script("clear()")
        p = subprocess.Popen(["./cgi-runner", "-e", "hang()", "app.js"], cwd=d, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = p.stdout.readline().decode()
        check("the killed run had inserted", line, "(L) \"inserted\"\n")
        p.send_signal(signal.SIGKILL)
        p.wait(timeout=30)
        p.stdout.close()
        check("a killed run leaves no partial rows", script("tally()"), "(L) [[0,0]]\n")
        start = time.monotonic()
        check("a killed run leaves no lock", script("write()", timeout=20), "(L) \"written\"\n")
        check("the next write is not kept waiting", time.monotonic() - start < 10, True)
        check("the next write is kept", script("tally()"), "(L) [[1,1]]\n")
    finally:
        shutil.rmtree(d, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
