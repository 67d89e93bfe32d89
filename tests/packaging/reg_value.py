#!/usr/bin/env python3
"""Prints the data of one value from a .reg file that regedit /E wrote (UTF-16): strings as
text, REG_EXPAND_SZ as text, DWORDs in decimal. Prints nothing when the value is not there.
    reg_value.py FILE NAME"""
import re
import sys

text = open(sys.argv[1], encoding="utf-16").read().replace("\\\r\n", "").replace("\\\n", "")
unescape = lambda s: re.sub(r"\\(.)", r"\1", s)
for line in text.splitlines():
    m = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line.strip())
    if not m or unescape(m.group(1)) != sys.argv[2]:
        continue
    data = m.group(2)
    if data.startswith('"'):
        print(unescape(data[1:-1]))
    elif data.startswith("dword:"):
        print(int(data[6:], 16))
    elif data.startswith("hex(2):"):
        raw = bytes(int(b, 16) for b in data[7:].replace(" ", "").split(",") if b)
        print(raw.decode("utf-16-le").rstrip("\0"))
