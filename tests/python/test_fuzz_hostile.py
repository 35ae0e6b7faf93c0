"""Random and hostile Python inputs for the five functions: hypothesis draws
recipes (JSON) of object trees mixing plain data, subclasses of the built-in
types and hostile objects whose __len__, __getitem__, keys(), values(),
__float__ or __index__ raise, lie or mutate the containers being converted. A
worker process imports this module, builds each recipe and makes the call, so
that a crash fails the test with its recipe instead of killing pytest. Every
call returns the documented type or raises ValueError, TypeError,
OverflowError, or the module's internal error for a dict resized while it is
visited; a hostile seed's own exception passes through unchanged."""

import collections.abc
import json
import os
import pathlib
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvane import _core as core

EXAMPLES = int(os.environ.get("KORVANE_HOSTILE_EXAMPLES", "300"))
SEQ = ["plain", "len_raises", "len_big", "len_small", "len_huge", "getitem_raises", "len_changes",
       "bad_str", "mutate"]
MAP = ["plain", "keys_raises", "values_raises", "keys_more", "keys_fewer", "keys_non_str", "keys_tuple",
       "len_big", "len_huge", "values_swapped", "mutate", "bad_str"]
FLOATY = ["value", "raises", "not_float", "grow_pricing", "shrink_pricing", "rekey_pricing", "mutate"]
INDEXY = ["value", "raises_type", "raises_other", "huge", "negative", "not_int"]

# ---------------------------------------------------------------- recipes
# A JSON scalar stands for itself; a list [tag, ...] is built by build().


def mostly(usual, rare, tenths=8):
    return st.integers(0, 9).flatmap(lambda i: usual if i < tenths else rare)


def tagged(tags, *parts):
    """[tag, *parts] with the tag, or one of the tags, given."""
    return st.tuples(st.sampled_from([tags] if isinstance(tags, str) else tags), *parts)


scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**200, 2**200), st.floats(), st.text(max_size=12),
                    st.sampled_from([2**63, 2**64 - 1, 2**64, -2**63 - 1, 1e300, 5e-324, -0.0,
                                     "e\u0301", "\u212b", "x\x00y", "refuse"]))
junk = st.one_of(st.just("\ud800"), st.just(["object"]),
                 tagged(["bytes", "bytearray"], st.binary(max_size=6).map(bytes.hex)),
                 tagged("floaty", st.sampled_from(FLOATY)), tagged("indexy", st.sampled_from(INDEXY)))
leaves = mostly(scalars, junk)  # mostly data, now and then something that cannot be converted
keys = st.one_of(st.text(max_size=6), st.sampled_from(["model", "content", "usage", "text", "type"]),
                 st.integers(0, 3), tagged("strsub", st.text(max_size=4)))
mutation = st.tuples(st.sampled_from(["clear", "append", "pop"]), st.integers(0, 7))


def members(values, **kw):
    return st.lists(st.tuples(keys, values), **kw)


def containers(children):
    items = st.lists(children, max_size=4)
    return st.one_of(tagged(["list", "tuple", "listsub"], items),
                     tagged("set", st.lists(leaves, max_size=3)), tagged("dict", members(children, max_size=4)),
                     tagged("seq", st.sampled_from(SEQ), mutation, tagged("list", items)),
                     tagged(["map", "dictsub"], st.sampled_from(MAP), mutation,
                            tagged("dict", members(children, max_size=4))))


values = st.recursive(leaves, containers, max_leaves=12)
texts = mostly(st.sampled_from(["0.1", "r1", "p", "2024-01-01T00:00:00Z"]), leaves, 9)
kinds = mostly(st.sampled_from(["chat_response", "chat_response", "chat_request", "metadata", "tool_call"]),
               leaves, 9)
USAGE = ["dict", [["input_tokens", 10], ["output_tokens", 5]]]
responses = st.builds(
    lambda model, text, usage, extra: ["dict", [["model", model], ["usage", usage], [
        "content", ["list", [["dict", [["type", "text"], ["text", text]]]]]]] + extra],
    st.just("m") | leaves, st.text(max_size=30) | values, st.just(USAGE) | values, members(values, max_size=2))
FIELDS = ["version", "id", "kind", "ts", "parent", "payload"]
good_records = st.tuples(texts, texts, kinds, texts, st.none() | texts, mostly(responses, values, 7),
                         members(values, max_size=1)).map(lambda t: ["dict", [*zip(FIELDS, t), *t[6]]])
records = mostly(good_records, values, 9)
record_lists = mostly(tagged("list", st.lists(records, max_size=4)), values, 9)
price_values = st.one_of(
    tagged("tuple", st.lists(scalars | tagged("floaty", st.sampled_from(FLOATY)), min_size=2, max_size=2)),
    tagged("list", st.lists(leaves, max_size=8)), values,
    tagged("dict", st.lists(st.tuples(st.sampled_from(["input", "output", "cached_input", "x"]), leaves),
                            max_size=4)))
pricings = st.none() | tagged("pricing", st.lists(st.tuples(st.just("m") | keys, price_values), max_size=3))
seeds = mostly(st.none() | st.integers(-5, 2**64 + 5), leaves)
calls = st.one_of(
    tagged(["canonical_bytes", "content_id"], values), tagged("write_agentlog", record_lists),
    tagged("compute_diff_report", record_lists, record_lists, pricings, seeds),
    tagged("parse_agentlog", st.one_of(tagged("bytes", st.binary(max_size=200).map(bytes.hex)),
                                                   tagged("trace", st.lists(records, max_size=3)), leaves)))

# ------------------------------------------- the worker's objects and loop


class HostileError(Exception):
    pass


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class StrSub(str):
    pass


class ListSub(list):
    def __len__(self):
        return 1 + super().__len__()

    def __getitem__(self, i):
        raise HostileError("list subclass item")


class Context:
    """The containers of one call, for the objects that mutate them."""

    def __init__(self):
        self.containers, self.pricing = [], None

    def mutate(self, spec):
        action, target = spec
        if not self.containers:
            return
        c = self.containers[target % len(self.containers)]
        if action == "clear":
            c.clear()
        elif action == "append":
            c.append(["junk"] * 3) if isinstance(c, list) else c.__setitem__("junk%d" % len(c), 1)
        elif c:
            c.pop() if isinstance(c, list) else c.pop(next(iter(c)))


class Hostile:
    """Base of the hostile objects: the behaviour b names what goes wrong."""

    def __init__(self, ctx, behaviour, mutation=("clear", 0), items=()):
        self.ctx, self.b, self.m, self.items, self.calls = ctx, behaviour, mutation, items, 0
        if isinstance(self, dict):
            dict.update(self, items)  # what a dict's fast paths see; its methods report items

    def act(self, *failing):
        """Raises if b is one of failing; mutates a container if b is "mutate"."""
        if self.b in failing:
            raise BadStr() if self.b == "bad_str" else HostileError(self.b)
        if self.b == "mutate":
            self.ctx.mutate(self.m)


class Seq(Hostile, collections.abc.Sequence):
    def __len__(self):
        self.act("len_raises", "bad_str")
        self.calls += 1
        n = len(self.items)
        return {"len_big": n + 3, "len_small": max(0, n - 1), "len_huge": sys.maxsize,
                "len_changes": n + self.calls % 3}.get(self.b, n)

    def __getitem__(self, i):
        self.act("getitem_raises")
        return self.items[i]


class HostileMapping(Hostile):
    """keys(), values(), __iter__ and __len__ that raise, lie or mutate;
    shared by a Mapping (Map) and a dict subclass (DictSub)."""

    def keys(self):
        self.act("keys_raises")
        ks = list(self.items)
        return {"keys_more": ks + ["extra", "more"], "keys_fewer": ks[1:], "keys_non_str": [1] + ks,
                "keys_tuple": tuple(ks)}.get(self.b, ks)

    def values(self):
        self.act("values_raises")
        vs = list(self.items.values())
        return vs[::-1] + [None] if self.b == "values_swapped" else vs

    def __iter__(self):
        self.act()
        return iter(list(self.items))

    def __len__(self):
        self.act("bad_str")
        n = len(self.items)
        return {"len_big": n + 2, "len_huge": sys.maxsize}.get(self.b, n)


class Map(HostileMapping, collections.abc.Mapping):
    def __getitem__(self, k):
        return self.items[k]


class DictSub(HostileMapping, dict):
    pass


class Floaty(Hostile):
    def __float__(self):
        self.act("raises")
        b, p = self.b, self.ctx.pricing
        if b == "not_float":
            return "1.0"
        if b == "grow_pricing" and p is not None:
            p["grown%d" % len(p)] = (1.0, 2.0)
        elif b == "shrink_pricing" and p:
            p.pop(next(iter(p)))
        elif b == "rekey_pricing" and p:
            k = next(iter(p))
            p["re" + str(k)] = p.pop(k)
        return 2.5


class Indexy(Hostile):
    def __index__(self):
        if self.b == "raises_type":
            raise TypeError("no index")
        self.act("raises_other")
        return {"huge": 2**70, "negative": -3, "not_int": 1.5}.get(self.b, 11)


HOSTILE = {"seq": Seq, "map": Map, "dictsub": DictSub, "floaty": Floaty, "indexy": Indexy}


def build(r, ctx):
    if not isinstance(r, list):
        return r
    tag, *args = r
    if tag in HOSTILE:
        return HOSTILE[tag](ctx, *args[:2], *(build(a, ctx) for a in args[2:]))
    if tag == "trace":
        lines = []
        for c in args[0]:
            try:
                lines.append(json.dumps(build(c, Context())))
            except (TypeError, ValueError):
                lines.append("{")
        return ("\n".join(lines) + "\n").encode()
    if tag in ("dict", "pricing"):
        out = {}
        if tag == "pricing":
            ctx.pricing = out
        ctx.containers.append(out)
        out.update((build(k, ctx), build(v, ctx)) for k, v in args[0])
        return out
    if tag not in ("list", "tuple", "listsub", "set"):
        return {"strsub": StrSub, "bytes": bytes.fromhex, "bytearray": bytearray.fromhex,
                "object": object}[tag](*args)
    out = ListSub() if tag == "listsub" else []
    ctx.containers.append(out)
    out.extend(build(c, ctx) for c in args[0])
    if tag == "set":
        try:
            return set(out)
        except TypeError:
            return set()
    return tuple(out) if tag == "tuple" else out


def outcome(call):
    name = call[0]
    # The arguments of one call share a context: a price's __float__ may
    # resize the price list, a mutating element any container of the call.
    ctx = Context()
    args = [build(r, ctx) for r in call[1:]]
    try:
        result = getattr(core, name)(*args)
    except (ValueError, TypeError, OverflowError) as e:
        return "ok" if str(e) or isinstance(e, TypeError) else f"empty message from {type(e).__name__}"
    except HostileError:
        # Only the seed's own conversion lets other exceptions through.
        return "ok" if name == "compute_diff_report" and isinstance(args[3], Indexy) else "leaked HostileError"
    except BaseException as e:
        t = type(e)
        if t.__module__ == "korvane._core" and t.__name__ == "InternalError" and t.__bases__ == (BaseException,):
            return "ok" if "during iteration" in str(e) else "internal error: %s" % e
        return "unexpected %s.%s: %s" % (t.__module__, t.__qualname__, e)
    expected = {"parse_agentlog": list, "write_agentlog": bytes, "canonical_bytes": bytes, "content_id": str,
                "compute_diff_report": dict}[name]
    if type(result) is not expected:
        return "returned %r" % type(result)
    if name == "content_id" and not (result.startswith("sha256:") and len(result) == 71):
        return "bad id %r" % result
    return "ok"


def serve():
    for line in sys.stdin:
        try:
            answer = outcome(json.loads(line))
        except RecursionError:
            answer = "ok"
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


# ---------------------------------------------------------------- tests


class Worker:
    """A long-lived interpreter that runs calls; restarted after a crash."""
    process = None

    def run(self, call):
        if self.process is None or self.process.poll() is not None:
            self.process = subprocess.Popen(
                [sys.executable, "-c", "import test_fuzz_hostile as t; t.serve()"],
                cwd=pathlib.Path(__file__).parent, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, text=True, errors="replace")
        try:
            self.process.stdin.write(json.dumps(call) + "\n")
            self.process.stdin.flush()
            answer = self.process.stdout.readline()
        except BrokenPipeError:
            answer = ""
        if answer:
            return json.loads(answer)
        self.process.stdin.close()
        stderr, code = self.process.stderr.read(), self.process.wait()
        self.process = None
        return f"worker died with status {code}: {stderr[-2000:]}"


@pytest.fixture(scope="module")
def worker():
    w = Worker()
    yield w
    if w.process is not None:
        w.process.stdin.close()
        w.process.wait(timeout=30)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(call=calls)
def test_random_and_hostile_inputs_never_crash(worker, call):
    assert worker.run(call) == "ok", call


EMPTY, A1 = ["list", []], ["dict", [["a", 1]]]


def diff(candidate=EMPTY, pricing=None, seed=None):
    return ["compute_diff_report", EMPTY, candidate, pricing, seed]


def prices(*behaviours):
    """A price list whose n-th model has a Floaty of the n-th behaviour as its input price."""
    return ["pricing", [[f"m{i}", ["tuple", [["floaty", b], 1.0]]] for i, b in enumerate(behaviours)]]


# Hostile cases that random drawing reaches only rarely.
PICKED = [
    # An element that empties the records list while it is converted; the
    # same for the candidate list of a diff, and for the price list.
    ["write_agentlog", ["list", [["dict", [["payload", ["seq", "mutate", ["clear", 0], ["list", [1]]]]]]]]],
    diff(candidate=["list", [["dict", [["payload", ["map", "mutate", ["clear", 1], A1]]]]]], seed=1),
    diff(pricing=prices("grow_pricing", "shrink_pricing")), diff(pricing=prices("rekey_pricing")),
    diff(pricing=prices("mutate", "mutate"), seed=3),
    # Lengths far beyond the items, keys and values that disagree, a length
    # whose exception cannot be shown.
    ["content_id", ["seq", "len_huge", ["clear", 0], EMPTY]],
    ["canonical_bytes", ["map", "len_huge", ["clear", 0], A1]],
    *(["content_id", ["dictsub", b, ["clear", 0], A1]] for b in ["len_big", "keys_more", "values_swapped"]),
    ["content_id", ["map", "bad_str", ["clear", 0], ["dict", []]]],
    diff(seed=["indexy", "raises_other"]), diff(seed=["indexy", "not_int"]),
]


@pytest.mark.parametrize("call", PICKED, ids=range(len(PICKED)))
def test_picked_hostile_inputs(worker, call):
    assert worker.run(call) == "ok", call
