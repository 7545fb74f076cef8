#!/usr/bin/env python3
"""End-to-end runner: executes the built programs on tables of cases.

A table is a JSON list of cases. Each case:
  name      text shown on failure
  args      command-line arguments after argv[0]          (default [])
  argv0     "relative" (./cgi-runner, default) or "bare" (cgi-runner)
  programs  which programs run the case  (default both cgi-runner builds)
  env       extra environment variables (TZ defaults to UTC)
  files     {relative path: text} written into a fresh directory that also
            holds the program; a value that is a list of strings is joined
  links     {relative path: target} symbolic links made there
  stdin     text for standard input (default empty)
  stdout    the exact expected standard output
  stdout_re a regular expression the whole standard output must match
  exit      expected exit code (default 0)
  journal   {"path": file, "re": regex the whole file must match}
  files_after {relative path: exact text} files that must hold this text
  sqlite_only  skipped when the tables run against another database (--db)
  server_only  run only when the tables run against another database
  before    list of earlier runs in the same directory, each {args, stdin,
            env}, whose output is not checked (data left by one process
            for the next)
For cgi-runner-debug the runner adds an empty DEBUG_PORT line to the
configuration files of the case, so no case ever connects to a debugging
front end (the debugger's own tests drive the link with their own runner).
Every string may use {dir} for the run directory, {lib} for the built
client library libveltoci.so, {fakelib} for the fault-injecting
libfakeoci.so, {db} for the database the case names with --db (default
the SQLite file velt.db in the run directory), {kind} for the database
kind (--kind, default sqlite), {user} for the user (--user, default u), and these forms, which
are expanded innermost first:
  [[rep:N:text]]  text repeated N times
  [[cs:text]]     the text as a percent-encoded counted string
  [[plain:text]]  the text as a counted string without encoding
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

DEFAULT_PROGRAMS = ["cgi-runner", "cgi-runner-debug"]


PLAIN_BYTES = set(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789;,/?:@&=+$-_.*'()#")
MACRO = re.compile(r"\[\[(rep|cs|plain):((?:(?!\[\[|\]\]).)*)\]\]", re.S)


def counted(text, encode):
    raw = text.encode("utf-8")
    if encode and any(b not in PLAIN_BYTES for b in raw):
        body = "".join(chr(b) if b in PLAIN_BYTES else "%%%02X" % b for b in raw)
        return chr(ord("A") + len(str(len(body)))) + str(len(body)) + body
    return chr(ord("0") + len(str(len(raw)))) + str(len(raw)) + text


def expand_macro(m):
    kind, arg = m.group(1), m.group(2)
    if kind == "rep":
        count, _, text = arg.partition(":")
        return text * int(count)
    return counted(arg, kind == "cs")


LIBS = {}


def expand(value, run_dir):
    if isinstance(value, list):
        value = "".join(value)
    value = value.replace("{dir}", run_dir)
    for key, path in LIBS.items():
        value = value.replace(key, path)
    while True:
        new = MACRO.sub(expand_macro, value)
        if new == value:
            return new
        value = new


def run_case(case, bin_dir, program):
    run_dir = tempfile.mkdtemp(prefix="velt-e2e-")
    try:
        for rel, text in case.get("files", {}).items():
            path = os.path.join(run_dir, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(expand(text, run_dir).encode("utf-8"))
        for rel, target in case.get("links", {}).items():
            path = os.path.join(run_dir, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.symlink(expand(target, run_dir), path)
        if program == "cgi-runner-debug":
            for name in ("VELT.config", "oracleVELT.config"):
                path = os.path.join(run_dir, name)
                if os.path.isfile(path) and not os.path.islink(path):
                    with open(path, "ab") as f:
                        f.write(b"\nDEBUG_PORT=\n")
        exe = os.path.join(run_dir, program)
        shutil.copy2(os.path.join(bin_dir, program), exe)

        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TZ": "UTC"}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]
        for key, val in case.get("env", {}).items():
            env[key] = expand(val, run_dir)
        argv0 = "./" + program if case.get("argv0", "relative") == "relative" else program
        for earlier in case.get("before", []):
            env_before = dict(env)
            for key, val in earlier.get("env", {}).items():
                env_before[key] = expand(val, run_dir)
            subprocess.run([argv0] + [expand(a, run_dir) for a in earlier.get("args", [])], executable=exe,
                           cwd=run_dir, env=env_before, input=expand(earlier.get("stdin", ""), run_dir).encode(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        args = [argv0] + [expand(a, run_dir) for a in case.get("args", [])]
        stdin = expand(case.get("stdin", ""), run_dir).encode("utf-8")
        proc = subprocess.run(args, executable=exe, cwd=run_dir, env=env, input=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        problems = []
        out = proc.stdout.decode("utf-8", errors="backslashreplace")
        if "stdout" in case:
            want = expand(case["stdout"], run_dir)
            if out != want:
                problems.append("stdout differs\n  want: %r\n  got:  %r" % (want, out))
        if "stdout_re" in case:
            pattern = expand(case["stdout_re"], run_dir)
            if not re.fullmatch(pattern, out, re.S):
                problems.append("stdout does not match %r\n  got: %r" % (pattern, out))
        want_exit = case.get("exit", 0)
        if proc.returncode != want_exit:
            problems.append("exit code %d, want %d" % (proc.returncode, want_exit))
        err = proc.stderr.decode("utf-8", errors="backslashreplace")
        if "Sanitizer" in err or "runtime error:" in err:
            problems.append("sanitizer report:\n" + err)
        journal = case.get("journal")
        if journal:
            path = os.path.join(run_dir, expand(journal["path"], run_dir))
            text = open(path, encoding="utf-8").read() if os.path.exists(path) else None
            pattern = expand(journal["re"], run_dir)
            if text is None or not re.fullmatch(pattern, text, re.S):
                problems.append("journal %s does not match %r\n  got: %r" % (path, pattern, text))
        for rel, want in case.get("files_after", {}).items():
            path = os.path.join(run_dir, rel)
            got = open(path, encoding="utf-8").read() if os.path.exists(path) else None
            if got != expand(want, run_dir):
                problems.append("file %s differs\n  want: %r\n  got:  %r" % (rel, want, got))
        return problems
    finally:
        shutil.rmtree(run_dir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--db", default="velt.db", help="connection db value for {db}")
    parser.add_argument("--db-env", help="take --db from this environment variable; skip all when empty")
    parser.add_argument("--kind", default="sqlite", help="database kind for {kind}")
    parser.add_argument("--user", default="u", help="database user for {user}")
    parser.add_argument("tables", nargs="+")
    opts = parser.parse_args()
    LIBS["{lib}"] = os.path.join(os.path.abspath(opts.bin_dir), "libveltoci.so")
    LIBS["{fakelib}"] = os.path.join(os.path.abspath(opts.bin_dir), "libfakeoci.so")
    if opts.db_env:
        opts.db = os.environ.get(opts.db_env, "")
        if not opts.db:
            print("skipped: %s" % os.environ.get("VELT_PG_UNAVAILABLE", opts.db_env + " is empty"))
            print("0 passed, 0 failed")
            return 0
    LIBS["{db}"] = opts.db
    LIBS["{kind}"] = opts.kind
    LIBS["{user}"] = opts.user
    failed = passed = 0
    for table in opts.tables:
        with open(table, encoding="utf-8") as f:
            cases = json.load(f)
        for case in cases:
            if case.get("sqlite_only") and opts.db != "velt.db":
                continue
            if case.get("server_only") and opts.db == "velt.db":
                continue
            for program in case.get("programs", DEFAULT_PROGRAMS):
                problems = run_case(case, opts.bin_dir, program)
                if problems:
                    failed += 1
                    print("FAIL %s [%s] %s" % (os.path.basename(table), program, case["name"]))
                    for p in problems:
                        print("  " + p)
                else:
                    passed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
