"""canonical_bytes and content_id against an independent encoder written
here: NFC text, keys sorted by their UTF-8 bytes (stable), compact escapes,
doubles in positional form derived from repr() through Decimal, and SHA-256
from hashlib."""

import hashlib
import math
import unicodedata
from decimal import Decimal

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from korvane import _core as core


# ---------------------------------------------------------------------------
# The reference encoder.


def positional(x: float) -> str:
    """A finite double in positional form: the shortest round-trip digits
    (repr), no exponent, no trailing '.0', zero of either sign as '0'."""
    text = format(Decimal(repr(x)), "f") if x else "0"
    return text.rstrip("0").rstrip(".") if "." in text else text


SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def quote(text: str) -> str:
    nfc = unicodedata.normalize("NFC", text)
    return '"' + "".join(SHORT_ESCAPES.get(c) or ("\\u%04x" % ord(c) if c < " " else c) for c in nfc) + '"'


def reference(value) -> str:
    if value is None or isinstance(value, bool):
        return {None: "null", True: "true", False: "false"}[value]
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return positional(value) if math.isfinite(value) else "null"
    if isinstance(value, str):
        return quote(value)
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(reference(v) for v in value) + "]"
    # By normalized key, keys equal once normalized by their own bytes.
    members = sorted(value.items(), key=lambda kv: (unicodedata.normalize("NFC", kv[0]).encode(), kv[0].encode()))
    return "{" + ",".join(quote(k) + ":" + reference(v) for k, v in members) + "}"


def reference_bytes(value) -> bytes:
    return reference(value).encode("utf-8")


def sha256_id(data: bytes) -> str:
    return "sha256:" + hashlib.sha256(data).hexdigest()


# ---------------------------------------------------------------------------
# Strategies. Texts mix arbitrary characters with the ones that matter here:
# combining marks and their precomposed forms, Hangul, controls, quotes, and
# characters whose UTF-8 order differs from their UTF-16 order.

SPECIAL = [
    "e", "\u0301", "\u00e9", "A", "\u030a", "\u00c5", "\u212b", "\u1100", "\u1161", "\u11a8", "\uac00",
    "\u0323", "\u0307", "\u1e0b", "\u0000", "\u0001", "\u001f", "\u007f", '"', "\\", "/", "\n", "\u2028",
    "\uff5e", "\U0001f600", "a", "B", "z", "\u0958", "\u2126",
]
texts = st.text(st.sampled_from(SPECIAL), max_size=8) | st.text(max_size=8)
floats = st.floats(allow_nan=False, allow_infinity=False)
scalars = st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | floats | texts
json_values = st.recursive(
    scalars, lambda children: st.lists(children, max_size=5) | st.dictionaries(texts, children, max_size=6),
    max_leaves=40,
)


def transform(value, text, order):
    """value with every text passed through text() and every dict's entries
    rearranged by order(); None when two keys of a dict collide."""
    if isinstance(value, str):
        return text(value)
    if isinstance(value, list):
        return [transform(v, text, order) for v in value]
    if not isinstance(value, dict):
        return value
    items = [(text(k), transform(v, text, order)) for k, v in order(list(value.items()))]
    return dict(items) if len({k for k, _ in items}) == len(items) else None


def has_equivalent_keys(value) -> bool:
    if isinstance(value, list):
        return any(has_equivalent_keys(v) for v in value)
    if isinstance(value, dict):
        nfc = [unicodedata.normalize("NFC", k) for k in value]
        return len(set(nfc)) < len(nfc) or any(has_equivalent_keys(v) for v in value.values())
    return False


# ---------------------------------------------------------------------------
# Properties.


# Objects of 18 to 30 members too, where equivalent keys meet more often.
@settings(max_examples=500)
@given(json_values | st.dictionaries(st.text(st.sampled_from(SPECIAL), max_size=3), scalars, min_size=18, max_size=30))
def test_canonical_bytes_match_the_reference_encoder(value):
    assert core.canonical_bytes(value) == reference_bytes(value)


@given(json_values, st.randoms(use_true_random=False))
def test_invariant_under_key_order(value, rng):
    # Equivalent keys are written in stored order, so only objects without
    # them may be reordered freely.
    assume(not has_equivalent_keys(value))
    shuffled = transform(value, lambda t: t, lambda items: rng.sample(items, len(items)))
    assert core.canonical_bytes(shuffled) == core.canonical_bytes(value)
    assert core.content_id(shuffled) == core.content_id(value)


@pytest.mark.parametrize("form", ["NFC", "NFD"])
@given(value=json_values)
def test_invariant_under_normalization_of_the_input(form, value):
    normalized = transform(value, lambda t: unicodedata.normalize(form, t), lambda items: items)
    assume(normalized is not None)
    assert core.canonical_bytes(normalized) == core.canonical_bytes(value)


@given(st.integers(-(2**53), 2**53).map(float))
def test_integral_doubles_encode_like_integers(x):
    assert core.canonical_bytes(x) == core.canonical_bytes(int(x)) == str(int(x)).encode()


# Strings of many lengths put the end of the hashed bytes at every offset of
# the last SHA-256 block and across several blocks.
@settings(max_examples=400)
@given(json_values | st.text(max_size=400) | st.binary(max_size=3000).map(lambda b: b.decode("latin-1")))
def test_content_id_is_sha256_of_the_canonical_form(value):
    assert core.content_id(value) == sha256_id(reference_bytes(value))


# ---------------------------------------------------------------------------
# Examples.

E_DECOMPOSED = "e\u0301"
E_PRECOMPOSED = "\u00e9"


@pytest.mark.parametrize(
    "payload, expected",
    [
        # Keys equal once normalized are both written, by their own bytes
        # (e is 0x65, é 0xc3 0xa9), whatever their insertion order.
        ({E_DECOMPOSED: 1, E_PRECOMPOSED: 2}, '{"é":1,"é":2}'.encode()),
        ({E_PRECOMPOSED: 2, E_DECOMPOSED: 1}, '{"é":1,"é":2}'.encode()),
        # UTF-8 order, not UTF-16 order.
        ({"\U0001f600": 1, "\uff5e": 2}, '{"\uff5e":2,"\U0001f600":1}'.encode()),
        ("\b\t\n\f\r\"\\/\u0001\u001f\u007f", b'"\\b\\t\\n\\f\\r\\"\\\\/\\u0001\\u001f\x7f"'),
        (1e-7, b"0.0000001"), (1.5e300, b"15" + b"0" * 299), (2.0**62, b"4611686018427388000"),
        ({"z": [{"y": 1.0, "x": -0.0}, 3.5], "m": {"n": {"q": None, "p": []}}, "a": {}, "B": True},
         b'{"B":true,"a":{},"m":{"n":{"p":[],"q":null}},"z":[{"x":0,"y":1},3.5]}'),
    ],
)
def test_examples(payload, expected):
    assert core.canonical_bytes(payload) == expected


NULL_ID = "sha256:74234e98afe7498fb5daf1f36ac2d78acc339464f950703b8c019892f982b90b"


@pytest.mark.parametrize("payload", [None, float("nan"), float("inf"), float("-inf")])
def test_content_id_of_null(payload):
    assert core.content_id(payload) == NULL_ID == sha256_id(b"null")


@pytest.mark.parametrize(
    "a, b",
    [
        ({"b": 1, "a": [1, 2.5]}, {"a": [1.0, 2.5], "b": 1.0}),
        ({E_DECOMPOSED: "A\u030a"}, {E_PRECOMPOSED: "\u00c5"}),
        ("\u212b", "\u00c5"),
    ],
)
def test_equivalent_payloads_share_an_id(a, b):
    assert core.content_id(a) == core.content_id(b)


@pytest.mark.parametrize("a, b", [("1", 1), ([1, 2], [2, 1]), ({"a": None}, {"a": False}), (0.5, 0.25)])
def test_different_payloads_differ(a, b):
    assert core.content_id(a) != core.content_id(b)
