#!/usr/bin/env python3
"""Database request benchmark: one CGI request that opens a SQLite file
through libveltoci.so, selects 100 rows with a bound parameter and sends
them with selectToFront, against /bin/true and against the same page served
by php-cgi with PDO SQLite (page.php, Debian packages php-cgi and
php-sqlite3; left out when php-cgi is missing). Commands run alternately in
one run; prints medians and ratios. Usage: run.py [BUILD_DIR] [RUNS]
"""
import os
import shutil
import sqlite3
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
import benchlib  # noqa: E402

build, runs = benchlib.build_and_runs(200)
lib = os.path.join(os.path.abspath(build), "libveltoci.so")

APP = """// Answers the database benchmark request.
function page(from) {
    var c = openDb("sqlite", "%s", "db=bench.db;user=u;pwd=p");
    selectToFront(c, "rows", "select id, name, price, qty from items where id > :from order by id limit 100");
}
""" % lib

with benchlib.runner_dir(build, "velt-dbbench-", {"app.js": APP}) as work:
    db = sqlite3.connect(os.path.join(work, "bench.db"))
    db.execute("create table items (id integer primary key, name text, price real, qty integer)")
    db.executemany("insert into items values (?, ?, ?, ?)",
                   [(i, "item %d" % i, i * 1.25, i % 17) for i in range(1, 1001)])
    db.commit()
    db.close()
    shutil.copy2(os.path.join(HERE, "page.php"), os.path.join(work, "page.php"))
    body = subprocess.run([os.path.join(build, "velt-tool"), "request", "--module", "app.js",
                           "--call", "page(from)", "--int", "from=400"],
                          stdout=subprocess.PIPE, check=True).stdout
    env = {"PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1", "REMOTE_ADDR": "192.168.1.20",
           "CONTENT_LENGTH": str(len(body)), "REDIRECT_STATUS": "200",
           "SCRIPT_FILENAME": os.path.join(work, "page.php"), "REQUEST_METHOD": "POST",
           "BENCH_DB": os.path.join(work, "bench.db"), "BENCH_FROM": "400"}
    out = subprocess.run(["./cgi-runner"], cwd=work, env=env, input=body, stdout=subprocess.PIPE).stdout
    if b"Z143100" not in out or b"S14" in out:
        sys.exit("the request did not answer as expected: %r" % out[:300])
    commands = {"/bin/true": ["/bin/true"], "cgi-runner": ["./cgi-runner"]}
    php = shutil.which("php-cgi")
    if php:
        pout = subprocess.run([php], cwd=work, env=env, input=body, stdout=subprocess.PIPE).stdout
        if b"item 401" not in pout:
            sys.exit("php-cgi did not answer as expected: %r" % pout[:300])
        commands["php-cgi"] = [php]
    med = benchlib.medians(commands, runs, cwd=work, env=env, input=body)
    benchlib.print_against_true(med)
    if "php-cgi" in med:
        print("ratio cgi-runner / php-cgi: %.3f" % (med["cgi-runner"] / med["php-cgi"]))
