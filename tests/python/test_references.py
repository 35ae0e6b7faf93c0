"""No call leaks a reference or memory, on success or on any failure path:
each case runs 100,000 times, then the reference counts of its inputs, the
memory the interpreter traces and the process's resident size must be back
where they were."""

import collections.abc
import os

import pytest

from korvane import _core as core
from vectors import assert_no_leak, record

CALLS = int(os.environ.get("KORVANE_LEAK_CALLS", "100000"))

TRACE = (
    b'{"version":"0.1","id":"r1","kind":"chat_response","ts":"t","parent":"p","meta":{"m":[1.5,-2]},'
    b'"payload":{"content":[{"type":"text","text":"h\\u00e9llo \\"q\\""}],"usage":{"input_tokens":3},"ok":true}}\n'
    b'["0.1","r2","tool_call","t",null,null,{"name":"lookup","input":{"k":18446744073709551615}}]\n'
)
PAYLOAD = {"a": [1, 2.5, None, True, "x" * 40], "b": {"c": (1, 2)}, "s": {3}, "big": 2**63}
RECORDS = [record(PAYLOAD), record(None, kind="error", parent="r0", meta={})]
RESPONSE = record({"model": "m", "usage": {"input_tokens": 10, "output_tokens": 5},
                   "content": [{"type": "text", "text": "the answer is 4"}]})
PRICING = {"m": (1.0, 2.0), "n": [1, 2, 3], "o": {"input": 1, "output": 2}}


class FailingLen(collections.abc.Sequence):
    __getitem__ = None

    def __len__(self):
        raise RuntimeError("no length")


class BadIndex:
    def __index__(self):
        try:
            raise KeyError("cause")
        except KeyError as exc:
            raise TypeError("bad index") from exc


LOOP = []
LOOP.append(LOOP)


def resizing_pricing():
    pricing = {}
    grow = type("Grow", (), {"__float__": lambda self: pricing.update(x=(1.0, 1.0)) or 1.0})

    def call():
        pricing.clear()
        pricing["m"] = (grow(), 1.0)
        core.compute_diff_report([], [], pricing, 0)

    return call


def parse_fresh_keys():
    """Parses a trace whose object keys are new on every call: nothing of
    them may outlive the call (an interned str can be immortal)."""
    counter = iter(range(10**9))
    trace = b'{"version":"0.1","id":"r","kind":"error","ts":"t","payload":{"k%d":1,"%d":2}}\n'
    return lambda: core.parse_agentlog(trace % ((n := next(counter)), n))


CASES = {
    "parse": (lambda: core.parse_agentlog(TRACE), [TRACE]),
    "parse fresh keys": (parse_fresh_keys(), []),
    "parse error": (lambda: core.parse_agentlog(TRACE + b'{"version":1}\n'), []),
    "parse bad utf-8": (lambda: core.parse_agentlog(b'\xff\n'), []),
    "write": (lambda: core.write_agentlog(RECORDS), [RECORDS, PAYLOAD]),
    "write error": (lambda: core.write_agentlog([RECORDS[0], {"version": "0.1"}]), [RECORDS]),
    "canonical": (lambda: core.canonical_bytes(PAYLOAD), [PAYLOAD]),
    "content id": (lambda: core.content_id(PAYLOAD), [PAYLOAD]),
    "unsupported": (lambda: core.content_id([1, object]), []),
    "user exception": (lambda: core.content_id({"k": FailingLen()}), []),
    "out of range": (lambda: core.content_id([2**64]), []),
    "beyond 128 bits": (lambda: core.content_id([2**200]), []),
    "bad key": (lambda: core.content_id({1: 2}), []),
    "surrogate": (lambda: core.content_id("\ud800"), []),
    "self loop": (lambda: core.content_id(LOOP), [LOOP]),
    "diff": (lambda: core.compute_diff_report([RESPONSE], [RESPONSE], PRICING, 7), [RESPONSE, PRICING]),
    "pricing key": (lambda: core.compute_diff_report([], [], {1: 2}), []),
    "pricing value": (lambda: core.compute_diff_report([], [], {"m": (None, 1)}), []),
    "pricing resized": (resizing_pricing(), []),
    "seed overflow": (lambda: core.compute_diff_report([], [], None, -1), []),
    "seed type": (lambda: core.compute_diff_report([], [], None, BadIndex()), []),
    "too many args": (lambda: core.content_id(1, 2), []),
    "missing args": (lambda: core.compute_diff_report(), []),
    "bad keyword": (lambda: core.parse_agentlog(b"", other=1), []),
    "wrong type": (lambda: core.parse_agentlog("text"), []),
}


# Slow cases run fewer times: the full diff (bootstraps) still shows a
# per-call leak of one object (16 bytes or more) well over the threshold;
# the self loop converts a thousand levels per call, and its input's
# reference count catches a reference lost per call.
SLOW = {"diff": 10_000, "self loop": 2_000}


@pytest.mark.parametrize("name", list(CASES))
def test_no_leaks(name):
    call, inputs = CASES[name]
    assert_no_leak(call, inputs, min(CALLS, SLOW.get(name, CALLS)), warmup=2000, singletons=True)
