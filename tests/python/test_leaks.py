"""Random and hostile inputs: no call crashes, leaks a reference or memory, or
changes its inputs. Random calls are drawn by hypothesis in a child process
that prints each first (a crash fails the test and names the call); each leak
case runs KORVANE_LEAK_CALLS times (default 30,000, the slow ones fewer)."""

import collections.abc
import contextlib
import math
import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvane import _core as core
from vectors import assert_no_leak, record

EXAMPLES = int(os.environ.get("KORVANE_HOSTILE_EXAMPLES", "300"))
CALLS = int(os.environ.get("KORVANE_LEAK_CALLS", "30000"))
HostileError = type("HostileError", (Exception,), {})
BadStr = type("BadStr", (Exception,), {"__str__": None})  # an exception without a text


class Hostile:
    """Misbehaves as `how` says: raises, lies about sizes, or mutates every
    container of the call (`victims`, shared by the objects of one call)."""

    def __init__(self, how, data, victims):
        self.how, self.data, self.victims, self.calls = how, data, victims, 0
        if isinstance(self, dict):
            dict.update(self, data)  # what a dict's fast paths see; its methods report data

    def act(self, *failing):
        self.calls += 1
        if self.how in failing or self.how == "badstr":
            raise HostileError(self.how) if self.how != "badstr" else BadStr()
        if self.how == "mutate" and self.victims:
            victim = self.victims[self.calls % len(self.victims)]
            victim.clear() if self.calls % 2 else victim.append([1]) if isinstance(victim, list) else victim.update(z=1)

    def __len__(self):
        n = self.act("len") or len(self.data)
        return {"big": n + 3, "small": max(0, n - 1), "huge": sys.maxsize, "changes": n + self.calls % 3}.get(self.how, n)

    def __getitem__(self, i):
        return self.act("item") or self.data[i]

    def keys(self):
        ks = self.act("keys") or list(self.data)
        return {"big": ks + ["extra"], "small": ks[1:], "changes": [1] + ks}.get(self.how, ks)

    def values(self):
        vs = self.act("values") or list(self.data.values())
        return vs[::-1] + [None] if self.how == "big" else vs

    def __float__(self):
        self.act("float")
        [v.update(added=1.0) for v in self.victims if isinstance(v, dict) and self.how == "big"]  # prices added while read
        return "1.0" if self.how == "small" else 2.5

    def __index__(self):
        return self.act("index") or {"big": 2**70, "small": -3, "changes": 1.5}.get(self.how, 11)


Seq = type("Seq", (Hostile, collections.abc.Sequence), {})
Map = type("Map", (Hostile, collections.abc.Mapping), {"__iter__": lambda self: iter(list(self.data))})
DictSub = type("DictSub", (Hostile, dict), {"__iter__": Map.__iter__})
ListSub = type("ListSub", (list,), {"__len__": lambda self: 1 + list.__len__(self)})
HOW = st.sampled_from(["plain", "len", "item", "keys", "values", "float", "index", "big", "small", "huge",
                       "changes", "mutate", "badstr"])


@st.composite
def trees(draw, victims, depth=3):
    """Plain data, now and then something hostile, something the conversion
    rejects, or a container registered as a victim of mutation."""
    kind = draw(st.integers(0, 13 if depth > 0 else 5))
    if kind < 4:
        return draw(st.none() | st.booleans() | st.integers(-2**130, 2**130) | st.floats() | st.text(max_size=8)
                    | st.sampled_from([2**64 - 1, 2**64, -2**63 - 1, "e\u0301", "\ud800", "refuse", b"x", bytearray(b"y")]))
    if kind < 6:
        return Hostile(draw(HOW), 1.5, victims) if kind == 4 else type("StrSub", (str,), {})(draw(st.text(max_size=4)))
    children = draw(st.lists(trees(victims, depth - 1), max_size=4))
    keys = draw(st.lists(st.text(max_size=5) | st.sampled_from(["model", "content", "usage", "text", 1]), max_size=4))
    entries = dict(zip(keys, children))
    made = [list(children), tuple(children), ListSub(children), dict(entries), set(c for c in children if isinstance(c, (int, str))),
            Seq(draw(HOW), list(children), victims), Map(draw(HOW), entries, victims), DictSub(draw(HOW), entries, victims)][kind - 6]
    if isinstance(made, (list, dict)) and draw(st.booleans()):
        victims.append(made)
    return made


@st.composite
def records(draw, victims):
    payload = draw(trees(victims) | st.builds(lambda text, extra: {"model": "m", "usage": {"output_tokens": 5}, "content": [
        {"type": "text", "text": text}], **extra}, st.text(max_size=20) | trees(victims), st.dictionaries(st.text(max_size=4), trees(victims), max_size=2)))
    fields = {"version": "0.1", "id": "r", "kind": draw(st.sampled_from(["chat_response", "tool_call", "nope"])),
              "ts": "t", "parent": draw(st.none() | st.just("p")), "payload": payload}
    return draw(st.just(fields) | trees(victims))


@st.composite
def calls(draw):
    victims = []
    usually = lambda right: right if draw(st.integers(0, 9)) else trees(victims)  # right type 9 times in 10  # noqa: E731
    lists = usually(st.lists(records(victims), max_size=3))
    prices = usually(st.dictionaries(st.text(max_size=3), st.tuples(trees(victims), trees(victims)) | trees(victims), max_size=3))
    name = draw(st.sampled_from(["canonical_bytes", "content_id", "write_agentlog", "compute_diff_report", "parse_agentlog"]))
    args = draw({"canonical_bytes": st.tuples(trees(victims)), "content_id": st.tuples(trees(victims)),
                 "write_agentlog": st.tuples(lists), "parse_agentlog": st.tuples(usually(st.binary(max_size=200))),
                 "compute_diff_report": st.tuples(lists, lists, st.none() | prices, st.none() | usually(st.integers(-5, 2**64 + 5)))}[name])
    victims += [args[2]] if name == "compute_diff_report" and isinstance(args[2], dict) else []
    return name, list(args)


def check(name, args):
    """The documented result type, or ValueError, TypeError, OverflowError, or the
    internal error of a dict resized while read."""
    try:
        result = getattr(core, name)(*args)
    except (ValueError, TypeError, OverflowError) as e:
        assert str(e) or isinstance(e, TypeError), f"empty message from {type(e).__name__}"
    except (HostileError, BadStr):  # only the seed's own conversion lets other exceptions through
        assert name == "compute_diff_report" and isinstance(args[3], Hostile), "leaked HostileError"
    except BaseException as e:
        assert (type(e).__module__, type(e).__name__, type(e).__bases__) == ("korvane._core", "InternalError", (BaseException,))
        assert "during iteration" in str(e), repr(e)
    else:
        assert type(result) is {"parse_agentlog": list, "write_agentlog": bytes, "canonical_bytes": bytes,
                                "content_id": str, "compute_diff_report": dict}[name]
        assert name != "content_id" or (result.startswith("sha256:") and len(result) == 71), result


def run_examples():
    @settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), database=None)
    @given(calls())
    def property_holds(call):
        print(repr(call)[:4000], flush=True)  # the last one printed names a crash
        check(*call)
    property_holds()


def test_random_and_hostile_inputs_never_crash():
    out = subprocess.run([sys.executable, "-c", "import test_leaks as t; t.run_examples()"],
                         cwd=os.path.dirname(__file__), capture_output=True, text=True)
    assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]


TRACE = (b'{"version":"0.1","id":"r1","kind":"chat_response","ts":"t","parent":"p","meta":{"m":[1.5,-2]},'
         b'"payload":{"content":[{"type":"text","text":"h\\u00e9llo \\"q\\""}],"usage":{"input_tokens":3},"ok":true}}\n'
         b'["0.1","r2","tool_call","t",null,null,{"name":"lookup","input":{"k":18446744073709551615}}]\n')


def deep(*values):
    """The values and every container and str in them but strs the interpreter shares (1-char, static)."""
    out, todo = [], list(values)
    while todo:
        v = todo.pop()
        shared = isinstance(v, str) and (len(v) < 2 or sys.getrefcount(v) > 10**8)
        out += [] if isinstance(v, (int, float, type(None))) or shared else [v]
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
