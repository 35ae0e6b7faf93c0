#!/usr/bin/env python3
"""Generates the Unicode tables of korvane's core from the Unicode Character Database.

Usage: python3 tools/gen_unicode_tables.py [--check] [UCD_DIR]   (default /usr/share/unicode)

Reads the UCD files of UCD_FILES, each checked against its pinned SHA-256, and
writes src/core/unicode/tables_generated.h and src/core/unicode/tables_generated.cc.
With --check it writes them into a temporary directory instead and compares
them byte for byte with the committed ones (the test that the tables are
reproducible). Moving to another Unicode version means new pins: UCD_VERSION
and the digests of its files.

The work is three steps: read() parses the files, derive() checks what the
core relies on and builds the tables, emit() formats them as C++.

Layout of the generated data (see src/core/unicode/tables.h for the reader):
  - one record per distinct combination of (simple lower-case delta, flags,
    canonical combining class), found through a two-level index: stage 1 maps
    the high bits of a code point to a block, stage 2 maps the low bits within
    that block to a record number. Identical blocks are stored once. Code points
    from kCharInfoLimit on all share record 0 (the record of unassigned ones).
  - full canonical decompositions (Hangul excluded, computed arithmetically)
    as a sorted key array plus a pool of scalars;
  - primary composites as a sorted array of (first << 21 | second) keys;
  - the unconditional multi-character lower-case mappings of SpecialCasing.
"""

import argparse
import dataclasses
import filecmp
import hashlib
import os
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT_DIR = os.path.join(REPO, "src", "core", "unicode")
OUT_FILES = ("tables_generated.h", "tables_generated.cc")
MAX_CP = 0x110000

# The Unicode version of the tables, and the SHA-256 of every file read.
UCD_VERSION = "15.0.0"
UCD_FILES = {
    "UnicodeData.txt": "806e9aed65037197f1ec85e12be6e8cd870fc5608b4de0fffd990f689f376a73",
    "DerivedCoreProperties.txt": "d367290bc0867e6b484c68370530bdd1a08b6b32404601b8c7accaf83e05628d",
    "PropList.txt": "e05c0a2811d113dae4abd832884199a3ea8d187ee1b872d8240a788a96540bfd",
    "SpecialCasing.txt": "78b29c64b5840d25c11a9f31b665ee551b8a499eca6c70d770fcad7dd710f494",
    "CompositionExclusions.txt": "3b019c0a33c3140cbc920c078f4f9af2680ba4f71869c8d4de5190667c70b6a3",
    "DerivedNormalizationProps.txt": "d5687a48c95c7d6e1ec59cb29c0f2e8b052018eb069a4371b7368d0561e12a29",
}

# Flag bits of a character record; tables.h declares the same values.
FLAGS = [
    ("kNfcNo", "NFC_Quick_Check = No"),
    ("kNfcMaybe", "NFC_Quick_Check = Maybe"),
    ("kWhiteSpace", "White_Space"),
    ("kAlphabetic", "Alphabetic"),
    ("kAlphanumeric", "Alphabetic, or general category Nd, Nl or No"),
    ("kCased", "Cased"),
    ("kCaseIgnorable", "Case_Ignorable"),
    ("kHasDecomposition", "has a canonical decomposition (Hangul syllables excluded)"),
    ("kSpecialLower", "lower-cases to more than one scalar (kSpecialLowerMappings)"),
]
BIT = {name: 1 << i for i, (name, _) in enumerate(FLAGS)}


def data_lines(path):
    """Yields the fields of every data line of a UCD file, comments removed."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def code_range(text):
    if ".." in text:
        lo, hi = text.split("..")
        return range(int(lo, 16), int(hi, 16) + 1)
    return range(int(text, 16), int(text, 16) + 1)


def read_properties(path, wanted):
    """Returns {property: set of code points} for the binary properties named in wanted."""
    found = {name: set() for name in wanted}
    for fields in data_lines(path):
        if len(fields) >= 2 and fields[1] in found:
            found[fields[1]].update(code_range(fields[0]))
    return found


def read_unicode_data(path):
    """Returns (general category, combining class, canonical decomposition, simple lower) maps."""
    category, ccc, decomposition, lower = {}, {}, {}, {}
    range_start = None
    for fields in data_lines(path):
        cp = int(fields[0], 16)
        name = fields[1]
        if name.endswith(", First>"):
            range_start = cp
            continue
        points = range(range_start, cp + 1) if name.endswith(", Last>") else (cp,)
        range_start = None
        for c in points:
            category[c] = fields[2]
            if int(fields[3]):
                ccc[c] = int(fields[3])
            if fields[5] and not fields[5].startswith("<"):
                decomposition[c] = [int(x, 16) for x in fields[5].split()]
            if fields[13]:
                lower[c] = int(fields[13], 16)
    return category, ccc, decomposition, lower


def read_special_lower(path):
    """Unconditional SpecialCasing lower-case mappings longer than one scalar."""
    special = {}
    for fields in data_lines(path):
        # code; lower; title; upper; [condition;]  (the trailing ';' leaves an empty field)
        conditions = [f for f in fields[4:] if f]
        if conditions:
            continue
        cp = int(fields[0], 16)
        mapping = [int(x, 16) for x in fields[1].split()]
        if len(mapping) > 1:
            special[cp] = mapping
    return special


def full_decomposition(c, decomposition):
    if c not in decomposition:
        return [c]
    out = []
    for d in decomposition[c]:
        out.extend(full_decomposition(d, decomposition))
    return out


def split_bins(values, index_bytes):
    """Finds the two-level split of values with the fewest bytes.

    Returns (shift, stage1, stage2, size); stage2 holds the deduplicated blocks
    of 1 << shift values, stage1 the block number of each block of values."""
    best = None
    for shift in range(4, 11):
        size = 1 << shift
        blocks, stage1, stage2 = {}, [], []
        for start in range(0, len(values), size):
            block = tuple(values[start:start + size])
            block += (0,) * (size - len(block))
            if block not in blocks:
                blocks[block] = len(blocks)
                stage2.extend(block)
            stage1.append(blocks[block])
        stage1_bytes = 1 if len(blocks) <= 256 else 2
        total = len(stage1) * stage1_bytes + len(stage2) * index_bytes
        if best is None or total < best[3]:
            best = (shift, stage1, stage2, total)
    return best


def c_type(values):
    top = max(values)
    if top < 1 << 8:
        return "uint8_t", 1
    if top < 1 << 16:
        return "uint16_t", 2
    return "uint32_t", 4


def format_array(values, per_line=16, fmt="{}"):
    items = [fmt.format(v) for v in values]
    return "\n".join("    " + ", ".join(items[i:i + per_line]) + "," for i in range(0, len(items), per_line))


@dataclasses.dataclass
class Ucd:
    """What the tables are made from, as read from the UCD files."""
    category: dict[int, str]
    ccc: dict[int, int]
    decomposition: dict[int, list[int]]  # canonical, one level
    lower: dict[int, int]  # simple lower-case mappings
    special_lower: dict[int, list[int]]
    alphabetic: set[int]
    cased: set[int]
    case_ignorable: set[int]
    white_space: set[int]
    nfc_no: set[int]
    nfc_maybe: set[int]
    full_exclusion: set[int]
    exclusions: set[int]


@dataclasses.dataclass
class Tables:
    """The generated data, ready to be written out."""
    records: list[tuple[int, int, int]]
    limit: int
    shift: int
    stage1: list[int]
    stage2: list[int]
    decompositions: dict[int, list[int]]  # full canonical decompositions
    compositions: dict[int, int]  # (first << 21 | second) -> primary composite
    special_lower: dict[int, list[int]]


def read(ucd_dir):
    """Checks every file against its pin and parses the UCD."""
    for name, expected in UCD_FILES.items():
        with open(os.path.join(ucd_dir, name), "rb") as f:
            found = hashlib.sha256(f.read()).hexdigest()
        if found != expected:
            sys.exit(f"{os.path.join(ucd_dir, name)} has SHA-256 {found}, not {expected}: "
                     f"it is not the file of Unicode {UCD_VERSION} the tables are made from")

    def path(name):
        return os.path.join(ucd_dir, name)

    category, ccc, decomposition, lower = read_unicode_data(path("UnicodeData.txt"))
    core = read_properties(path("DerivedCoreProperties.txt"), ("Alphabetic", "Cased", "Case_Ignorable"))
    norm = {"N": set(), "M": set()}
    full_exclusion = set()
    for fields in data_lines(path("DerivedNormalizationProps.txt")):
        if fields[1] == "NFC_QC":
            norm[fields[2]].update(code_range(fields[0]))
        elif fields[1] == "Full_Composition_Exclusion":
            full_exclusion.update(code_range(fields[0]))
    exclusions = set()
    for fields in data_lines(path("CompositionExclusions.txt")):
        exclusions.update(code_range(fields[0]))
    return Ucd(category=category, ccc=ccc, decomposition=decomposition, lower=lower,
               special_lower=read_special_lower(path("SpecialCasing.txt")),
               alphabetic=core["Alphabetic"], cased=core["Cased"], case_ignorable=core["Case_Ignorable"],
               white_space=read_properties(path("PropList.txt"), ("White_Space",))["White_Space"],
               nfc_no=norm["N"], nfc_maybe=norm["M"], full_exclusion=full_exclusion, exclusions=exclusions)


def check(ucd):
    """Fails unless the UCD has the properties the core's code relies on."""
    # Full composition exclusion = listed exclusions + singletons + non-starter decompositions.
    derived = set(ucd.exclusions)
    for c, d in ucd.decomposition.items():
        if len(d) == 1 or ucd.ccc.get(c, 0) or ucd.ccc.get(d[0], 0):
            derived.add(c)
    if derived != ucd.full_exclusion:
        sys.exit("Full_Composition_Exclusion does not match CompositionExclusions.txt and UnicodeData.txt")
    for c, d in ucd.decomposition.items():
        assert c in ucd.full_exclusion or len(d) == 2, hex(c)

    full = {c: full_decomposition(c, ucd.decomposition) for c in ucd.decomposition}
    for c in range(MAX_CP):
        # A scalar with class 0 and NFC_Quick_Check = Yes is where the NFC
        # code may cut text: nothing before it reorders or composes with it.
        if not ucd.ccc.get(c, 0) and c not in ucd.nfc_no and c not in ucd.nfc_maybe and c in full:
            assert not ucd.ccc.get(full[c][0], 0), hex(c)
    for c, d in ucd.decomposition.items():
        if c not in ucd.full_exclusion:
            assert d[1] in ucd.nfc_maybe, hex(d[1])
    assert all(c in ucd.nfc_no for c in ucd.full_exclusion if c in ucd.decomposition)

    # to_lower sizes its output for this bound.
    for c in range(MAX_CP):
        if 0xD800 <= c <= 0xDFFF:
            continue
        mapped = ucd.special_lower.get(c) or [ucd.lower.get(c, c)]
        if 2 * sum(len(chr(m).encode()) for m in mapped) > 3 * len(chr(c).encode()):
            sys.exit(f"the lower-case form of U+{c:04X} is more than 1.5 times as long as the character")


def derive(ucd):
    """Checks the UCD (see check()) and builds the tables from it."""
    check(ucd)
    records, record_index, values = [(0, 0, 0)], {(0, 0, 0): 0}, [0] * MAX_CP
    limit = 0
    for c in range(MAX_CP):
        flags = 0
        for bit, holds in (("kNfcNo", c in ucd.nfc_no), ("kNfcMaybe", c in ucd.nfc_maybe),
                           ("kWhiteSpace", c in ucd.white_space), ("kAlphabetic", c in ucd.alphabetic),
                           ("kAlphanumeric", c in ucd.alphabetic or ucd.category.get(c) in ("Nd", "Nl", "No")),
                           ("kCased", c in ucd.cased), ("kCaseIgnorable", c in ucd.case_ignorable),
                           ("kHasDecomposition", c in ucd.decomposition), ("kSpecialLower", c in ucd.special_lower)):
            if holds:
                flags |= BIT[bit]
        delta = ucd.lower[c] - c if c in ucd.lower and c not in ucd.special_lower else 0
        record = (delta, flags, ucd.ccc.get(c, 0))
        if record not in record_index:
            record_index[record] = len(records)
            records.append(record)
        values[c] = record_index[record]
        if values[c]:
            limit = c + 1
    block = 1 << 10
    limit = (limit + block - 1) // block * block
    values = values[:limit]
    shift, stage1, stage2, _ = split_bins(values, c_type(values)[1])
    compositions = {(d[0] << 21) | d[1]: c for c, d in ucd.decomposition.items() if c not in ucd.full_exclusion}
    return Tables(records=records, limit=limit, shift=shift, stage1=stage1, stage2=stage2,
                  decompositions={c: full_decomposition(c, ucd.decomposition) for c in ucd.decomposition},
                  compositions=compositions, special_lower=ucd.special_lower)


def emit(t):
    """The generated files: {file name: text}, and the sizes of the arrays in bytes."""
    index_type, index_bytes = c_type(t.stage2)
    stage1_type, stage1_bytes = c_type(t.stage1)
    decomp_keys = sorted(t.decompositions)
    decomp_pool, decomp_slots = [], []
    for c in decomp_keys:
        d = t.decompositions[c]
        assert 1 <= len(d) <= 7
        decomp_slots.append((len(decomp_pool) << 3) | len(d))
        decomp_pool.extend(d)
    slot_type, slot_bytes = c_type(decomp_slots)
    composition_keys = sorted(t.compositions)

    sizes = {
        "records": len(t.records) * 8,
        "stage1": len(t.stage1) * stage1_bytes,
        "stage2": len(t.stage2) * index_bytes,
        "decomposition keys": len(decomp_keys) * 4,
        "decomposition slots": len(decomp_slots) * slot_bytes,
        "decomposition pool": len(decomp_pool) * 4,
        "composition keys": len(composition_keys) * 8,
        "composition values": len(composition_keys) * 4,
        "special lower": len(t.special_lower) * 16,
    }
    total = sum(sizes.values())

    header_note = (f"// Generated by tools/gen_unicode_tables.py from the Unicode Character Database {UCD_VERSION}.\n"
                   f"// Do not edit; regenerate with: python3 tools/gen_unicode_tables.py [UCD_DIR]\n")

    flag_lines = "\n".join(f"inline constexpr uint16_t {name + ' =':19} 0x{BIT[name]:03x};  // {doc}"
                           for name, doc in FLAGS)
    header = f"""{header_note}//
// Constants and declarations of the generated tables; core/unicode/tables.h
// is the only reader. {total} bytes of data in all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::unicode::tables {{

inline constexpr char kUnicodeVersion[] = "{UCD_VERSION}";

// One record per distinct (simple lower-case delta, flags, combining class).
struct CharInfo {{
  int32_t lower_delta;  // simple lower-case mapping minus the code point
  uint16_t flags;       // the k... bits below
  uint8_t ccc;          // canonical combining class
}};

{flag_lines}

inline constexpr char32_t kCharInfoLimit = 0x{t.limit:X};  // record 0 from here on
inline constexpr unsigned kCharInfoShift = {t.shift};
extern const CharInfo kCharInfo[{len(t.records)}];
extern const {stage1_type} kCharStage1[{len(t.stage1)}];
extern const {index_type} kCharStage2[{len(t.stage2)}];

// Full canonical decompositions: kDecompositionKeys is sorted; slot i is
// (offset into kDecompositionPool) << 3 | length.
inline constexpr size_t kDecompositionCount = {len(decomp_keys)};
extern const char32_t kDecompositionKeys[{len(decomp_keys)}];
extern const {slot_type} kDecompositionSlots[{len(decomp_slots)}];
extern const char32_t kDecompositionPool[{len(decomp_pool)}];

// Primary composites: keys (first << 21 | second), sorted; values aligned.
inline constexpr size_t kCompositionCount = {len(composition_keys)};
extern const uint64_t kCompositionKeys[{len(composition_keys)}];
extern const char32_t kCompositionValues[{len(composition_keys)}];

// Unconditional lower-case mappings longer than one scalar.
struct SpecialLowerMapping {{
  char32_t code;
  char32_t mapping[3];  // unused places hold 0
}};
extern const SpecialLowerMapping kSpecialLowerMappings[{len(t.special_lower)}];

inline constexpr size_t kTotalBytes = {total};

}}  // namespace korvane::unicode::tables
"""

    special_rows = "\n".join(
        "    {0x%04X, {%s}}," % (c, ", ".join("0x%04X" % x for x in (m + [0, 0, 0])[:3]))
        for c, m in sorted(t.special_lower.items()))
    record_rows = "\n".join(f"    {{{d}, 0x{f:03x}, {k}}}," for d, f, k in t.records)
    source = f"""{header_note}
#include "core/unicode/tables.h"

namespace korvane::unicode::tables {{

const CharInfo kCharInfo[{len(t.records)}] = {{
{record_rows}
}};

const {stage1_type} kCharStage1[{len(t.stage1)}] = {{
{format_array(t.stage1, 24)}
}};

const {index_type} kCharStage2[{len(t.stage2)}] = {{
{format_array(t.stage2, 32)}
}};

const char32_t kDecompositionKeys[{len(decomp_keys)}] = {{
{format_array(decomp_keys, 10, "0x{:04X}")}
}};

const {slot_type} kDecompositionSlots[{len(decomp_slots)}] = {{
{format_array(decomp_slots, 16)}
}};

const char32_t kDecompositionPool[{len(decomp_pool)}] = {{
{format_array(decomp_pool, 10, "0x{:04X}")}
}};

const uint64_t kCompositionKeys[{len(composition_keys)}] = {{
{format_array(composition_keys, 6, "0x{:X}u")}
}};

const char32_t kCompositionValues[{len(composition_keys)}] = {{
{format_array([t.compositions[k] for k in composition_keys], 10, "0x{:04X}")}
}};

const SpecialLowerMapping kSpecialLowerMappings[{len(t.special_lower)}] = {{
{special_rows}
}};

}}  // namespace korvane::unicode::tables
"""
    return {"tables_generated.h": header, "tables_generated.cc": source}, sizes


def write(files, out_dir):
    for name, text in files.items():
        with open(os.path.join(out_dir, name), "w", encoding="utf-8") as f:
            f.write(text)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("ucd_dir", nargs="?", default="/usr/share/unicode")
    parser.add_argument("--check", action="store_true",
                        help="compare freshly generated tables with the committed ones instead of writing them")
    args = parser.parse_args(argv[1:])
    tables = derive(read(args.ucd_dir))
    files, sizes = emit(tables)
    if args.check:
        with tempfile.TemporaryDirectory() as tmp:
            write(files, tmp)
            differing = [name for name in OUT_FILES
                         if not filecmp.cmp(os.path.join(tmp, name), os.path.join(OUT_DIR, name), shallow=False)]
        if differing:
            sys.exit(f"regenerated {', '.join(differing)} differ from the committed files in {OUT_DIR}")
        print(f"{', '.join(OUT_FILES)}: identical to the tables generated from UCD {UCD_VERSION}")
        return
    write(files, OUT_DIR)
    print(f"UCD {UCD_VERSION}: {len(tables.records)} records, shift {tables.shift}, limit U+{tables.limit:X}, "
          f"{len(tables.decompositions)} decompositions, {len(tables.compositions)} compositions; "
          f"{sum(sizes.values())} bytes")
    for name, size in sizes.items():
        print(f"  {name}: {size}")


if __name__ == "__main__":
    main(sys.argv)
