"""Inputs are never modified, also by failing calls, and the conversion paths
through hostile and unusual objects leak nothing (test_references.py covers
the ordinary success and failure paths). Each leak case runs
KORVANE_LEAK_CALLS times (default 20,000): after a warm-up the reference
counts of its inputs must be unchanged, and neither the memory the
interpreter traces nor the process's resident size may grow in both halves
of the run."""

import collections.abc
import math
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvane import _core as core
from vectors import assert_no_leak, record

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
    return record({"model": model, "usage": {"input_tokens": 10, "output_tokens": 5, "thinking_tokens": 2},
                   "content": [{"type": "text", "text": text}, {"type": "tool_use", "name": "f", "input": {"b": 1}}],
                   "stop_reason": "end_turn", "latency_ms": 12.5, **extra})


PAYLOAD = {"z": [1, -2, 2**64 - 1, 0.1, -0.0, float("nan"), float("inf")], "a": (True, None, Text("é")),
           "s": {1, 2}, "q": Seq([{"k": "v"}]), "e\u0301": {"nested": [[], {}]}}
GOOD = [record(PAYLOAD), record([1, 2], kind="tool_call", parent="r0", meta={"m": [1.5]}),
        ["0.1", "r2", "metadata", "t", None, None, {"x": 1}]]
BASELINE = [response(), response("second answer", latency_ms=100)]
CANDIDATE = [response("a different answer", model="n"), response(stop_reason="max_tokens")]
PRICING = {"m": (1.0, 2.0), "n": [1, 2, 3.5], "o": {"input": 1, "output": 2, "other": "x"}, "p": (1, float("nan"))}


@pytest.mark.parametrize("function, args", [
    (core.canonical_bytes, [PAYLOAD]),
    (core.content_id, [PAYLOAD]),
    (core.content_id, [[PAYLOAD, {"k": object()}]]),  # fails late
    (core.write_agentlog, [GOOD]),
    (core.write_agentlog, [GOOD + [record(bytearray(b"x"))]]),  # fails on the last record
    (core.write_agentlog, [GOOD + [{"version": 1, "payload": PAYLOAD}]]),  # fails on a field
    (core.compute_diff_report, [BASELINE, CANDIDATE, PRICING, 3]),
    (core.compute_diff_report, [BASELINE, CANDIDATE + [{"payload": 1}], PRICING, 3]),
    (core.compute_diff_report, [BASELINE, CANDIDATE, {**PRICING, "z": [1.0]}, 3]),
    (core.compute_diff_report, [BASELINE, CANDIDATE, PRICING, -1]),
    (core.parse_agentlog, [b'{"version":"0.1","id":"r","kind":"error","ts":"t","payload":{}}\n']),
    (core.parse_agentlog, [b'{"version":"0.1"}\n']),
])
def test_inputs_are_not_modified(function, args):
    before = [snapshot(a) for a in args]
    try:
        function(*args)
    except (ValueError, TypeError, OverflowError):
        pass
    assert [snapshot(a) for a in args] == before


json_like = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(-2**64, 2**65), st.floats(), st.text(max_size=8)),
    lambda children: st.one_of(
        st.lists(children, max_size=4), st.lists(children, max_size=3).map(tuple),
        st.dictionaries(st.text(max_size=4), children, max_size=4),
        st.frozensets(st.integers(-3, 3), max_size=3), st.lists(children, max_size=3).map(Seq)),
    max_leaves=20)


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
# The hostile methods build their results anew on every call, as real code
# does, so that a result kept by mistake shows as growing memory.

def fail(exception):
    raise exception


def hostile(base, **methods):
    return type("Hostile" + base.__name__, (base,), methods)


BadStr = hostile(Exception, __str__=lambda self: fail(RuntimeError("no text")))
# An item that raises an exception whose text cannot be had.
FAILING = hostile(collections.abc.Sequence, __len__=lambda self: 3,
                  __getitem__=lambda self, i: [i, "x" * 20] if i < 2 else fail(BadStr()))()
# keys() and values() disagree in length with __len__.
INCONSISTENT = hostile(collections.abc.Mapping, __len__=lambda self: 3, __iter__=lambda self: iter(["a", "b"]),
                       __getitem__=lambda self, key: [key], keys=lambda self: ["a", "b"],
                       values=lambda self: [[1], [2], [3], [4]])()
KEYS_FAIL = hostile(dict, keys=lambda self: fail(LookupError("no keys")))(a=1)
SHORT_KEYS = hostile(dict, keys=lambda self: list(dict.keys(self))[:-1])(a=[1], b=[2])
FLOAT_FAILS, FLOAT_OTHER, FLOAT = (hostile(object, __float__=m)() for m in (
    lambda self: fail(ArithmeticError("no float")), lambda self: "not a float", lambda self: 2.5))
INDEX_FAILS = hostile(object, __index__=lambda self: fail(RuntimeError("no index")))()


Shrinking = hostile(collections.abc.Sequence, __len__=lambda self: 2,
                    __getitem__=lambda self, i: self.owner.clear() or {"k": [i]})


def shrinking_list():
    """Writes a list whose first payload empties the list when an item of it is read."""
    records = [record(None), record(None)]
    records[0]["payload"] = Shrinking()
    records[0]["payload"].owner = records
    core.write_agentlog(records)


def diff_case(pricing, *watch):
    return (lambda: core.compute_diff_report([], [], pricing, 1)), [pricing, *watch]


LEAK_CASES = {  # name: (call, objects whose reference counts must not move)
    "failing item with failing str": (lambda: core.content_id([FAILING]), [FAILING]),
    "keys and values disagree": (lambda: core.canonical_bytes({"m": INCONSISTENT}), [INCONSISTENT]),
    "dict subclass keys fail": (lambda: core.content_id(KEYS_FAIL), [KEYS_FAIL]),
    "dict subclass short keys": (lambda: core.write_agentlog([record(SHORT_KEYS)]), [SHORT_KEYS]),
    "list emptied while converted": (shrinking_list, []),
    "price float fails": diff_case({"m": (FLOAT_FAILS, 1.0)}, FLOAT_FAILS),
    "price float not a float": diff_case({"m": (FLOAT_OTHER, FLOAT)}, FLOAT_OTHER),
    "price objects with float": diff_case({"m": (FLOAT, FLOAT), "n": [FLOAT, 1]}, FLOAT),
    "price string in array": diff_case({"a": {"input": 1, "output": 2, "bogus": 3}, "b": ["x", 1]}),
    "price missing output": diff_case({"m": {"input": 1}}),
    "seed index raises": (lambda: core.compute_diff_report([], [], None, INDEX_FAILS), [INDEX_FAILS]),
}


@pytest.mark.parametrize("name", list(LEAK_CASES))
def test_hostile_paths_do_not_leak(name):
    call, inputs = LEAK_CASES[name]
    assert_no_leak(call, inputs, max(1000, CALLS), warmup=500)
