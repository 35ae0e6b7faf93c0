"""No call leaks a reference or memory or changes its inputs, on success or
on any failure path. Each case runs KORVANE_LEAK_CALLS times (default 30,000,
the slow ones fewer) under vectors.assert_no_leak."""

import collections
import contextlib
import math
import os

import pytest

from korvane import _core as core
from test_fuzz_hostile import DictSub, Hostile, Map, Seq
from vectors import assert_no_leak, record

CALLS = int(os.environ.get("KORVANE_LEAK_CALLS", "30000"))
TRACE = (b'{"version":"0.1","id":"r1","kind":"chat_response","ts":"t","parent":"p","meta":{"m":[1.5,-2]},'
         b'"payload":{"content":[{"type":"text","text":"h\\u00e9llo \\"q\\""}],"usage":{"input_tokens":3},"ok":true}}\n'
         b'["0.1","r2","tool_call","t",null,null,{"name":"lookup","input":{"k":18446744073709551615}}]\n')


def deep(*values):
    """The values and every container and str (but shared 1-character ones) in them."""
    out, todo = [], list(values)
    while todo:
        v = todo.pop()
        out += [] if isinstance(v, (int, float, type(None))) or (isinstance(v, str) and len(v) < 2) else [v]
        todo += v.data if isinstance(v, Seq) else [*v.keys(), *v.values()] if isinstance(v, dict) else (
            v if isinstance(v, (list, tuple, set)) else [])
    return out


def failing(*calls):
    """One call that makes every call of calls, each failing as it may."""
    def call():
        for c in calls:
            with contextlib.suppress(BaseException):
                c()
    return call


# The Sequence makes the conversion hold references from there on.
PAYLOAD = {"a": [1, 2.5, None, True, "x" * 40, "é" * 9], "b": {"c": (1, 2)}, "s": {3, "t"}, "big": 2**63,
           "f": [-0.0, math.nan], "d": collections.deque([5]), "o": collections.OrderedDict(x=6),
           "t": type("Str", (str,), {})("é"), "q": Seq("plain", [{"k": "v"}], [])}
RECORDS = [record(PAYLOAD), record(None, kind="error", parent="r0", meta={}), ["0.1", "r2", "metadata", "t", None, None, {}]]
RESPONSE = record({"model": "m", "usage": {"input_tokens": 10, "output_tokens": 5}, "content": [
    {"type": "text", "text": "the answer is 4"}, {"type": "tool_use", "name": "f", "input": {"b": 1}}]})
# An item whose exception has no text, mappings whose keys(), values() and
# len() disagree or fail, prices and seeds whose conversion fails or lies.
ITEMS = [Seq("badstr", [1], []), Map("big", {"a": [1], "b": [2]}, []), DictSub("keys", {"a": 1}, []),
         DictSub("small", {"a": [1], "b": [2]}, [])]
PRICES = [Hostile(how, (), []) for how in ("float", "small", "plain", "index", "changes")]
LOOP = []
LOOP.append(LOOP)


def shrinking_list():  # the first payload empties the list when an item of it is read
    records = [record(None), record(None)]
    records[0]["payload"] = Seq("mutate", [1, 2], [records])
    core.write_agentlog(records)


def resizing_pricing():
    pricing = {}
    pricing["m"] = (Hostile("big", (), [pricing]), 1.0)
    core.compute_diff_report([], [], pricing, 0)


def parse_fresh_keys():
    """Object keys new on every call: none may outlive it (an interned str can be immortal)."""
    counter = iter(range(10**9))
    trace = b'{"version":"0.1","id":"r","kind":"error","ts":"t","payload":{"k%d":1,"%d":2}}\n'
    return lambda: core.parse_agentlog(trace % ((n := next(counter)), n))


def diff(pricing=None, seed=1, records=()):
    return lambda: core.compute_diff_report(list(records), list(records), pricing, seed)


CASES = {  # name: (call, objects whose reference counts must not move, calls at most)
    "parse": (lambda: core.parse_agentlog(TRACE), [TRACE], None), "parse fresh keys": (parse_fresh_keys(), [], None),
    "parse failures": (failing(lambda: core.parse_agentlog(TRACE + b'{"version":1}\n'), lambda: core.parse_agentlog(b"\xff\n")), [], None),
    "write": (lambda: core.write_agentlog(RECORDS), deep(RECORDS), None),
    "write failures": (failing(lambda: core.write_agentlog([RECORDS[0], {"version": "0.1"}]), shrinking_list,
                               lambda: core.write_agentlog([record(ITEMS[3])])), [RECORDS, ITEMS[3]], None),
    "canonical and id": (lambda: (core.canonical_bytes(PAYLOAD), core.content_id(PAYLOAD)), deep(PAYLOAD), None),
    "conversion failures": (failing(*(lambda v=v: core.content_id(v) for v in (
        [PAYLOAD, {"k": object()}], [1, object], [2**64], [2**200], {1: 2}, "\ud800", *ITEMS[:3]))), [PAYLOAD, *ITEMS], None),
    "self loop": (failing(lambda: core.content_id(LOOP)), [LOOP], 2000),
    "diff": (diff({"m": (1.0, 2.0), "n": [1, 2, 3], "o": {"input": 1, "output": 2}}, 7, [RESPONSE]), deep(RESPONSE), 5000),
    "diff failures": (failing(diff(records=[RESPONSE, {"payload": 1}]), diff({1: 2}), diff({"m": (None, 1)}), diff({"m": {"input": 1}}),
                              diff({"a": {"input": 1, "output": 2, "bogus": 3}, "b": ["x", 1]}), diff(seed=-1), resizing_pricing,
                              diff({"m": (PRICES[0], 1.0)}), diff({"m": (PRICES[1], PRICES[2])}), diff({"n": [PRICES[2], 1]}),
                              diff(seed=PRICES[3]), diff(seed=PRICES[4])), [RESPONSE, *PRICES], None),
    "binding failures": (failing(lambda: core.content_id(1, 2), lambda: core.compute_diff_report(),
                                 lambda: core.parse_agentlog(b"", other=1), lambda: core.parse_agentlog("text")), [], None),
}


@pytest.mark.parametrize("name", list(CASES))
def test_no_leaks_and_inputs_unchanged(name):
    call, inputs, at_most = CASES[name]
    before = [repr(v) for v in inputs]  # items, order, -0.0 and nan, identity of hostile objects
    assert_no_leak(call, inputs, min(CALLS, at_most or CALLS), warmup=500, singletons=True)
    assert [repr(v) for v in inputs] == before
