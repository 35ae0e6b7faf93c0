#!/usr/bin/env python3
"""Compares the Unicode layer with Python's unicodedata, through unicode_probe.

Usage: unicode_vs_unicodedata.py PROBE UCD_DIR   (UCD_DIR: the database of the tables)

NFC from unicodedata, lower-casing from str.lower, alphanumeric from the
categories; White_Space and Alphabetic from the UCD files, read here. Only
characters assigned in both Unicode versions take part, with code points
unassigned in both in the random strings. Checked: the edge cases below, every
character alone and between capital sigmas (Cased and Case_Ignorable through
Final_Sigma), then random strings of marks, composable pairs, Hangul, Greek.
"""

import os
import subprocess
import sys
import unicodedata

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

SIGMA = "\u03a3"
EDGES = [
    "The quick brown fox jumps over the lazy dog.",  # ASCII longer than a word
    "abcdefghe\u0301", "\u0323\u0301e\u0301", "x\u0315\u0316",  # quick-check boundaries, marks out of order
    "\uac00\u11a7",  # U+11A7 is the T base, not a trailing consonant
    "\u0315\u0316\u0317" * 40 + "\u00e9",  # a long run of marks sorts stably
    "\u039f\u0394\u039f\u03a3 x", "\u0391\u03a31", "\u0391\u0301.\u03a3", "\u02b0\u03a3", "\u03a3\u03a3",  # final sigma
    "\u0130\u023a" * 50,  # lower-casing grows the text by half throughout
    "\U000E0400\U0010FFFF\U000F0000\u0378\u4e00",  # unassigned, private use, no mapping
]


def ucd_points(path, wanted=None):
    """Code points listed in a UCD file (for one property, or all); ranges
    given as First/Last pairs in UnicodeData.txt included."""
    points, first = set(), None
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = [x.strip() for x in line.split("#", 1)[0].split(";")]
            if len(fields) < 2 or (wanted and fields[1] != wanted):
                continue
            lo, _, hi = fields[0].partition("..")
            if fields[1].endswith(", First>"):
                first = int(lo, 16)
            else:
                points.update(range(first if fields[1].endswith(", Last>") else int(lo, 16), int(hi or lo, 16) + 1))
    return points


def to_hex(text):
    return " ".join("%x" % ord(c) for c in text)


def from_hex(field):
    return "".join(chr(int(x, 16)) for x in field.split())


class Oracle:
    def __init__(self, ucd):
        self.white_space = ucd_points(os.path.join(ucd, "PropList.txt"), "White_Space")
        self.alphabetic = ucd_points(os.path.join(ucd, "DerivedCoreProperties.txt"), "Alphabetic")

    def expected(self, text):
        """What the probe answers: NFC, per-character lower, lower, flags."""
        flags = "".join(str(int(ord(c) in self.white_space) | int(ord(c) in self.alphabetic) << 1
                            | int(ord(c) in self.alphabetic or unicodedata.category(c) in ("Nd", "Nl", "No")) << 2)
                        for c in text)
        per_char = "".join("\u03c3" if c == SIGMA else c.lower() for c in text)
        return unicodedata.normalize("NFC", text), per_char, text.lower(), flags


def parse_answer(line):
    nfc, per_char, lower, flags = line.rstrip("\n").split(";")
    return from_hex(nfc), from_hex(per_char), from_hex(lower), flags


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    probe, ucd = argv[1], argv[2]  # the test unicode_tables_reproducible checks that ucd is the tables' own

    oracle = Oracle(ucd)
    assigned = ucd_points(os.path.join(ucd, "UnicodeData.txt"))
    pool = [chr(c) for c in sorted(assigned) if unicodedata.category(chr(c)) not in ("Cn", "Cs")]
    unassigned = [chr(c) for c in range(0x110000) if c not in assigned and unicodedata.category(chr(c)) == "Cn"]
    print(f"unicodedata: Unicode {unicodedata.unidata_version}; {len(pool)} characters assigned in both")

    # Alone, then between two capital sigmas: the first one is final when c is
    # case-ignorable or cased, the second one when c is neither.
    texts = EDGES + [t for c in pool for t in (c, "A" + c + SIGMA + " A" + SIGMA + c + "a")]
    answers = subprocess.run([probe], input="".join(to_hex(t) + "\n" for t in texts),
                             capture_output=True, text=True, check=True).stdout.splitlines()
    assert len(answers) == len(texts), f"the probe answered {len(answers)} of {len(texts)} lines"
    failures = [f"input {to_hex(t)}: got {parse_answer(a)}, want {oracle.expected(t)}"
                for t, a in zip(texts, answers) if parse_answer(a) != oracle.expected(t)]
    if failures:
        sys.exit("\n".join(failures[:20]) + f"\n{len(failures)} of {len(texts)} fixed checks failed")
    print(f"{len(texts)} fixed checks passed")

    marks = [c for c in pool if unicodedata.combining(c)]
    composing = [c for c in pool if unicodedata.decomposition(c) and not unicodedata.decomposition(c).startswith("<")]
    parts = sorted({p for c in composing for p in unicodedata.normalize("NFD", c)})
    seconds = sorted({p for c in composing for p in unicodedata.normalize("NFD", c)[1:]})
    hangul = [chr(c) for c in (*range(0x1100, 0x1113), *range(0x1161, 0x1176), *range(0x11A7, 0x11C3), 0xAC00, 0xAC01, 0xD7A3)]
    greek = [SIGMA, "\u0391", "\u03c3", "'", ".", "\u0301", "\u02b0", "\u0345", " ", "1", "\u0130", "\u00df"]
    character = st.one_of(*map(st.sampled_from, (pool, unassigned, marks, composing, parts, hangul, greek)),
                          st.characters(min_codepoint=0x20, max_codepoint=0x7E))
    # A base followed by marks that may compose with it, block or reorder.
    cluster = st.builds(lambda base, marks: base + "".join(marks), st.sampled_from(parts),
                        st.lists(st.one_of(st.sampled_from(seconds), st.sampled_from(marks)), max_size=4))
    process = subprocess.Popen([probe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

    @settings(max_examples=4000, deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(st.lists(st.one_of(character, cluster), max_size=30).map("".join))
    def agrees_on_random_strings(text):
        process.stdin.write(to_hex(text) + "\n")
        process.stdin.flush()
        got, want = parse_answer(process.stdout.readline()), oracle.expected(text)
        assert got == want, f"input {to_hex(text)}: got {got}, want {want}"

    try:
        agrees_on_random_strings()
    finally:
        process.stdin.close()
        process.wait()
    print("random strings agree")


if __name__ == "__main__":
    main(sys.argv)
