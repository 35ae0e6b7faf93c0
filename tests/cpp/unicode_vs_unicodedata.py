#!/usr/bin/env python3
"""Compares the Unicode layer with Python's unicodedata, through unicode_probe.

Usage: unicode_vs_unicodedata.py PROBE UCD_DIR

PROBE is the unicode_probe program; UCD_DIR holds the Unicode Character Database
the tables were generated from. Python's unicodedata may be of another Unicode
version, so only characters assigned in both versions take part, with code
points unassigned in both mixed into the random strings. NFC comes from
unicodedata.normalize, lower-casing from str.lower (full mappings,
Final_Sigma), general categories from unicodedata.category; Python has no
White_Space or Alphabetic property, so those are read here from PropList.txt
and DerivedCoreProperties.txt by code independent of the table generator.

Every character is checked alone and next to capital sigmas (which exercises
the Cased and Case_Ignorable tables through Final_Sigma); then hypothesis
checks random strings biased towards combining marks, composable pairs, Hangul
and Greek.
"""

import os
import re
import subprocess
import sys
import unicodedata

try:
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st
except ImportError:
    sys.exit(f"hypothesis is not installed for {sys.executable}; run: {sys.executable} -m pip install hypothesis")

SIGMA = "\u03a3"


def ucd_ranges(path, wanted_property=None):
    """Code points listed in a UCD property file (for one property, or all)."""
    points = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = [x.strip() for x in line.split("#", 1)[0].split(";")]
            if len(fields) < 2 or (wanted_property and fields[1] != wanted_property):
                continue
            lo, _, hi = fields[0].partition("..")
            points.update(range(int(lo, 16), int(hi or lo, 16) + 1))
    return points


def ucd_assigned(path):
    assigned, first = set(), None
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split(";")
            cp = int(fields[0], 16)
            if fields[1].endswith(", First>"):
                first = cp
            elif fields[1].endswith(", Last>"):
                assigned.update(range(first, cp + 1))
            else:
                assigned.add(cp)
    return assigned


def to_hex(text):
    return " ".join("%x" % ord(c) for c in text)


def from_hex(field):
    return "".join(chr(int(x, 16)) for x in field.split())


class Oracle:
    def __init__(self, ucd):
        self.white_space = ucd_ranges(os.path.join(ucd, "PropList.txt"), "White_Space")
        self.alphabetic = ucd_ranges(os.path.join(ucd, "DerivedCoreProperties.txt"), "Alphabetic")

    def flags(self, text):
        digits = []
        for c in text:
            alpha = ord(c) in self.alphabetic
            alnum = alpha or unicodedata.category(c) in ("Nd", "Nl", "No")
            digits.append(str(int(ord(c) in self.white_space) | int(alpha) << 1 | int(alnum) << 2))
        return "".join(digits)

    def expected(self, text):
        per_char = "".join("\u03c3" if c == SIGMA else c.lower() for c in text)
        return (unicodedata.normalize("NFC", text), per_char, text.lower(), self.flags(text))


def parse_answer(line):
    nfc, per_char, lower, flags = line.rstrip("\n").split(";")
    return from_hex(nfc), from_hex(per_char), from_hex(lower), flags


def describe(text, got, want):
    names = ("NFC", "per-character lower", "lower", "flags")
    wrong = [f"  {name}: got {to_hex(g) if name != 'flags' else g!r}, want {to_hex(w) if name != 'flags' else w!r}"
             for name, g, w in zip(names, got, want) if g != w]
    return f"input {to_hex(text)}:\n" + "\n".join(wrong)


def check_batch(probe, oracle, texts):
    answer = subprocess.run([probe], input="".join(to_hex(t) + "\n" for t in texts),
                            capture_output=True, text=True, check=True).stdout.splitlines()
    assert len(answer) == len(texts), "the probe answered %d of %d lines" % (len(answer), len(texts))
    failures = []
    for text, line in zip(texts, answer):
        got, want = parse_answer(line), oracle.expected(text)
        if got != want:
            failures.append(describe(text, got, want))
    return failures


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    probe, ucd = argv[1], argv[2]
    probe_version = subprocess.run([probe, "--version"], capture_output=True, text=True,
                                   check=True).stdout.strip()
    with open(os.path.join(ucd, "DerivedCoreProperties.txt"), encoding="utf-8") as f:
        ucd_version = re.match(r"# \S+-(\d+\.\d+\.\d+)\.txt", f.readline()).group(1)
    if probe_version != ucd_version:
        sys.exit(f"the tables are of Unicode {probe_version} but {ucd} holds {ucd_version}; "
                 "regenerate them with tools/gen_unicode_tables.py")

    oracle = Oracle(ucd)
    assigned = ucd_assigned(os.path.join(ucd, "UnicodeData.txt"))
    pool = [chr(c) for c in sorted(assigned) if unicodedata.category(chr(c)) not in ("Cn", "Cs")]
    unassigned = [chr(c) for c in range(0x110000) if c not in assigned and unicodedata.category(chr(c)) == "Cn"]
    print(f"tables: Unicode {probe_version}; unicodedata: Unicode {unicodedata.unidata_version}; "
          f"{len(pool)} characters assigned in both")

    # Alone, then between two capital sigmas: the first one is final when c is
    # case-ignorable or cased, the second one when c is neither.
    texts = []
    for c in pool:
        texts += [c, "A" + c + SIGMA + " A" + SIGMA + c + "a"]
    failures = check_batch(probe, oracle, texts)
    for failure in failures[:20]:
        print(failure)
    if failures:
        sys.exit(f"{len(failures)} of {len(texts)} single-character checks failed")
    print(f"{len(texts)} single-character checks passed")

    marks = [c for c in pool if unicodedata.combining(c)]
    composing = [c for c in pool if unicodedata.decomposition(c) and not unicodedata.decomposition(c).startswith("<")]
    parts = sorted({p for c in composing for p in unicodedata.normalize("NFD", c)})
    seconds = sorted({p for c in composing for p in unicodedata.normalize("NFD", c)[1:]})
    hangul = [chr(c) for c in (*range(0x1100, 0x1113), *range(0x1161, 0x1176), *range(0x11A7, 0x11C3), 0xAC00, 0xAC01, 0xD7A3)]
    greek = [SIGMA, "\u0391", "\u03c3", "'", ".", "\u0301", "\u02b0", "\u0345", " ", "1", "\u0130", "\u00df"]
    character = st.one_of(st.sampled_from(pool), st.sampled_from(unassigned), st.sampled_from(marks), st.sampled_from(composing),
                          st.sampled_from(parts), st.sampled_from(hangul), st.sampled_from(greek),
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
        assert got == want, describe(text, got, want)

    try:
        agrees_on_random_strings()
    finally:
        process.stdin.close()
        process.wait()
    print("random strings agree")


if __name__ == "__main__":
    main(sys.argv)
