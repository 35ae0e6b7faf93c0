"""canonical_bytes and content_id against an encoder written here (with
unicodedata, Decimal and hashlib), known answers, and their invariances."""

import hashlib
import math
import unicodedata
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvane import _core as core

NFC = lambda text: unicodedata.normalize("NFC", text)  # noqa: E731
ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def quote(text):
    return '"' + "".join(ESCAPES.get(c) or ("\\u%04x" % ord(c) if c < " " else c) for c in NFC(text)) + '"'


def positional(x):
    """Shortest round-trip digits, no exponent, no trailing '.0', zero as '0'."""
    text = format(Decimal(repr(x)), "f") if x else "0"
    return text.rstrip("0").rstrip(".") if "." in text else text


def reference(value):
    if value is None or isinstance(value, bool):
        return {None: "null", True: "true", False: "false"}[value]
    if isinstance(value, (int, float, str)):
        return str(value) if isinstance(value, int) else quote(value) if isinstance(value, str) else (
            positional(value) if math.isfinite(value) else "null")
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(map(reference, value)) + "]"
    members = sorted(value.items(), key=lambda kv: (NFC(kv[0]).encode(), kv[0].encode()))
    return "{" + ",".join(quote(k) + ":" + reference(v) for k, v in members) + "}"


# Texts mix arbitrary characters with those that matter here: combining marks
# and their precomposed forms, Hangul, controls, quotes, and characters whose
# UTF-8 order differs from their UTF-16 order. Objects of 18 to 30 members,
# where equivalent keys meet more often and the sort changes method; texts
# long enough to end a hashed piece anywhere.
SPECIAL = list("e\u0301\u00e9A\u030a\u00c5\u212b\u1100\u1161\u11a8\uac00\u0323\u0307\u1e0b\u0000\u0001\u001f\u007f"
               '"\\/\n\u2028\uff5e\U0001f600aBz\u0958\u2126')
texts = st.text(st.sampled_from(SPECIAL), max_size=8) | st.text(max_size=8)
scalars = st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False, allow_infinity=False) | texts
json_values = st.recursive(scalars, lambda c: st.lists(c, max_size=5) | st.dictionaries(texts, c, max_size=6), max_leaves=40)
wide = st.dictionaries(st.text(st.sampled_from(SPECIAL), max_size=3), scalars, min_size=18, max_size=30)
long_texts = st.text(max_size=400) | st.binary(max_size=3000).map(lambda b: b.decode("latin-1"))


def variant(value, form, rng):
    """value with every text in normalization form `form` and every dict's
    entries shuffled, but a dict whose keys would collide kept as it is."""
    if isinstance(value, (str, list)):
        return unicodedata.normalize(form, value) if isinstance(value, str) else [variant(v, form, rng) for v in value]
    if not isinstance(value, dict):
        return value
    out = {variant(k, form, rng): variant(v, form, rng) for k, v in rng.sample(list(value.items()), len(value))}
    return out if len(out) == len(value) else value


# Equal dicts in any member order, and texts in any normalization form, give
# one text and one id: the reference's, through the same value reordered and
# denormalized (keys equal once normalized included).
@settings(max_examples=500)
@given(json_values | wide | long_texts, st.randoms(use_true_random=False), st.sampled_from(["NFC", "NFD"]))
def test_canonical_bytes_and_ids_match_the_reference(value, rng, form):
    expected = reference(value).encode()
    for v in (value, variant(value, form, rng)):
        assert (core.canonical_bytes(v), core.content_id(v)) == (expected, "sha256:" + hashlib.sha256(expected).hexdigest())


E, E_ACUTE = "e\u0301", "\u00e9"


@pytest.mark.parametrize("payload, expected", [
    (2**64 - 1, "18446744073709551615"), (-(2**63), "-9223372036854775808"), ("\0\x01\x1f", '"\\u0000\\u0001\\u001f"'),
    ("caf" + E + "\n\x01", '"café\\n\\u0001"'), ([{}, []], "[{},[]]"), (["b", "a", 2, 1], '["b","a",2,1]'),
    ("\b\t\n\f\r\"\\/\u001f\u007f", '"\\b\\t\\n\\f\\r\\"\\\\/\\u001f\x7f"'), ({'a"\x01': None}, '{"a\\"\\u0001":null}'),
    # Keys by unsigned UTF-8 bytes: B, a, aa, z, é; above U+FFFF this is not
    # UTF-16 order. Keys equal once normalized are both written, by their own
    # bytes (e is 0x65, é 0xc3 0xa9), whatever their insertion order.
    ({"é": 5, "z": 4, "aa": 3, "a": 2, "B": 1}, '{"B":1,"a":2,"aa":3,"z":4,"é":5}'),
    ({"\U0001f600": 1, "\uff5e": 2}, '{"\uff5e":2,"\U0001f600":1}'), ({E: 1, E_ACUTE: 2}, '{"é":1,"é":2}'),
    ({E_ACUTE: 2, E: 1}, '{"é":1,"é":2}'), ({"z": [{"y": 1.0, "x": -0.0}, 3.5], "m": {"n": {"q": None, "p": []}}, "a": {}, "B": True},
                                           '{"B":true,"a":{},"m":{"n":{"p":[],"q":null}},"z":[{"x":0,"y":1},3.5]}'),
    # Doubles positionally: an integral double encodes like the integer as
    # long as its shortest digits are all its digits, then with zeros.
    (1.0, "1"), (-0.0, "0"), (0.1, "0.1"), (-2.25, "-2.25"), (123456.789, "123456.789"), (1e-7, "0.0000001"),
    (1.5e-7, "0.00000015"), (-1.25e-10, "-0.000000000125"), (-1000.0, "-1000"), (9007199254740992.0, "9007199254740992"),
    (1e16, "1" + "0" * 16), (1e19, "1" + "0" * 19), (2.0**62, "4611686018427388000"), (1e21, "1" + "0" * 21),
    (1.2345678901234568e20, "123456789012345680000"), (1.5e300, "15" + "0" * 299),
    (1.7976931348623157e308, "17976931348623157" + "0" * 292), (5e-324, "0." + "0" * 323 + "5"),
])
def test_known_answers(payload, expected):
    assert core.canonical_bytes(payload) == expected.encode()


def test_known_digests():  # by hashlib: of null, and of a text longer than the pieces the hash is given
    assert core.content_id(None) == "sha256:74234e98afe7498fb5daf1f36ac2d78acc339464f950703b8c019892f982b90b"
    assert core.content_id("a" * 300000) == "sha256:07fb4f33aa3c8d54addc47bd93827e774935787e6bd66ebb93783070c425a14e"
