#!/usr/bin/env python3
"""Generates src/text/unicode_tables.inc from the Unicode Character Database.

Usage: python3 tools/gen_unicode_tables.py [UCD_DIR] [OUTPUT]
       (defaults: /usr/share/unicode, src/text/unicode_tables.inc)

Reads four pinned files of one UCD version (UnicodeData.txt, PropList.txt,
DerivedCoreProperties.txt, SpecialCasing.txt) and writes a two-level lookup:
index1[cp >> SHIFT] selects a block, index2[(block << SHIFT) + (cp & MASK)]
selects a de-duplicated record of property bits and lowercase mapping. The
split is the one with the fewest table bytes; every code point is checked
against the source data after building. The output depends on nothing but the
UCD files, so running this twice writes the identical file.

It also prints the SHA-256 of the property dump that `text_kernels_test --dump`
writes, for tests/test_unicode.py.
"""

import hashlib
import os
import re
import sys

MAX_CP = 0x10FFFF
UCD_FILES = ("UnicodeData.txt", "PropList.txt", "DerivedCoreProperties.txt", "SpecialCasing.txt")

# Record flag bits; unicode_props.h names the same values.
WHITE_SPACE = 0x01
ALPHABETIC = 0x02
NUMERIC = 0x04
CASED = 0x08
CASE_IGNORABLE = 0x10
ASSIGNED = 0x20
MULTI_LOWER = 0x80  # `lower` is an offset into the multi-character table, not a delta
PUBLIC_FLAGS = WHITE_SPACE | ALPHABETIC | NUMERIC | CASED | CASE_IGNORABLE | ASSIGNED
NUMERIC_CATEGORIES = ("Nd", "Nl", "No")

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_OUTPUT = os.path.join(ROOT, "src", "text", "unicode_tables.inc")


def fail(message):
    sys.exit("gen_unicode_tables: " + message)


def read_lines(ucd_dir, name):
    with open(os.path.join(ucd_dir, name), encoding="utf-8") as f:
        return f.read().splitlines()


def file_version(lines, name):
    """The version in a '# Name-X.Y.Z.txt' first line."""
    stem = name[: -len(".txt")]
    match = re.match(r"#\s*" + re.escape(stem) + r"-(\d+\.\d+\.\d+)\.txt", lines[0])
    if not match:
        fail(f"{name} has no version header")
    return match.group(1)


def data_rows(lines):
    """Fields of each data line, comments and blank lines dropped."""
    for line in lines:
        line = line.split("#", 1)[0].strip()
        if line:
            yield [field.strip() for field in line.split(";")]


def code_range(text):
    if ".." in text:
        first, last = text.split("..")
        return range(int(first, 16), int(last, 16) + 1)
    return range(int(text, 16), int(text, 16) + 1)


def binary_property(lines, wanted):
    """Code points that have property `wanted` in a PropList-style file."""
    members = set()
    for fields in data_rows(lines):
        if fields[1] == wanted:
            members.update(code_range(fields[0]))
    if not members:
        fail(f"property {wanted} not found")
    return members


def parse_unicode_data(lines):
    """General category and simple lowercase mapping per code point."""
    category = {}
    lower = {}
    range_start = None
    for fields in data_rows(lines):
        cp = int(fields[0], 16)
        name, gc, simple_lower = fields[1], fields[2], fields[13]
        if name.endswith(", First>"):
            range_start = cp
            continue
        if name.endswith(", Last>"):
            for member in range(range_start, cp + 1):
                category[member] = gc
            range_start = None
            continue
        category[cp] = gc
        if simple_lower:
            lower[cp] = (int(simple_lower, 16),)
    return category, lower


def unconditional_lowercase(lines):
    """SpecialCasing rows without a condition: their full lowercase mapping."""
    mappings = {}
    for fields in data_rows(lines):
        # code; lower; title; upper; [condition list;]
        conditions = fields[4] if len(fields) > 4 else ""
        if conditions:
            continue  # Final_Sigma is applied in code; language rules are not used
        mappings[int(fields[0], 16)] = tuple(int(c, 16) for c in fields[1].split())
    return mappings


def load(ucd_dir):
    texts = {name: read_lines(ucd_dir, name) for name in UCD_FILES}
    versions = {file_version(texts[name], name) for name in UCD_FILES if name != "UnicodeData.txt"}
    if len(versions) != 1:
        fail(f"UCD files disagree on the version: {sorted(versions)}")
    version = versions.pop()

    category, lower = parse_unicode_data(texts["UnicodeData.txt"])
    lower.update(unconditional_lowercase(texts["SpecialCasing.txt"]))
    white = binary_property(texts["PropList.txt"], "White_Space")
    core = texts["DerivedCoreProperties.txt"]
    alphabetic = binary_property(core, "Alphabetic")
    cased = binary_property(core, "Cased")
    ignorable = binary_property(core, "Case_Ignorable")

    flags = [0] * (MAX_CP + 1)
    for cp in range(MAX_CP + 1):
        gc = category.get(cp)
        f = 0
        if cp in white:
            f |= WHITE_SPACE
        if cp in alphabetic:
            f |= ALPHABETIC
        if gc in NUMERIC_CATEGORIES:
            f |= NUMERIC
        if cp in cased:
            f |= CASED
        if cp in ignorable:
            f |= CASE_IGNORABLE
        if gc is not None:
            f |= ASSIGNED
        flags[cp] = f
    lowercase = [lower.get(cp, (cp,)) for cp in range(MAX_CP + 1)]
    return version, flags, lowercase


def build_records(flags, lowercase):
    """De-duplicated (flags, lower) records and each code point's record index.

    A single-character mapping is stored as the delta to the code point, which
    makes whole alphabets share a handful of records; a longer one as the
    offset of its length-prefixed entry in the multi-character table.
    """
    multi = []
    multi_offset = {}
    records = []
    record_index = {}
    per_cp = [0] * (MAX_CP + 1)
    for cp in range(MAX_CP + 1):
        mapping = lowercase[cp]
        if len(mapping) == 1:
            record = (flags[cp], mapping[0] - cp)
        else:
            if mapping not in multi_offset:
                multi_offset[mapping] = len(multi)
                multi.extend((len(mapping),) + mapping)
            record = (flags[cp] | MULTI_LOWER, multi_offset[mapping])
        if record not in record_index:
            record_index[record] = len(records)
            records.append(record)
        per_cp[cp] = record_index[record]
    return records, per_cp, multi


def item_size(values):
    top = max(values)
    return 1 if top < 1 << 8 else 2 if top < 1 << 16 else 4


def split_bins(values):
    """The two-level split of `values` with the fewest bytes: (shift, index1, index2)."""
    best = None
    for shift in range(1, 17):
        size = 1 << shift
        blocks = {}
        index1 = []
        index2 = []
        for start in range(0, len(values), size):
            block = tuple(values[start : start + size])
            if block not in blocks:
                blocks[block] = len(blocks)
                index2.extend(block)
            index1.append(blocks[block])
        total = len(index1) * item_size(index1) + len(index2) * item_size(index2)
        if best is None or total < best[0]:
            best = (total, shift, index1, index2)
    _, shift, index1, index2 = best
    mask = (1 << shift) - 1
    for cp, value in enumerate(values):
        if index2[(index1[cp >> shift] << shift) + (cp & mask)] != value:
            fail(f"split check failed at U+{cp:04X}")
    return shift, index1, index2


def verify(records, shift, index1, index2, multi, flags, lowercase):
    """Decodes every code point through the tables exactly as the C++ lookup does."""
    mask = (1 << shift) - 1
    for cp in range(MAX_CP + 1):
        f, lower = records[index2[(index1[cp >> shift] << shift) + (cp & mask)]]
        if f & MULTI_LOWER:
            mapping = tuple(multi[lower + 1 : lower + 1 + multi[lower]])
        else:
            mapping = (cp + lower,)
        if f & ~MULTI_LOWER != flags[cp] or mapping != lowercase[cp]:
            fail(f"table check failed at U+{cp:04X}")


def dump_digest(flags, lowercase):
    """SHA-256 of the dump: per code point its flags byte, mapping length and
    each mapped code point as three little-endian bytes."""
    digest = hashlib.sha256()
    out = bytearray()
    for cp in range(MAX_CP + 1):
        mapping = lowercase[cp]
        out.append(flags[cp] & PUBLIC_FLAGS)
        out.append(len(mapping))
        for c in mapping:
            out += c.to_bytes(3, "little")
        if len(out) > 1 << 16:
            digest.update(out)
            out.clear()
    digest.update(out)
    return digest.hexdigest()


def c_type(values, signed=False):
    if signed:
        return "int32_t"
    return {1: "uint8_t", 2: "uint16_t", 4: "uint32_t"}[item_size(values)]


def c_array(name, ctype, values, width=100):
    lines = [f"constexpr {ctype} {name}[{len(values)}] = {{"]
    line = "   "
    for value in values:
        item = f" {value},"
        if len(line) + len(item) > width:
            lines.append(line)
            line = "   "
        line += item
    lines.append(line)
    lines.append("};")
    return "\n".join(lines)


def render(version, records, shift, index1, index2, multi, longest):
    flag_values = [f for f, _ in records]
    lower_values = [lower for _, lower in records]
    parts = [
        f"// generated by tools/gen_unicode_tables.py from UCD {version} — do not edit",
        "// regenerate: python3 tools/gen_unicode_tables.py /usr/share/unicode"
        " src/text/unicode_tables.inc",
        "// Two-level property and lowercase tables, included by unicode_props.cpp only.",
        "",
        f'constexpr char kUcdVersion[] = "{version}";',
        f"constexpr unsigned kShift = {shift};",
        f"constexpr uint32_t kMask = {(1 << shift) - 1};",
        f"constexpr unsigned kLongestLowercase = {longest};",
        "",
        "// Record i: property bits kRecordFlags[i]; lowercase delta (or, with the",
        "// multi-character bit, offset into kMultiLower) kRecordLower[i].",
        c_array("kRecordFlags", "uint8_t", flag_values),
        "",
        c_array("kRecordLower", "int32_t", lower_values),
        "",
        "// Length-prefixed lowercase sequences of more than one character.",
        c_array("kMultiLower", "char32_t", multi),
        "",
        c_array("kIndex1", c_type(index1), index1),
        "",
        c_array("kIndex2", c_type(index2), index2),
        "",
    ]
    return "\n".join(parts)


def main(argv):
    ucd_dir = argv[1] if len(argv) > 1 else "/usr/share/unicode"
    output = argv[2] if len(argv) > 2 else DEFAULT_OUTPUT
    version, flags, lowercase = load(ucd_dir)
    records, per_cp, multi = build_records(flags, lowercase)
    if len(records) > 0xFFFF:
        fail("too many distinct records")
    shift, index1, index2 = split_bins(per_cp)
    verify(records, shift, index1, index2, multi, flags, lowercase)
    longest = max(len(mapping) for mapping in lowercase)
    text = render(version, records, shift, index1, index2, multi, longest)
    with open(output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    table_bytes = len(index1) * item_size(index1) + len(index2) * item_size(index2)
    print(f"UCD {version}: {len(records)} records, shift {shift}, "
          f"{len(index1)} + {len(index2)} index entries ({table_bytes} bytes)")
    print(f"dump sha256 {dump_digest(flags, lowercase)}")


if __name__ == "__main__":
    main(sys.argv)
