#!/usr/bin/env python3
"""Generates the Unicode tables of korvane's core from the Unicode Character Database.

Usage: python3 tools/gen_unicode_tables.py [UCD_DIR]   (default /usr/share/unicode)

Reads UnicodeData.txt, DerivedCoreProperties.txt, PropList.txt, SpecialCasing.txt,
CompositionExclusions.txt and DerivedNormalizationProps.txt, and writes
src/core/unicode/tables_generated.h and src/core/unicode/tables_generated.cc.

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

import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT_DIR = os.path.join(REPO, "src", "core", "unicode")
MAX_CP = 0x110000

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

S_BASE, L_BASE, V_BASE, T_BASE = 0xAC00, 0x1100, 0x1161, 0x11A7
L_COUNT, V_COUNT, T_COUNT = 19, 21, 28
S_COUNT = L_COUNT * V_COUNT * T_COUNT


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


def file_version(path):
    with open(path, encoding="utf-8") as f:
        match = re.match(r"# \S+-(\d+\.\d+\.\d+)\.txt", f.readline())
    return match.group(1) if match else None


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


def main(argv):
    ucd = argv[1] if len(argv) > 1 else "/usr/share/unicode"

    def path(name):
        return os.path.join(ucd, name)

    versions = {name: file_version(path(name)) for name in
                ("DerivedCoreProperties.txt", "PropList.txt", "SpecialCasing.txt",
                 "CompositionExclusions.txt", "DerivedNormalizationProps.txt")}
    if len(set(versions.values())) != 1 or None in versions.values():
        sys.exit(f"UCD files of different or unknown versions: {versions}")
    version = versions["DerivedCoreProperties.txt"]

    category, ccc, decomposition, lower = read_unicode_data(path("UnicodeData.txt"))
    core = read_properties(path("DerivedCoreProperties.txt"), ("Alphabetic", "Cased", "Case_Ignorable"))
    white_space = read_properties(path("PropList.txt"), ("White_Space",))["White_Space"]
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
    special_lower = read_special_lower(path("SpecialCasing.txt"))

    # Full composition exclusion = listed exclusions + singletons + non-starter decompositions.
    derived = set(exclusions)
    for c, d in decomposition.items():
        if len(d) == 1 or ccc.get(c, 0) or ccc.get(d[0], 0):
            derived.add(c)
    if derived != full_exclusion:
        sys.exit("Full_Composition_Exclusion does not match CompositionExclusions.txt and UnicodeData.txt")

    compositions = {}
    for c, d in decomposition.items():
        if c not in full_exclusion:
            assert len(d) == 2
            compositions[(d[0] << 21) | d[1]] = c

    full = {c: full_decomposition(c, decomposition) for c in decomposition}
    for c in range(MAX_CP):
        # A scalar with class 0 and NFC_Quick_Check = Yes is where the NFC
        # code may cut text: nothing before it reorders or composes with it.
        if not ccc.get(c, 0) and c not in norm["N"] and c not in norm["M"] and c in full:
            assert not ccc.get(full[c][0], 0), hex(c)
    for key in compositions:
        assert (key & 0x1FFFFF) in norm["M"], hex(key & 0x1FFFFF)
    assert all(c in norm["N"] for c in full_exclusion if c in decomposition)

    # to_lower sizes its output for this bound.
    for c in range(MAX_CP):
        if 0xD800 <= c <= 0xDFFF:
            continue
        mapped = special_lower.get(c) or [lower.get(c, c)]
        if 2 * sum(len(chr(m).encode()) for m in mapped) > 3 * len(chr(c).encode()):
            sys.exit(f"the lower-case form of U+{c:04X} is more than 1.5 times as long as the character")

    # Character records.
    records, record_index, values = [], {}, [0] * MAX_CP
    default = (0, 0, 0)
    records.append(default)
    record_index[default] = 0
    limit = 0
    for c in range(MAX_CP):
        flags = 0
        if c in norm["N"]:
            flags |= BIT["kNfcNo"]
        if c in norm["M"]:
            flags |= BIT["kNfcMaybe"]
        if c in white_space:
            flags |= BIT["kWhiteSpace"]
        if c in core["Alphabetic"]:
            flags |= BIT["kAlphabetic"]
        if c in core["Alphabetic"] or category.get(c) in ("Nd", "Nl", "No"):
            flags |= BIT["kAlphanumeric"]
        if c in core["Cased"]:
            flags |= BIT["kCased"]
        if c in core["Case_Ignorable"]:
            flags |= BIT["kCaseIgnorable"]
        if c in decomposition:
            flags |= BIT["kHasDecomposition"]
        delta = 0
        if c in special_lower:
            flags |= BIT["kSpecialLower"]
        elif c in lower:
            delta = lower[c] - c
        record = (delta, flags, ccc.get(c, 0))
        if record not in record_index:
            record_index[record] = len(records)
            records.append(record)
        values[c] = record_index[record]
        if values[c]:
            limit = c + 1
    block = 1 << 10
    limit = (limit + block - 1) // block * block
    values = values[:limit]
    index_type, index_bytes = c_type(values)
    shift, stage1, stage2, _ = split_bins(values, index_bytes)
    stage1_type, stage1_bytes = c_type(stage1)

    decomp_keys = sorted(full)
    decomp_pool, decomp_slots = [], []
    for c in decomp_keys:
        d = full[c]
        assert 1 <= len(d) <= 7
        decomp_slots.append((len(decomp_pool) << 3) | len(d))
        decomp_pool.extend(d)
    slot_type, slot_bytes = c_type(decomp_slots)
    composition_keys = sorted(compositions)

    sizes = {
        "records": len(records) * 8,
        "stage1": len(stage1) * stage1_bytes,
        "stage2": len(stage2) * index_bytes,
        "decomposition keys": len(decomp_keys) * 4,
        "decomposition slots": len(decomp_slots) * slot_bytes,
        "decomposition pool": len(decomp_pool) * 4,
        "composition keys": len(composition_keys) * 8,
        "composition values": len(composition_keys) * 4,
        "special lower": len(special_lower) * 16,
    }
    total = sum(sizes.values())

    header_note = (f"// Generated by tools/gen_unicode_tables.py from the Unicode Character Database {version}.\n"
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

inline constexpr char kUnicodeVersion[] = "{version}";

// One record per distinct (simple lower-case delta, flags, combining class).
struct CharInfo {{
  int32_t lower_delta;  // simple lower-case mapping minus the code point
  uint16_t flags;       // the k... bits below
  uint8_t ccc;          // canonical combining class
}};

{flag_lines}

inline constexpr char32_t kCharInfoLimit = 0x{limit:X};  // record 0 from here on
inline constexpr unsigned kCharInfoShift = {shift};
extern const CharInfo kCharInfo[{len(records)}];
extern const {stage1_type} kCharStage1[{len(stage1)}];
extern const {index_type} kCharStage2[{len(stage2)}];

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
extern const SpecialLowerMapping kSpecialLowerMappings[{len(special_lower)}];

inline constexpr size_t kTotalBytes = {total};

}}  // namespace korvane::unicode::tables
"""

    special_rows = "\n".join(
        "    {0x%04X, {%s}}," % (c, ", ".join("0x%04X" % x for x in (m + [0, 0, 0])[:3]))
        for c, m in sorted(special_lower.items()))
    record_rows = "\n".join(f"    {{{d}, 0x{f:03x}, {k}}}," for d, f, k in records)
    source = f"""{header_note}
#include "core/unicode/tables.h"

namespace korvane::unicode::tables {{

const CharInfo kCharInfo[{len(records)}] = {{
{record_rows}
}};

const {stage1_type} kCharStage1[{len(stage1)}] = {{
{format_array(stage1, 24)}
}};

const {index_type} kCharStage2[{len(stage2)}] = {{
{format_array(stage2, 32)}
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
{format_array([compositions[k] for k in composition_keys], 10, "0x{:04X}")}
}};

const SpecialLowerMapping kSpecialLowerMappings[{len(special_lower)}] = {{
{special_rows}
}};

}}  // namespace korvane::unicode::tables
"""
    for name, text in (("tables_generated.h", header), ("tables_generated.cc", source)):
        with open(os.path.join(OUT_DIR, name), "w", encoding="utf-8") as f:
            f.write(text)
    print(f"UCD {version}: {len(records)} records, shift {shift}, limit U+{limit:X}, "
          f"{len(decomp_keys)} decompositions, {len(composition_keys)} compositions; {total} bytes")
    for name, size in sizes.items():
        print(f"  {name}: {size}")


if __name__ == "__main__":
    main(sys.argv)
