"""Random and hostile Python inputs for the five functions: hypothesis draws
object trees mixing plain data, subclasses of the built-in types and hostile
objects whose __len__, __getitem__, keys(), values(), __float__ or __index__
raise, lie or mutate the containers being converted. It runs in a child
process that names each call before making it, so that a crash fails the test
with that call. Every call returns the documented type or raises ValueError,
TypeError, OverflowError, or the module's internal error for a dict resized
while it is visited; a hostile seed's own exception passes through."""

import collections.abc
import json
import os
import subprocess
import sys

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvane import _core as core

EXAMPLES = int(os.environ.get("KORVANE_HOSTILE_EXAMPLES", "300"))


class HostileError(Exception):
    pass


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
        self.act("len")
        n = len(self.data)
        return {"big": n + 3, "small": max(0, n - 1), "huge": sys.maxsize, "changes": n + self.calls % 3}.get(self.how, n)

    def __getitem__(self, i):
        self.act("item")
        return self.data[i]

    def keys(self):
        self.act("keys")
        ks = list(self.data)
        return {"big": ks + ["extra"], "small": ks[1:], "changes": [1] + ks}.get(self.how, ks)

    def values(self):
        self.act("values")
        return list(self.data.values())[::-1] + [None] if self.how == "big" else list(self.data.values())

    def __float__(self):
        self.act("float")
        for victim in self.victims:  # prices resized and rekeyed while read
            if isinstance(victim, dict) and self.how in ("big", "changes"):
                victim["re%d" % len(victim)] = victim.pop(next(iter(victim))) if victim and self.how == "changes" else 1.0
        return "1.0" if self.how == "small" else 2.5

    def __index__(self):
        self.act("index")
        return {"big": 2**70, "small": -3, "changes": 1.5}.get(self.how, 11)


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
    payload = draw(trees(victims) | st.builds(lambda text, extra: {
        "model": "m", "usage": {"input_tokens": 10, "output_tokens": 5}, "content": [{"type": "text", "text": text}],
        **extra}, st.text(max_size=20) | trees(victims), st.dictionaries(st.text(max_size=4), trees(victims), max_size=2)))
    fields = {"version": "0.1", "id": "r", "kind": draw(st.sampled_from(["chat_response", "tool_call", "nope"])),
              "ts": "t", "parent": draw(st.none() | st.just("p")), "payload": payload}
    return draw(st.just(fields) | trees(victims))


def line(record):
    try:
        return json.dumps(record)
    except (TypeError, ValueError):
        return "{"


@st.composite
def calls(draw):
    victims = []
    name = draw(st.sampled_from(["canonical_bytes", "content_id", "write_agentlog", "compute_diff_report", "parse_agentlog"]))
    # Arguments of the right type, nine times in ten.
    usually = lambda right: right if draw(st.integers(0, 9)) else trees(victims)  # noqa: E731
    lists = usually(st.lists(records(victims), max_size=3))
    if name in ("canonical_bytes", "content_id"):
        return name, [draw(trees(victims))]
    if name == "write_agentlog":
        return name, [draw(lists)]
    if name == "parse_agentlog":
        traces = st.lists(records([]), max_size=3).map(lambda rs: "".join(line(r) + "\n" for r in rs).encode())
        return name, [draw(usually(st.binary(max_size=200) | traces))]
    prices = st.dictionaries(st.text(max_size=3), st.tuples(trees(victims), trees(victims)) | trees(victims), max_size=3)
    pricing = draw(st.none() | usually(prices))
    victims.append(pricing) if isinstance(pricing, dict) else None
    return name, [draw(lists), draw(lists), pricing, draw(st.none() | usually(st.integers(-5, 2**64 + 5)))]


def check(name, args):
    try:
        result = getattr(core, name)(*args)
    except (ValueError, TypeError, OverflowError) as e:
        assert str(e) or isinstance(e, TypeError), f"empty message from {type(e).__name__}"
        return
    except HostileError:
        # Only the seed's own conversion lets other exceptions through.
        assert name == "compute_diff_report" and isinstance(args[3], Hostile), "leaked HostileError"
        return
    except BaseException as e:
        t = type(e)
        assert (t.__module__, t.__name__, t.__bases__) == ("korvane._core", "InternalError", (BaseException,)), repr(e)
        assert "during iteration" in str(e), repr(e)
        return
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
    out = subprocess.run([sys.executable, "-c", "import test_fuzz_hostile as t; t.run_examples()"],
                         cwd=os.path.dirname(__file__), capture_output=True, text=True)
    assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]
