#!/usr/bin/env python3
"""Turns UTF-8 text into a C string literal of its Shift_JIS bytes.

The console texts of the program are Shift_JIS; the sources hold them as escapes so that
no source file depends on the editor's encoding. Usage:
    tools/sjis_escape.py 'text'        (or the text on standard input)
Escapes such as \\n in the argument are kept as they are.
"""
import sys


def escape(text: str) -> str:
    out = []
    previous_was_hex = False
    for ch in text:
        if ord(ch) < 0x80:
            if previous_was_hex and ch in "0123456789abcdefABCDEF":
                out.append('" "')
            if ch == '"':
                out.append('\\"')
            else:
                out.append(ch)
            previous_was_hex = False
        else:
            for byte in ch.encode("cp932"):
                out.append("\\x%02x" % byte)
            previous_was_hex = True
    return '"' + "".join(out) + '"'


if __name__ == "__main__":
    text = sys.argv[1] if len(sys.argv) > 1 else sys.stdin.read().rstrip("\n")
    print(escape(text))
