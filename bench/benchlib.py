"""Pieces shared by the start-up, request and parse benchmarks: their
command line, a scratch directory holding a copy of cgi-runner with a
VELT.config, and median wall times of commands run alternately."""
import contextlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def build_and_runs(default_runs):
    """BUILD_DIR and RUNS from the command line: run.py [BUILD_DIR] [RUNS] ..."""
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else default_runs
    return build, runs


@contextlib.contextmanager
def runner_dir(build, prefix, files=None):
    """A temporary directory with cgi-runner, a VELT.config naming itself as
    MODULE_DIR and the given {name: text} files; removed afterwards."""
    work = tempfile.mkdtemp(prefix=prefix)
    try:
        shutil.copy2(os.path.join(build, "cgi-runner"), os.path.join(work, "cgi-runner"))
        files = dict(files or {})
        files["VELT.config"] = "MODULE_DIR=.\n"
        for name, text in files.items():
            with open(os.path.join(work, name), "w") as f:
                f.write(text)
        yield work
    finally:
        shutil.rmtree(work, ignore_errors=True)


def medians(commands, runs, **run_args):
    """Runs the {name: argv} commands in turn, `runs` rounds; the median wall
    time of each, in seconds. run_args go to subprocess.run (cwd, env, input)."""
    times = {name: [] for name in commands}
    for _ in range(runs):
        for name, cmd in commands.items():
            t0 = time.perf_counter()
            subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **run_args)
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(v) for name, v in times.items()}


def print_against_true(med):
    """Prints each median and the ratio of cgi-runner to /bin/true."""
    for name, m in med.items():
        print("%-12s median %.3f ms" % (name, m * 1000))
    print("ratio cgi-runner / true: %.2f" % (med["cgi-runner"] / med["/bin/true"]))
