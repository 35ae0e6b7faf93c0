"""canonical_bytes and content_id against an independent encoder written
here (NFC text, keys sorted by their normalized UTF-8 bytes then by their own,
compact escapes, doubles in positional form from repr() through Decimal,
SHA-256 from hashlib), against known answers, and their invariances."""

import hashlib
import math
import unicodedata
from decimal import Decimal

import pytest
from hypothesis import assume, given, settings
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


def transform(value, text, order):
    """value with every text passed through text() and every dict's entries
    rearranged by order(); None when two keys of a dict collide."""
    if isinstance(value, (str, list)):
        return text(value) if isinstance(value, str) else [transform(v, text, order) for v in value]
    if not isinstance(value, dict):
        return value
    items = [(text(k), transform(v, text, order)) for k, v in order(list(value.items()))]
    return dict(items) if len({k for k, _ in items}) == len(items) else None


@settings(max_examples=500)
@given(json_values | wide | long_texts)
def test_canonical_bytes_and_ids_match_the_reference(value):
    assert core.canonical_bytes(value) == reference(value).encode()
    assert core.content_id(value) == "sha256:" + hashlib.sha256(reference(value).encode()).hexdigest()


# Keys equal once normalized included: equal dicts get one text and one id.
@given(json_values | wide, st.randoms(use_true_random=False))
def test_invariant_under_key_order(value, rng):
    shuffled = transform(value, lambda t: t, lambda items: rng.sample(items, len(items)))
    assert (core.canonical_bytes(shuffled), core.content_id(shuffled)) == (core.canonical_bytes(value), core.content_id(value))


@pytest.mark.parametrize("form", ["NFC", "NFD"])
@given(value=json_values)
def test_invariant_under_normalization_of_the_input(form, value):
    normalized = transform(value, lambda t: unicodedata.normalize(form, t), lambda items: items)
    assume(normalized is not None)
    assert core.canonical_bytes(normalized) == core.canonical_bytes(value)


@given(st.integers(-(2**53), 2**53).map(float))
def test_integral_doubles_encode_like_integers(x):
    assert core.canonical_bytes(x) == core.canonical_bytes(int(x)) == str(int(x)).encode()


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


@pytest.mark.parametrize("a, b, same", [
    (None, float("nan"), True), (None, float("-inf"), True), ({"b": 1, "a": [1, 2.5]}, {"a": [1.0, 2.5], "b": 1.0}, True),
    ({E: "A\u030a"}, {E_ACUTE: "\u00c5"}, True), ("\u212b", "\u00c5", True), ("1", 1, False), ([1, 2], [2, 1], False),
    ({"a": None}, {"a": False}, False), (0.5, 0.25, False),
])
def test_equal_payloads_share_an_id(a, b, same):
    assert (core.content_id(a) == core.content_id(b)) is same
    # Known digests (hashlib): of null, and of a text longer than the pieces the hash is given.
    assert core.content_id(None) == "sha256:74234e98afe7498fb5daf1f36ac2d78acc339464f950703b8c019892f982b90b"
    assert core.content_id("a" * 300000) == "sha256:07fb4f33aa3c8d54addc47bd93827e774935787e6bd66ebb93783070c425a14e"
