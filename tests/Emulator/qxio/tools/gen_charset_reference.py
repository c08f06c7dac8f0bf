#!/usr/bin/env python3
"""Writes the reference decoding of every byte of the library's single-byte character sets,
taken from Python's codecs, for the character-coder tests.

One line per byte: the set's name, the byte in hexadecimal and its code point in
hexadecimal, or "-" when the set does not map the byte.

usage: gen_charset_reference.py OUTPUT
"""
import codecs
import os
import sys

SETS = [("ANSI_X3.4-1968", "ascii"), ("ISO-8859-1", "latin-1"), ("ISO-8859-2", "iso8859-2"),
        ("ISO-8859-15", "iso8859-15"), ("windows-1252", "cp1252")]


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: gen_charset_reference.py OUTPUT\n")
        return 2
    lines = []
    for name, codec in SETS:
        for byte in range(256):
            try:
                code = "%X" % ord(codecs.decode(bytes([byte]), codec))
            except UnicodeDecodeError:
                code = "-"
            lines.append("%s %02X %s" % (name, byte, code))
    tmp = argv[1] + ".tmp"
    with open(tmp, "w", encoding="ascii") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(tmp, argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
