"""Inputs are never modified, and the conversion paths through hostile and
unusual objects leak nothing (test_references.py covers the ordinary success
and failure paths).

The leak cases run KORVANE_LEAK_CALLS times each (default 20,000; 100,000 for
the full run). After a warm-up the reference counts of the inputs and of the
objects a call touches must be unchanged, and neither the memory the
interpreter traces nor the process's resident size may grow in both halves
of the run.
"""

import collections.abc
import gc
import math
import os
import sys
import tracemalloc

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvane import _core as core
from vectors import CORPUS, record

CALLS = int(os.environ.get("KORVANE_LEAK_CALLS", "20000"))


def snapshot(value):
    """The exact structure of value: types, item order, float bits, and the
    identity of every container, so that a replaced element shows too."""
    if isinstance(value, float):
        return ("float", type(value).__name__, math.copysign(1.0, value), repr(value))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, id(value), len(value), [snapshot(v) for v in value])
    if isinstance(value, dict):
        return (type(value).__name__, id(value), [(snapshot(k), snapshot(v)) for k, v in value.items()])
    if isinstance(value, (set, frozenset)):
        return (type(value).__name__, id(value), sorted(repr(snapshot(v)) for v in value))
    return (type(value).__name__, repr(value))


# ---------------------------------------------------------------- mutation

class Text(str):
    pass


class Seq(collections.abc.Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def response(text="the answer is 4", model="m", **extra):
    payload = {"model": model, "usage": {"input_tokens": 10, "output_tokens": 5, "thinking_tokens": 2},
               "content": [{"type": "text", "text": text}, {"type": "tool_use", "name": "f", "input": {"b": 1}}],
               "stop_reason": "end_turn", "latency_ms": 12.5}
    payload.update(extra)
    return record(payload)


PAYLOAD = {"z": [1, -2, 2**64 - 1, 0.1, -0.0, float("nan"), float("inf")], "a": (True, None, Text("é")),
           "s": {1, 2}, "q": Seq([{"k": "v"}]), "e\u0301": {"nested": [[], {}]}}
GOOD_RECORDS = [record(PAYLOAD), record([1, 2], kind="tool_call", parent="r0", meta={"m": [1.5]}),
                ["0.1", "r2", "metadata", "t", None, None, {"x": 1}]]
BASELINE = [response(), response("second answer", latency_ms=100)]
CANDIDATE = [response("a different answer", model="n"), response(stop_reason="max_tokens")]
PRICING = {"m": (1.0, 2.0), "n": [1, 2, 3.5], "o": {"input": 1, "output": 2, "other": "x"}, "p": (1, float("nan"))}

MUTATION_CASES = {
    "canonical": (core.canonical_bytes, [PAYLOAD]),
    "content id": (core.content_id, [PAYLOAD]),
    "content id fails late": (core.content_id, [[PAYLOAD, {"k": object()}]]),
    "write": (core.write_agentlog, [GOOD_RECORDS]),
    "write fails on the last record": (core.write_agentlog, [GOOD_RECORDS + [record(bytearray(b"x"))]]),
    "write fails on a field": (core.write_agentlog, [GOOD_RECORDS + [{"version": 1, "payload": PAYLOAD}]]),
    "diff": (core.compute_diff_report, [BASELINE, CANDIDATE, PRICING, 3]),
    "diff bad candidate": (core.compute_diff_report, [BASELINE, CANDIDATE + [{"payload": 1}], PRICING, 3]),
    "diff bad price": (core.compute_diff_report, [BASELINE, CANDIDATE, {**PRICING, "z": [1.0]}, 3]),
    "diff bad seed": (core.compute_diff_report, [BASELINE, CANDIDATE, PRICING, -1]),
    "parse": (core.parse_agentlog, [b'{"version":"0.1","id":"r","kind":"error","ts":"t","payload":{}}\n']),
    "parse fails": (core.parse_agentlog, [b'{"version":"0.1"}\n']),
}


@pytest.mark.parametrize("name", list(MUTATION_CASES))
def test_inputs_are_not_modified(name):
    function, args = MUTATION_CASES[name]
    before = [snapshot(a) for a in args]
    try:
        function(*args)
    except (ValueError, TypeError, OverflowError):
        pass
    assert [snapshot(a) for a in args] == before


json_leaves = st.one_of(st.none(), st.booleans(), st.integers(-2**64, 2**65), st.floats(), st.text(max_size=8))
json_like = st.recursive(
    json_leaves,
    lambda children: st.one_of(
        st.lists(children, max_size=4), st.lists(children, max_size=3).map(tuple),
        st.dictionaries(st.text(max_size=4), children, max_size=4),
        st.frozensets(st.integers(-3, 3), max_size=3), st.lists(children, max_size=3).map(Seq),
    ),
    max_leaves=20,
)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(payload=json_like, other=json_like, seed=st.integers(0, 2**64 - 1))
def test_random_inputs_are_not_modified(payload, other, seed):
    records = [record(payload), record(other, kind="tool_call")]
    baseline = [response(), record(payload), response(text="x", payload_extra=other)]
    pricing = {"m": (1, 2), "n": [1.0, 2.0, 0.5], "q": other}
    args = [payload, other, records, baseline, pricing]
    before = [snapshot(a) for a in args]
    for call in (lambda: core.canonical_bytes(payload), lambda: core.content_id(other),
                 lambda: core.write_agentlog(records),
                 lambda: core.compute_diff_report(baseline, records, pricing, seed)):
        try:
            call()
        except ValueError:
            pass
    assert [snapshot(a) for a in args] == before


# ---------------------------------------------------------------- leaks

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class FailingItems(collections.abc.Sequence):
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 2:
            raise BadStr()
        return [i, "x" * 20]


class InconsistentMapping(collections.abc.Mapping):
    """Its keys and values lists disagree in length with __len__."""

    def __len__(self):
        return 3

    def __iter__(self):
        return iter(["a", "b"])

    def __getitem__(self, key):
        return [key]

    def keys(self):
        return ["a", "b"]

    def values(self):
        return [[1], [2], [3], [4]]


class KeysFail(dict):
    def keys(self):
        raise LookupError("no keys")


class ShortKeys(dict):
    def keys(self):
        return list(dict.keys(self))[:-1]


class Shrinking(collections.abc.Sequence):
    """Empties the list it belongs to when its first item is read."""

    def __init__(self, owner):
        self.owner = owner

    def __len__(self):
        return 2

    def __getitem__(self, i):
        self.owner.clear()
        return {"k": [i]}


class FloatFails:
    def __float__(self):
        raise ArithmeticError("no float")


class FloatOther:
    def __float__(self):
        return "not a float"


class Float:
    def __float__(self):
        return 2.5


class IndexFails:
    def __index__(self):
        raise RuntimeError("no index")


def shrinking_list_case():
    def call():
        records = [record(None), record(None)]
        records[0]["payload"] = Shrinking(records)
        core.write_agentlog(records)
    return call


BIG_TRACE = (CORPUS / "tau2-airline-t0-gpt-5.4.agentlog").read_bytes()
BIG_RECORDS = core.parse_agentlog(BIG_TRACE)
FAILING = FailingItems()
INCONSISTENT = InconsistentMapping()
KEYS_FAIL = KeysFail(a=1)
SHORT_KEYS = ShortKeys(a=[1], b=[2])
TUPLE_FAILS = {"m": (FloatFails(), 1.0)}
TUPLE_OTHER = {"m": (FloatOther(), Float())}
TUPLE_FLOATS = {"m": (Float(), Float()), "n": [Float(), 1]}
PRICE_FORMS = {"a": {"input": 1, "output": 2, "bogus": 3}, "b": ["x", 1]}
MISSING_OUTPUT = {"m": {"input": 1}}
INDEX_FAILS = IndexFails()

LEAK_CASES = {
    "failing item with failing str": (lambda: core.content_id([FAILING]), [FAILING]),
    "keys and values disagree": (lambda: core.canonical_bytes({"m": INCONSISTENT}), [INCONSISTENT]),
    "dict subclass keys fail": (lambda: core.content_id(KEYS_FAIL), [KEYS_FAIL]),
    "dict subclass short keys": (lambda: core.write_agentlog([record(SHORT_KEYS)]), [SHORT_KEYS]),
    "list emptied while converted": (shrinking_list_case(), []),
    "price tuple float fails": (lambda: core.compute_diff_report([], [], TUPLE_FAILS, 1), [TUPLE_FAILS]),
    "price tuple float not a float": (lambda: core.compute_diff_report([], [], TUPLE_OTHER, 1), [TUPLE_OTHER]),
    "price objects with float": (lambda: core.compute_diff_report([], [], TUPLE_FLOATS, 1), [TUPLE_FLOATS]),
    "price string in array": (lambda: core.compute_diff_report([], [], PRICE_FORMS, 1), [PRICE_FORMS]),
    "price missing output": (lambda: core.compute_diff_report([], [], MISSING_OUTPUT, 1), [MISSING_OUTPUT]),
    "seed index raises": (lambda: core.compute_diff_report([], [], None, INDEX_FAILS), [INDEX_FAILS]),
    "parse real trace": (lambda: core.parse_agentlog(BIG_TRACE), [BIG_TRACE]),
    "write real trace": (lambda: core.write_agentlog(BIG_RECORDS), [BIG_RECORDS]),
    "id of real trace": (lambda: core.content_id(BIG_RECORDS), [BIG_RECORDS]),
    "parse fails late": (lambda: core.parse_agentlog(BIG_TRACE + b"{}\n"), [BIG_TRACE]),
}

# The real trace is 38 records and 40 kB per call: fewer calls still show a
# leak of one object per call.
SLOW = {"parse real trace": 10, "write real trace": 10, "id of real trace": 10, "parse fails late": 10}


@pytest.mark.parametrize("name", list(LEAK_CASES))
def test_hostile_paths_do_not_leak(name):
    call, inputs = LEAK_CASES[name]
    calls = max(1000, CALLS // SLOW.get(name, 1))

    def run(n):
        for _ in range(n):
            try:
                call()
            except BaseException:  # noqa: B036 - the internal failure type too
                pass

    def half():
        gc.collect()
        rss, traced = rss_bytes(), tracemalloc.get_traced_memory()[0]
        run(calls // 2)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - traced, rss_bytes() - rss

    run(500)
    gc.collect()
    counts = [sys.getrefcount(o) for o in inputs]
    tracemalloc.start()
    try:
        first, second = half(), half()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in inputs] == counts
    assert min(first[0], second[0]) < 64 * 1024, (first, second)
    assert min(first[1], second[1]) < 2 * 1024 * 1024, (first, second)
