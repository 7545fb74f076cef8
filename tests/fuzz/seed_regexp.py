#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_regexp from the RegExp end-to-end tables:
every /pattern/flags literal and every new RegExp("...") pattern becomes
one input (flags byte, pattern, zero byte, a sample subject).

Usage: seed_regexp.py  (run from anywhere; rewrites tests/fuzz/corpus/regexp/e2e_*)
"""
import glob
import hashlib
import json
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
FLAGS = {"m": 0x04, "i": 0x08, "g": 0x10, "y": 0x20, "s": 0x40}
LITERAL = re.compile(r"(?<![\w)\]])/((?:\\.|[^/\\\n])+)/([a-z]*)")
CONSTRUCTED = re.compile(r'new RegExp\(("(?:\\.|[^"\\])*")')
SUBJECT = b"ab 12-345 xABCx a\nb <a><b> $42 aaab"


def main():
    out = os.path.join(HERE, "corpus", "regexp")
    os.makedirs(out, exist_ok=True)
    for old in glob.glob(os.path.join(out, "e2e_*")):
        os.remove(old)
    seen = set()
    for table in glob.glob(os.path.join(HERE, "..", "e2e", "cases", "lib_regexp*.json")):
        for case in json.load(open(table, encoding="utf-8")):
            for text in case.get("files", {}).values():
                text = "".join(text) if isinstance(text, list) else text
                found = [(m.group(1), m.group(2)) for m in LITERAL.finditer(text)]
                found += [(json.loads(m.group(1)), "") for m in CONSTRUCTED.finditer(text)]
                for pattern, flags in found:
                    fb = 0
                    for f in flags:
                        fb |= FLAGS.get(f, 0)
                    data = bytes([fb]) + pattern.encode("utf-8") + b"\0" + SUBJECT
                    if data in seen:
                        continue
                    seen.add(data)
                    name = "e2e_" + hashlib.sha1(data).hexdigest()[:12]
                    with open(os.path.join(out, name), "wb") as f:
                        f.write(data)
    print(len(seen), "seeds")


if __name__ == "__main__":
    main()
