"""Checks the semantic axis's tokenizer against an independent one in Python.

usage: tokenize_vs_unicodedata.py PROBE UCD_DIR

PROBE is the tokenize_probe program; UCD_DIR holds the Unicode Character
Database files the core's tables were generated from. The reference
tokenizer is built on Python's unicodedata (NFC, general categories) and
str.lower() per character, with the Other_Alphabetic, Other_Uppercase and
Other_Lowercase lists of PropList.txt, which Python does not expose, to
complete the Alphabetic property. Only characters assigned both in Python's
Unicode version and in UCD_DIR's take part, so that version differences are
not reported as faults.

Every assigned character is first checked on its own (in a fixed context),
then hypothesis looks for differences on random texts.
"""

import subprocess
import sys
import unicodedata
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

ALPHANUMERIC_CATEGORIES = {"Lu", "Ll", "Lt", "Lm", "Lo", "Nl", "Nd", "No"}


def read_ranges(path, wanted):
    """Code points whose property (second field) is in wanted."""
    points = set()
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        span, prop = (field.strip() for field in line.split(";")[:2])
        if prop not in wanted:
            continue
        first, _, last = span.partition("..")
        points.update(range(int(first, 16), int(last or first, 16) + 1))
    return points


def read_assigned(path):
    """Code points listed in UnicodeData.txt, ranges included."""
    assigned = set()
    range_start = None
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        fields = line.split(";")
        code, name = int(fields[0], 16), fields[1]
        if name.endswith(", First>"):
            range_start = code
        elif name.endswith(", Last>"):
            assigned.update(range(range_start, code + 1))
        else:
            assigned.add(code)
    return assigned


class Reference:
    def __init__(self, ucd_dir):
        self.other = read_ranges(
            Path(ucd_dir) / "PropList.txt", {"Other_Alphabetic", "Other_Uppercase", "Other_Lowercase"}
        )

    def is_alphanumeric(self, ch):
        return unicodedata.category(ch) in ALPHANUMERIC_CATEGORIES or ord(ch) in self.other

    def tokenize(self, text):
        # str.lower() of a single character has no context, so a capital
        # sigma becomes the ordinary small sigma.
        lowered = "".join(ch.lower() for ch in unicodedata.normalize("NFC", text))
        tokens, current = [], []
        for ch in lowered:
            if self.is_alphanumeric(ch):
                current.append(ch)
            elif current:
                tokens.append("".join(current))
                current = []
        if current:
            tokens.append("".join(current))
        return tokens


def decode_tokens(line):
    return [bytes.fromhex(token).decode("utf-8") for token in line.split()]


def encode_line(text):
    return text.encode("utf-8").hex() + "\n"


def tokenize_batch(probe_path, texts):
    """Tokens of many texts from one run of the probe."""
    result = subprocess.run(
        [probe_path], input="".join(map(encode_line, texts)), capture_output=True, text=True, check=True
    )
    return [decode_tokens(line) for line in result.stdout.split("\n")[: len(texts)]]


class Probe:
    """One probe process answering one text at a time."""

    def __init__(self, probe_path):
        self.process = subprocess.Popen([probe_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def tokenize(self, text):
        self.process.stdin.write(encode_line(text))
        self.process.stdin.flush()
        return decode_tokens(self.process.stdout.readline())


def main():
    probe_path, ucd_dir = sys.argv[1], sys.argv[2]
    reference = Reference(ucd_dir)
    assigned_in_ucd = read_assigned(Path(ucd_dir) / "UnicodeData.txt")
    alphabet = [
        chr(c)
        for c in sorted(assigned_in_ucd)
        if unicodedata.category(chr(c)) not in ("Cn", "Cs")
    ]
    # Every character between ASCII letters, and again before a combining
    # mark (which NFC may compose with it).
    texts = [f"aB{ch}c X{ch}\u0301Y" for ch in alphabet]
    failures = [
        (text, got, want)
        for text, got in zip(texts, tokenize_batch(probe_path, texts))
        if got != (want := reference.tokenize(text))
    ]
    for text, got, want in failures[:20]:
        print(f"{text!r}: probe {got!r}, reference {want!r}")
    if failures:
        print(f"{len(failures)} of {len(texts)} texts tokenize differently")
        return 1

    marks = [ch for ch in alphabet if unicodedata.category(ch).startswith("M")]
    jamo = [chr(c) for c in range(0x1100, 0x1200)] + [chr(c) for c in range(0xAC00, 0xAC40)]
    special = list("\u0130\u0131\u03a3\u03c2\u00df\u1e9e\u212a\u2126\u01c5\u0345\u0149\u1f88\u24b6_'-")
    character = st.one_of(
        st.sampled_from(alphabet),
        st.sampled_from(marks),
        st.sampled_from(jamo),
        st.sampled_from(special),
        st.characters(min_codepoint=0x20, max_codepoint=0x7E),
    )

    probe = Probe(probe_path)

    @settings(max_examples=3000, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(st.lists(character, max_size=24).map("".join))
    def agrees(text):
        assert probe.tokenize(text) == reference.tokenize(text), repr(text)

    agrees()
    print(f"{len(texts)} fixed texts and 3000 random texts agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
