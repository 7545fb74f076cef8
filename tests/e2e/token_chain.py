#!/usr/bin/env python3
"""Request tokens across processes: a token that one run issues in its "X"
message is accepted by the next run, tokens older than TIME_INTERVAL are
refused with "タイムアウト", and a token is tied to the client address.

Usage: token_chain.py --bin-dir DIR   (DIR holds cgi-runner, cgi-runner-debug
and velt-tool). Tokens depend on the clock, so these cases are computed
here rather than written into a table.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HEADER = b"Content-type: text/plane;charset=UTF-8\n\n"
CLIENT = "192.168.1.20"
APP = "function main() { sendToFront(\"n\", n); }\n"


def counted(data, pos):
    """One counted string of a response at pos: (text, next position)."""
    marker = data[pos]
    encoded = marker >= ord("A")
    digits = marker - (ord("A") if encoded else ord("0"))
    length = int(data[pos + 1:pos + 1 + digits] or b"0")
    start = pos + 1 + digits
    text = data[start:start + length]
    if encoded:
        out = bytearray()
        i = 0
        while i < len(text):
            if text[i] == ord("%"):
                out.append(int(text[i + 1:i + 3], 16))
                i += 3
            else:
                out.append(text[i])
                i += 1
        text = bytes(out)
    return text, start + length


class Runner:
    def __init__(self, bin_dir, program, config):
        self.bin_dir = bin_dir
        self.dir = tempfile.mkdtemp(prefix="velt-token-")
        shutil.copy2(os.path.join(bin_dir, program), os.path.join(self.dir, program))
        self.program = program
        with open(os.path.join(self.dir, "VELT.config"), "w") as f:
            # No debugger link in these runs.
            f.write("MODULE_DIR=.\nDEBUG_PORT=\n" + config)
        with open(os.path.join(self.dir, "app.js"), "w") as f:
            f.write(APP)

    def request(self, *options):
        tool = os.path.join(self.bin_dir, "velt-tool")
        return subprocess.run([tool, "request", "--module", "app.js", "--call", "main()", "--int", "n=1"]
                              + list(options), stdout=subprocess.PIPE, check=True).stdout

    def run(self, body, client=CLIENT):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TZ": "UTC", "GATEWAY_INTERFACE": "CGI/1.1",
               "CONTENT_LENGTH": str(len(body)), "REMOTE_ADDR": client}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]
        proc = subprocess.run(["./" + self.program], cwd=self.dir, env=env, input=body,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        if b"Sanitizer" in proc.stderr or b"runtime error:" in proc.stderr:
            raise AssertionError("sanitizer report:\n" + proc.stderr.decode("utf-8", "replace"))
        return proc.stdout

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def token_pair(out):
    """Seed and token of the closing X message after the run summary."""
    x = out.index(b"C10101110X") + 9
    seed, pos = counted(out, x + 1)
    token, pos = counted(out, pos)
    if pos != len(out):
        raise AssertionError("X is not the last message: %r" % out)
    return seed, token


def expect(problems, name, cond, out):
    if not cond:
        problems.append("%s\n  got: %r" % (name, out))


def check(bin_dir, program):
    problems = []
    ok = HEADER + b"s11nO1C10101110X"
    refused = HEADER + b"S141775"
    ng = b"X12NG12NG"
    timeout = "".join("%%%02X" % b for b in "タイムアウト".encode()).encode()
    now = int(time.time())

    r = Runner(bin_dir, program, "TOKEN_KEY=secret\nTIME_INTERVAL=600\n")
    try:
        # A pair issued now passes and the run issues the next pair.
        out = r.run(r.request("--issue-token", "secret", CLIENT, str(now)))
        expect(problems, "fresh token accepted", out.startswith(ok), out)
        seed, token = token_pair(out)
        expect(problems, "issued seed carries the key", seed.startswith(b"secret"), out)
        # The pair issued by that process is accepted by the next one, twice
        # over a chain of runs.
        for step in range(2):
            out = r.run(r.request("--token", seed.decode(), token.decode()))
            expect(problems, "issued token accepted (step %d)" % step, out.startswith(ok), out)
            seed, token = token_pair(out)
        # The same pair from another client address is refused.
        out = r.run(r.request("--token", seed.decode(), token.decode()), client="192.168.1.21")
        expect(problems, "token tied to the client", out.startswith(refused) and out.endswith(ng), out)
        # Older than TIME_INTERVAL: refused as a timeout; well inside it: accepted.
        out = r.run(r.request("--issue-token", "secret", CLIENT, str(now - 601)))
        expect(problems, "expired token", out.startswith(refused) and timeout in out and out.endswith(ng), out)
        out = r.run(r.request("--issue-token", "secret", CLIENT, str(now - 540)))
        expect(problems, "token within the interval", out.startswith(ok), out)
        # A well-formed pair made with another key is refused: the seed must
        # begin with this server's key.
        auth = "".join("%%%02X" % b for b in "認証エラー".encode()).encode()
        out = r.run(r.request("--issue-token", "other", CLIENT, str(now)))
        expect(problems, "token of another key", out.startswith(refused) and auth in out and out.endswith(ng), out)
    finally:
        r.close()

    # Without a key only the time of the token text counts.
    r = Runner(bin_dir, program, "TIME_INTERVAL=600\n")
    try:
        out = r.run(r.request("--token", "", "abc%05d" % ((now - 601) % 65536)))
        expect(problems, "expired token without a key", out.startswith(refused) and timeout in out, out)
        out = r.run(r.request("--token", "", "abc%05d" % (now % 65536)))
        expect(problems, "current token without a key", out.startswith(ok), out)
        seed, token = token_pair(out)
        expect(problems, "issued seed without a key", len(seed) >= 16, out)
    finally:
        r.close()
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    opts = parser.parse_args()
    failed = 0
    for program in ("cgi-runner", "cgi-runner-debug"):
        for p in check(opts.bin_dir, program):
            failed += 1
            print("FAIL [%s] %s" % (program, p))
    print("token chain: %d failed" % failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
