"""usage: tokenize_vs_unicodedata.py PROBE UCD_DIR

Checks the tokenizer (through the tokenize_probe program PROBE) against one
built on unicodedata, str.lower() per character and PropList.txt's Other_*
lists from UCD_DIR, on the characters both Unicode versions assign."""

import random
import subprocess
import sys
import unicodedata
from pathlib import Path

ALPHANUMERIC_CATEGORIES = {"Lu", "Ll", "Lt", "Lm", "Lo", "Nl", "Nd", "No"}


def ucd_lines(path):
    """The fields of each data line of a UCD file."""
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        if line.split("#", 1)[0].strip():
            yield [field.strip() for field in line.split("#", 1)[0].split(";")]


def reference_tokenize(text, other_alphabetic):
    # str.lower() of a single character has no context, so a capital sigma
    # becomes the ordinary small sigma.
    lowered = "".join(ch.lower() for ch in unicodedata.normalize("NFC", text))
    tokens, current = [], ""
    for ch in lowered + " ":
        if unicodedata.category(ch) in ALPHANUMERIC_CATEGORIES or ord(ch) in other_alphabetic:
            current += ch
        elif current:
            tokens, current = tokens + [current], ""
    return tokens


def main():
    probe, ucd = sys.argv[1], Path(sys.argv[2])
    other = set()
    for span, prop, *_ in ucd_lines(ucd / "PropList.txt"):
        if prop in ("Other_Alphabetic", "Other_Uppercase", "Other_Lowercase"):
            first, _, last = span.partition("..")
            other.update(range(int(first, 16), int(last or first, 16) + 1))
    assigned, first = set(), None
    for code, name, *_ in ucd_lines(ucd / "UnicodeData.txt"):
        if name.endswith(", First>"):
            first = int(code, 16)
        else:
            assigned.update(range(first if name.endswith(", Last>") else int(code, 16), int(code, 16) + 1))
    alphabet = [chr(c) for c in sorted(assigned) if unicodedata.category(chr(c)) not in ("Cn", "Cs")]
    pools = [alphabet, [ch for ch in alphabet if unicodedata.category(ch).startswith("M")],
             [chr(c) for c in [*range(0x1100, 0x1200), *range(0xAC00, 0xAC40)]],  # Jamo
             list("\u0130\u0131\u03a3\u03c2\u00df\u1e9e\u212a\u2126\u01c5\u0345\u0149\u1f88\u24b6_'- aZ09")]
    rng = random.Random(20240611)
    texts = [f"aB{ch}c X{ch}\u0301Y" for ch in alphabet]
    texts += ["".join(rng.choice(rng.choice(pools)) for _ in range(rng.randrange(25))) for _ in range(20000)]
    # Hexadecimal keeps line feeds and other separators inside the texts
    # from breaking the one-line-per-text protocol.
    result = subprocess.run([probe], input="".join(t.encode().hex() + "\n" for t in texts), capture_output=True,
                            text=True, check=True)
    got = [[bytes.fromhex(token).decode() for token in line.split()] for line in result.stdout.split("\n")]
    assert len(got) == len(texts) + 1, "the probe answered fewer texts than it was given"
    failures = [(t, g, w) for t, g in zip(texts, got) if g != (w := reference_tokenize(t, other))]
    for text, g, want in failures[:20]:
        print(f"{text!r}: probe {g!r}, reference {want!r}")
    print(f"{len(failures)} of {len(texts)} texts tokenize differently")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
