"""Random and hostile inputs for the five functions, drawn by hypothesis in a child
process that prints each call first: a crash fails the test and names the call."""

import collections.abc
import os
import subprocess
import sys

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvane import _core as core

EXAMPLES = int(os.environ.get("KORVANE_HOSTILE_EXAMPLES", "300"))
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
    except HostileError:  # only the seed's own conversion lets other exceptions through
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
    out = subprocess.run([sys.executable, "-c", "import test_fuzz_hostile as t; t.run_examples()"],
                         cwd=os.path.dirname(__file__), capture_output=True, text=True)
    assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]
