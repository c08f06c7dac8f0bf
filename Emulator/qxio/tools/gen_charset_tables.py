#!/usr/bin/env python3
"""Generates the byte character-set tables and the two Unicode property range sets of the
I/O library as one C++ source file.

The byte tables come from Python's own codecs; the range sets come from the Unicode
Character Database (DerivedAge.txt, UnicodeData.txt, DerivedNormalizationProps.txt).
Every table is checked against the sizes the library relies on; any difference fails
the build.

usage: gen_charset_tables.py UCD_DIR OUTPUT.cpp
"""
import codecs
import os
import sys

# (C name, Python codec, exceptions expected)
BYTE_SETS = [
    ("qxio_ascii_table", "ascii", 0),
    ("qxio_latin1_table", "latin-1", 0),
    ("qxio_latin2_table", "iso8859-2", 57),
    ("qxio_latin9_table", "iso8859-15", 8),
    ("qxio_windows1252_table", "cp1252", 27),
]
REPLACEMENT_BYTE = 0x1A

# (C name, ranges expected, code points expected, first ranges, last ranges)
ASSIGNED_SET = ("qxio_non_private_abstract_char_set", 428, 99089,
                [(0x0000, 0x036F), (0x0374, 0x0375), (0x037A, 0x037E)])
NFC_SET = ("qxio_nfc_quick_check_yes_and_defined_set", 475, 97872,
           [(0x0000, 0x02FF), (0x0305, 0x0305), (0x030D, 0x030E), (0x0310, 0x0310)])
COMMON_TAIL = [(0xE0001, 0xE0001), (0xE0020, 0xE007F), (0xE0100, 0xE01EF)]
AGE_LIMIT = (5, 0)
EXCLUDED_CATEGORIES = {"Co", "Cs", "Cn"}


class TableError(Exception):
    pass


def byte_table(codec):
    """Code point of each byte value (-1 when the codec does not map it)."""
    codes = []
    for byte in range(256):
        try:
            text = codecs.decode(bytes([byte]), codec)
        except UnicodeDecodeError:
            codes.append(-1)
            continue
        if len(text) != 1:
            raise TableError("%s: byte 0x%02X decodes to %d characters" % (codec, byte, len(text)))
        codes.append(ord(text))
    return codes


def data_lines(path):
    """The data fields of a UCD file: comments dropped, fields split on ';' and stripped."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def parse_range(text):
    if ".." in text:
        low, high = text.split("..")
        return int(low, 16), int(high, 16)
    return int(text, 16), int(text, 16)


def read_ages(ucd_dir):
    """Map of code point to its Age as a tuple of integers."""
    ages = {}
    for fields in data_lines(os.path.join(ucd_dir, "DerivedAge.txt")):
        low, high = parse_range(fields[0])
        age = tuple(int(part) for part in fields[1].split("."))
        for code in range(low, high + 1):
            ages[code] = age
    return ages


def read_categories(ucd_dir):
    """Map of code point to General_Category; code points not listed are Cn."""
    categories = {}
    first = None
    for fields in data_lines(os.path.join(ucd_dir, "UnicodeData.txt")):
        code, name, category = int(fields[0], 16), fields[1], fields[2]
        if name.endswith(", First>"):
            first = code
            continue
        if name.endswith(", Last>"):
            for c in range(first, code + 1):
                categories[c] = category
            first = None
            continue
        categories[code] = category
    return categories


def read_nfc_not_yes(ucd_dir):
    """Code points whose NFC_Quick_Check is No or Maybe."""
    result = set()
    for fields in data_lines(os.path.join(ucd_dir, "DerivedNormalizationProps.txt")):
        if len(fields) >= 3 and fields[1] == "NFC_QC" and fields[2] in ("N", "M"):
            low, high = parse_range(fields[0])
            result.update(range(low, high + 1))
    return result


def to_ranges(codes):
    ranges = []
    for code in sorted(codes):
        if ranges and ranges[-1][1] == code - 1:
            ranges[-1][1] = code
        else:
            ranges.append([code, code])
    return [tuple(r) for r in ranges]


def check_set(expected, ranges):
    name, nranges, ncodes, head = expected
    total = sum(high - low + 1 for low, high in ranges)
    if len(ranges) != nranges or total != ncodes:
        raise TableError("%s: %d ranges / %d code points, expected %d / %d"
                         % (name, len(ranges), total, nranges, ncodes))
    if ranges[:len(head)] != head or ranges[-len(COMMON_TAIL):] != COMMON_TAIL:
        raise TableError("%s: first or last ranges differ from the expected ones" % name)


def emit_byte_table(out, cname, codec, nexceptions):
    codes = byte_table(codec)
    exceptions = [(code, byte) for byte, code in enumerate(codes) if code not in (-1, byte)]
    if len(exceptions) != nexceptions:
        raise TableError("%s: %d exceptions, expected %d" % (codec, len(exceptions), nexceptions))
    if exceptions:
        out.append("static const qxio_t_byte_exception %s_exceptions[%d] = {" % (cname, len(exceptions)))
        for code, byte in exceptions:
            out.append("    {0x%04X, 0x%02X}," % (code, byte))
        out.append("};")
    out.append("const qxio_t_byte_to_utf32_table %s = {" % cname)
    out.append("    0x%02X," % REPLACEMENT_BYTE)
    out.append("    {")
    for row in range(0, 256, 8):
        cells = [("0x%04X," % c) if c >= 0 else "-1," for c in codes[row:row + 8]]
        out.append("        " + " ".join(cells))
    out.append("    },")
    out.append("    %d," % len(exceptions))
    out.append("    %s," % ("%s_exceptions" % cname if exceptions else "nullptr"))
    out.append("};")
    out.append("")


def emit_range_set(out, name, ranges):
    out.append("const qxio_t_utf32_range %s[%d] = {" % (name, len(ranges)))
    for low, high in ranges:
        out.append("    {0x%04X, 0x%04X}," % (low, high))
    out.append("};")
    out.append("const size_t %s_count = %d;" % (name, len(ranges)))
    out.append("")


def generate(ucd_dir):
    out = ["/* Generated by tools/gen_charset_tables.py from Python's codecs and the Unicode",
           "   Character Database. Do not edit. */",
           '#include "qxio_coder_internal.h"', ""]
    for cname, codec, nexceptions in BYTE_SETS:
        emit_byte_table(out, cname, codec, nexceptions)

    ages = read_ages(ucd_dir)
    categories = read_categories(ucd_dir)
    nfc_not_yes = read_nfc_not_yes(ucd_dir)
    assigned = {code for code, age in ages.items()
                if age <= AGE_LIMIT and categories.get(code, "Cn") not in EXCLUDED_CATEGORIES}
    assigned_ranges = to_ranges(assigned)
    nfc_ranges = to_ranges(assigned - nfc_not_yes)
    check_set(ASSIGNED_SET, assigned_ranges)
    check_set(NFC_SET, nfc_ranges)
    emit_range_set(out, ASSIGNED_SET[0], assigned_ranges)
    emit_range_set(out, NFC_SET[0], nfc_ranges)
    return "\n".join(out)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: gen_charset_tables.py UCD_DIR OUTPUT.cpp\n")
        return 2
    try:
        text = generate(argv[1])
    except (TableError, OSError) as error:
        sys.stderr.write("gen_charset_tables.py: %s\n" % error)
        return 1
    tmp = argv[2] + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
