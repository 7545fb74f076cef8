#!/usr/bin/env python3
"""The debugger link of cgi-runner-debug, driven by a test front end.

The front end listens on a free loopback port, the interpreter connects to
it (REMOTE_ADDR 127.0.0.1, DEBUG_PORT set to that port) and the test plays
the front end's side of the protocol: module texts, breakpoint settings,
stops, every command and its answer. Every wait is bounded, so a fault
fails fast instead of hanging. Also checks that cgi-runner has no link.

Usage: link_test.py --bin-dir DIR
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import traceback

WAIT = 10

APP = """function add(a, b) {
  var s = a + b;
  return s;
}
function main(n) {
  var x = n * 2;
  console.log("x=", x);
  var y = add(x, 1);
  try { nosuch(); } catch (e) { }
  return y;
}
var big = "x";
while (big.length < 17000) big = big + big;
"""

SJIS_BAD_FORMAT = "#式のフォーマット不正(".encode("cp932")
SJIS_BAD_FRAME = "#呼び出し履歴の指定不正".encode("cp932")
SJIS_TOO_LONG = "#ERROR: 評価結果の文字列が長すぎます。".encode("cp932")


def counted(n):
    d = str(n)
    return (chr(ord("A") + len(d)) + d).encode()


class Link:
    """The front end's end of one connection."""

    def __init__(self, sock):
        self.sock = sock
        sock.settimeout(WAIT)

    def read_exact(self, n):
        data = b""
        while len(data) < n:
            part = self.sock.recv(n - len(data))
            if not part:
                raise EOFError("link closed")
            data += part
        return data

    def read_length(self):
        letter = self.read_exact(1)
        return int(self.read_exact(letter[0] - ord("A")))

    def recv(self):
        n = self.read_length()
        payload = self.read_exact(n)
        self.sock.sendall(counted(n))
        return payload

    def send(self, payload):
        if isinstance(payload, str):
            payload = payload.encode()
        self.sock.sendall(counted(len(payload)) + payload)
        assert self.read_length() == len(payload), "wrong answer"

    def expect(self, pattern):
        got = self.recv()
        if isinstance(pattern, bytes):
            assert got == pattern, "want %r, got %r" % (pattern, got)
        else:
            assert re.fullmatch(pattern, got.decode("utf-8", "replace"), re.S), \
                "want /%s/, got %r" % (pattern, got)
        return got


class Run:
    """A temporary directory with cgi-runner-debug, a listener and one run."""

    def __init__(self, bin_dir, config="", files=None):
        self.bin_dir = bin_dir
        self.dir = tempfile.mkdtemp(prefix="velt-debug-")
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(WAIT)
        self.port = self.listener.getsockname()[1]
        shutil.copy2(os.path.join(bin_dir, "cgi-runner-debug"), self.dir)
        with open(os.path.join(self.dir, "VELT.config"), "w") as f:
            f.write("MODULE_DIR=.\nDEBUG_PORT=%d\n%s" % (self.port, config))
        for name, text in (files or {"app.js": APP}).items():
            with open(os.path.join(self.dir, name), "w") as f:
                f.write(text)
        self.proc = None

    def start_request(self, call="main(5)", extra=(), client="127.0.0.1"):
        tool = os.path.join(self.bin_dir, "velt-tool")
        body = subprocess.run([tool, "request", "--module", "app.js", "--call", call] + list(extra),
                              stdout=subprocess.PIPE, check=True, timeout=WAIT).stdout
        env = {"PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1", "REMOTE_ADDR": client,
               "CONTENT_LENGTH": str(len(body)), "TZ": "UTC"}
        self._start(["./cgi-runner-debug"], env, body)

    def start_script(self, call="main(5)"):
        env = {"PATH": "/usr/bin:/bin", "REMOTE_ADDR": "127.0.0.1", "TZ": "UTC"}
        self._start(["./cgi-runner-debug", "-e", call, "app.js"], env, b"")

    def _start(self, args, env, stdin):
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]
        self.proc = subprocess.Popen(args, cwd=self.dir, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.proc.stdin.write(stdin)
        self.proc.stdin.close()
        self.proc.stdin = None

    def accept(self):
        conn, _ = self.listener.accept()
        return Link(conn)

    def no_connection(self):
        self.listener.settimeout(0.5)
        try:
            self.listener.accept()
        except socket.timeout:
            return True
        return False

    def finish(self):
        out, err = self.proc.communicate(timeout=WAIT)
        assert b"Sanitizer" not in err and b"runtime error" not in err, err.decode("utf-8", "replace")
        return out.decode("utf-8", "replace")

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.listener.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def stop_at(link, line):
    link.expect(r"S.*:%d:\d+" % line)
    return link.expect(r"B\./app\.js:%d:\d+" % line).decode()


def test_session(bin_dir):
    """Served module, settings, stops, stepping, evaluation, traces."""
    run = Run(bin_dir, files={"app.js": "this file is broken {\n"})
    try:
        run.start_request()
        link = run.accept()
        link.expect(rb"M./app.js")
        link.send(APP)
        link.send("T1:add;###B6:$$$C")
        link.expect(r"S\./app\.js::6:\d+")
        link.expect(r"B\./app\.js:6:\d+")
        link.send("E./app.js::6:3;n")
        link.expect(b"=5")
        link.send("E./app.js::6:3;n + 1; n * 10")
        link.expect(b"=50")
        link.send("E./app.js:nolabel:6:3;n")
        link.expect(SJIS_BAD_FRAME)
        link.send("Enothing")
        link.expect(SJIS_BAD_FORMAT + b"Enothing)")
        link.send("E./app.js::6:3;typeof n")
        link.expect(r"#EVAL ERROR: CODE=1860, MESSAGE='EVAL ERROR 1860 \(app\.js:\d+:\d+\) : デバッグでのEVALエラー'")
        link.send("E./app.js::6:3;n +* 2")
        link.expect(r"#PARSE ERROR: CODE=\d+, MESSAGE='PARSE ERROR .*'")
        link.send("E./app.js::6:3;big")
        link.expect(SJIS_TOO_LONG)
        link.send("E./app.js::6:3;function f() {}")
        link.expect(r"#PARSE ERROR: CODE=1810, MESSAGE='評価する式が不正 'function f\(\) \{\}''")
        link.send("STEP7")          # ignored: still stopped
        link.send("E./app.js::6:3;n")
        link.expect(b"=5")
        link.send("STEP3")          # step over
        stop_at(link, 7)
        link.send("STEP3")
        link.expect(b'L"x="10')
        stop_at(link, 8)            # var y = ...
        link.send("STEP3")
        stop_at(link, 8)            # the call add(x, 1)
        link.send("STEP2")          # step into
        link.expect(b"Aadd( a=10, b=1 )")
        link.expect(r"S\./app\.js::8:\d+;\./app\.js:add:2:\d+")
        link.expect(r"B\./app\.js:2:\d+")
        link.send("E./app.js:add:2:3;a + b")
        link.expect(b"=11")
        link.send("E./app.js::8:11;x")     # the caller's frame
        link.expect(b"=10")
        link.send("E./app.js::8:11;x = 4; x")
        link.expect(b"=4")
        link.send("E./app.js:add:2:3;x")   # main's locals are not add's
        link.expect(b"=undefined")
        link.send("E./app.js::8:11;x = 10")
        link.expect(b"=10")
        link.send("STEP4")          # step out
        link.expect(b"Radd( 11 )")
        stop_at(link, 9)
        link.send("B./app.js:10:")
        link.send("b./app.js:9:n > ;9:n == 5;")
        link.expect(r"D評価する式が不正 'n > '")
        link.send("STEP1")          # continue
        link.expect(r"DEVAL ERROR 2155 \(app\.js:9:\d+\) : 関数不正\(nosuch\), 0")
        stop_at(link, 10)
        link.send("E./app.js::10:3;y")
        link.expect(b"=11")
        link.send("B./app.js:")
        link.send("STEP1")
        link.expect(b"X")
        out = run.finish()
        assert out.endswith("C1010101") or "C1010101" in out, out
    finally:
        run.close()


def test_conditions_and_steps(bin_dir):
    """Conditional breakpoints (true, false, failing), step over a call,
    a trace label that does not cover the function."""
    run = Run(bin_dir)
    try:
        run.start_request()
        link = run.accept()
        link.expect(rb"M./app.js")
        link.send("&&&&")           # read from disk
        link.send("T12:nothere;###B$$$C2:nosuch.x;2:a == 3;7:n == 5;")
        stop_at(link, 7)
        link.send("STEP3")
        link.expect(b'L"x="10')
        stop_at(link, 8)
        link.send("STEP3")
        stop_at(link, 8)
        link.send("STEP3")          # over add: no stop inside, no trace
        # inside add the conditions of line 2 run: one fails, one is false
        link.expect(r"#EVAL ERROR: CODE=\d+, MESSAGE='.*'")
        stop_at(link, 9)
        link.send("STEP1")
        link.expect(r"D.*2155.*")
        link.expect(b"X")
        run.finish()
    finally:
        run.close()


def test_end_debugging(bin_dir):
    """STEP 0: the end notice, then error 1855; a link failure while
    stopped ends the run with 1850."""
    for action, code in (("STEP0", "1855"), ("close", "1850")):
        run = Run(bin_dir)
        try:
            run.start_request()
            link = run.accept()
            link.expect(rb"M./app.js")
            link.send("&&&&")
            link.send("T###B6:$$$C")
            stop_at(link, 6)
            if action == "STEP0":
                link.send("STEP0")
                link.expect(b"X")
            else:
                link.sock.close()
            out = run.finish()
            assert ("S14%s" % code) in out, (action, out)
        finally:
            run.close()


def test_module_payloads(bin_dir):
    """Invalid "o" payloads and images count as not supplied; field L skips
    the request; an oversized length drops the link and the run goes on."""
    for payload in (b"o!!notbase64", b"oQUJD"):
        run = Run(bin_dir)
        try:
            run.start_request()
            link = run.accept()
            link.expect(rb"M./app.js")
            link.send(payload)
            link.send("&&&&")
            link.expect(b'L"x="10')
            link.expect(r"D.*2155.*")
            link.expect(b"X")
            assert "C1010101" in run.finish()
        finally:
            run.close()
    run = Run(bin_dir)
    try:
        run.start_request(extra=["--from-disk"])
        link = run.accept()
        link.expect(b'L"x="10')
        link.expect(r"D.*2155.*")
        link.expect(b"X")
        assert "C1010101" in run.finish()
    except SystemExit:
        raise
    finally:
        run.close()
    run = Run(bin_dir)
    try:
        run.start_request()
        link = run.accept()
        link.expect(rb"M./app.js")
        link.sock.sendall(b"I99999999")    # above 16 MiB
        out = run.finish()
        assert "C1010101" in out, out
    finally:
        run.close()


def test_clients(bin_dir):
    """Connects only to a listed client; no CLIENT lines: loopback only."""
    run = Run(bin_dir, config="CLIENT=127.0.0.2\n")
    try:
        run.start_request()
        assert run.no_connection(), "connected to an unlisted client"
        assert "C1010101" in run.finish()
    finally:
        run.close()
    run = Run(bin_dir, config="CLIENT=127.0.0.2,127.0.0.1\n")
    try:
        run.start_request()
        link = run.accept()
        link.expect(rb"M./app.js")
        link.send("&&&&")
        link.send("&&&&")
        link.expect(b'L"x="10')
        link.expect(r"D.*2155.*")
        link.expect(b"X")
        run.finish()
    finally:
        run.close()


def test_script_mode(bin_dir):
    """Script mode: console lines on the link, diagnostics on standard
    output while the link is up, the end notice, then close."""
    run = Run(bin_dir)
    try:
        run.start_script()
        link = run.accept()
        link.expect(b'L"x="10')
        link.expect(b"X")
        out = run.finish()
        assert re.search(r"EVAL ERROR 2155 \(app\.js:9:\d+\) : 関数不正\(nosuch\), 0\n", out), out
        assert link.sock.recv(1) == b""
    finally:
        run.close()


def test_no_link_in_cgi_runner(bin_dir):
    """cgi-runner has no socket calls and no link symbols."""
    nm = shutil.which("nm")
    assert nm, "nm is missing"
    dyn = subprocess.run([nm, "-D", os.path.join(bin_dir, "cgi-runner")], stdout=subprocess.PIPE,
                         check=True).stdout.decode()
    for sym in ("socket", "connect", "poll", "getaddrinfo", "send", "recv"):
        assert not re.search(r"\bU %s(@|$)" % sym, dyn, re.M), sym
    syms = subprocess.run([nm, "-C", os.path.join(bin_dir, "cgi-runner")], stdout=subprocess.PIPE,
                          check=True).stdout.decode()
    assert "velt::debugger" not in syms and "net_connect" not in syms
    dbg = subprocess.run([nm, "-D", os.path.join(bin_dir, "cgi-runner-debug")], stdout=subprocess.PIPE,
                         check=True).stdout.decode()
    assert re.search(r"\bU connect(@|$)", dbg, re.M), "the debug build lost its link"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin-dir", required=True)
    opts = ap.parse_args()
    failed = 0
    tests = [v for k, v in sorted(globals().items()) if k.startswith("test_")]
    for t in tests:
        try:
            t(opts.bin_dir)
            print("PASS", t.__name__)
        except Exception:
            failed += 1
            print("FAIL", t.__name__)
            traceback.print_exc()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
