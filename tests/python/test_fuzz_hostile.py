"""Random and hostile Python inputs for the five functions.

Hypothesis draws recipes: JSON-shaped descriptions of object trees whose
nodes may be plain data, subclasses of the built-in types, or hostile objects
(sequences and mappings whose length, items or keys raise, lie or change;
dict subclasses whose keys() disagree with their contents; objects whose
__float__ or __index__ raise or mutate the containers being converted;
exceptions whose __str__ fails). A worker process builds each recipe and
makes the call, so that a crash fails the test with the recipe instead of
killing pytest. Every call must return a result of the documented type or
raise ValueError, TypeError, OverflowError or the module's internal error
(for a dict resized during the visit of the price list); a hostile seed's own
exception passes through unchanged.
"""

import json
import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

EXAMPLES = int(os.environ.get("KORVANE_HOSTILE_EXAMPLES", "300"))

SEQ_BEHAVIOURS = ["plain", "len_raises", "len_big", "len_small", "len_huge", "getitem_raises",
                  "len_changes", "bad_str", "mutate"]
MAP_BEHAVIOURS = ["plain", "keys_raises", "values_raises", "keys_more", "keys_fewer",
                  "keys_non_str", "len_big", "len_huge", "keys_tuple", "mutate", "bad_str"]
DICT_BEHAVIOURS = ["keys_more", "keys_fewer", "keys_raises", "len_big", "values_swapped", "mutate"]
FLOAT_BEHAVIOURS = ["value", "raises", "not_float", "grow_pricing", "shrink_pricing", "rekey_pricing",
                    "mutate"]
INDEX_BEHAVIOURS = ["value", "raises_type", "raises_other", "huge", "negative", "not_int"]
MUTATIONS = ["clear", "append", "pop", "set_key", "del_key"]

# ---------------------------------------------------------------- recipes


def mostly(usual, rare, tenths=8):
    """usual about tenths/10 of the time, else rare."""
    return st.integers(0, 9).flatmap(lambda i: usual if i < tenths else rare)


plain_leaves = st.one_of(
    st.just(["none"]),
    st.booleans().map(lambda b: ["bool", b]),
    st.one_of(st.integers(-2**70, 2**70), st.integers(-2**200, 2**200)).map(lambda n: ["int", str(n)]),
    st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 1e300, 5e-324])).map(lambda x: ["float", repr(x)]),
    st.text(max_size=12).map(lambda s: ["str", s]),
    st.sampled_from(["e\u0301", "\u212b", "x\x00y", "refuse"]).map(lambda s: ["str", s]),
)
junk_leaves = st.one_of(
    st.sampled_from(["\ud800"]).map(lambda s: ["str", s]),
    st.binary(max_size=6).map(lambda b: ["bytes", b.hex()]),
    st.binary(max_size=6).map(lambda b: ["bytearray", b.hex()]),
    st.just(["object"]),
    st.sampled_from(FLOAT_BEHAVIOURS).map(lambda b: ["floaty", b]),
    st.sampled_from(INDEX_BEHAVIOURS).map(lambda b: ["indexy", b]),
)
# Mostly data, now and then something that cannot be converted.
leaves = mostly(plain_leaves, junk_leaves)
keys = st.one_of(
    st.text(max_size=6).map(lambda s: ["str", s]),
    st.sampled_from(["model", "content", "usage", "text", "type", "input"]).map(lambda s: ["str", s]),
    st.text(max_size=4).map(lambda s: ["strsub", s]),
    st.integers(0, 3).map(lambda n: ["int", str(n)]),
)
mutation = st.tuples(st.sampled_from(MUTATIONS), st.integers(0, 7))


def containers(children):
    items = st.lists(children, max_size=4)
    members = st.lists(st.tuples(keys, children), max_size=4)
    return st.one_of(
        items.map(lambda c: ["list", c]),
        items.map(lambda c: ["tuple", c]),
        items.map(lambda c: ["listsub", c]),
        members.map(lambda m: ["dict", m]),
        st.lists(leaves, max_size=3).map(lambda c: ["set", c]),
        st.tuples(st.sampled_from(SEQ_BEHAVIOURS), mutation, items).map(lambda t: ["seq", *t]),
        st.tuples(st.sampled_from(MAP_BEHAVIOURS), mutation, members).map(lambda t: ["map", *t]),
        st.tuples(st.sampled_from(DICT_BEHAVIOURS), mutation, members).map(lambda t: ["dictsub", *t]),
    )


values = st.recursive(leaves, containers, max_leaves=12)

good_texts = st.sampled_from(["0.1", "r1", "p", "2024-01-01T00:00:00Z"]).map(lambda s: ["str", s])
texts = mostly(good_texts, leaves, 9)
good_kinds = st.sampled_from(["chat_response", "chat_response", "chat_request", "metadata", "tool_call"]).map(
    lambda s: ["str", s])
kinds = mostly(good_kinds, leaves, 9)


def text_block(text):
    return ["dict", [[["str", "type"], ["str", "text"]], [["str", "text"], text]]]


response_payloads = st.builds(
    lambda model, text, usage, extra: ["dict", [
        [["str", "model"], model],
        [["str", "content"], ["list", [text_block(text)]]],
        [["str", "usage"], usage],
    ] + extra],
    st.one_of(st.just(["str", "m"]), leaves),
    st.one_of(st.text(max_size=30).map(lambda s: ["str", s]), values),
    st.one_of(st.just(["dict", [[["str", "input_tokens"], ["int", "10"]], [["str", "output_tokens"], ["int", "5"]]]]),
              values),
    st.lists(st.tuples(keys, values), max_size=2).map(lambda m: [list(x) for x in m]),
)


def record_recipe(payloads):
    return st.builds(
        lambda version, id_, kind, ts, parent, payload, extra: ["dict", [
            [["str", "version"], version], [["str", "id"], id_], [["str", "kind"], kind], [["str", "ts"], ts],
            [["str", "parent"], parent], [["str", "payload"], payload]] + extra],
        texts, texts, kinds, texts, st.one_of(st.just(["none"]), texts), payloads,
        st.lists(st.tuples(keys, values), max_size=1).map(lambda m: [list(x) for x in m]),
    )


good_records = record_recipe(mostly(response_payloads, values, 7))
records = mostly(good_records, values, 9)
good_record_lists = st.lists(records, max_size=4).map(lambda r: ["list", r])
record_lists = mostly(good_record_lists, values, 9)
price_items = st.one_of(plain_leaves, st.sampled_from(FLOAT_BEHAVIOURS).map(lambda b: ["floaty", b]))
price_values = st.one_of(
    st.lists(price_items, min_size=2, max_size=2).map(lambda c: ["tuple", c]),
    st.lists(price_items, min_size=2, max_size=2).map(lambda c: ["tuple", c]),
    st.lists(leaves, max_size=8).map(lambda c: ["list", c]),
    st.lists(st.tuples(st.sampled_from(["input", "output", "cached_input", "other"]).map(lambda s: ["str", s]),
                       leaves), max_size=4).map(lambda m: ["dict", [list(x) for x in m]]),
    values,
)
pricings = st.one_of(
    st.just(["none"]),
    st.lists(st.tuples(st.one_of(st.just(["str", "m"]), keys), price_values), max_size=3).map(
        lambda m: ["pricing", [list(x) for x in m]]),
)
int_seeds = st.integers(-5, 2**64 + 5).map(lambda n: ["int", str(n)])
seeds = mostly(st.one_of(st.just(["none"]), int_seeds), leaves)

calls = st.one_of(
    st.tuples(st.sampled_from(["canonical_bytes", "content_id"]), values).map(list),
    st.tuples(st.just("write_agentlog"), record_lists).map(list),
    st.tuples(st.just("compute_diff_report"), record_lists, record_lists, pricings, seeds).map(list),
    st.tuples(st.just("parse_agentlog"), st.one_of(
        st.binary(max_size=200).map(lambda b: ["bytes", b.hex()]),
        st.lists(records, max_size=3).map(lambda r: ["trace", r]),
        leaves)).map(list),
)

# ---------------------------------------------------------------- worker

WORKER = r'''
import collections.abc, json, sys
from korvane import _core as core

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
    def __init__(self):
        self.containers = []
        self.pricing = None

    def mutate(self, spec):
        action, target = spec
        if not self.containers:
            return
        c = self.containers[target % len(self.containers)]
        if isinstance(c, list):
            if action == "clear": c.clear()
            elif action in ("append", "set_key"): c.append(["junk"] * 3)
            elif c: c.pop()
        elif isinstance(c, dict):
            if action == "clear": c.clear()
            elif action in ("append", "set_key"): c["junk%d" % len(c)] = 1
            elif c: c.pop(next(iter(c)))

def build(r, ctx):
    tag = r[0]
    if tag == "none": return None
    if tag == "bool": return r[1]
    if tag == "int": return int(r[1])
    if tag == "float": return float(r[1])
    if tag == "str": return r[1]
    if tag == "strsub": return StrSub(r[1])
    if tag == "bytes": return bytes.fromhex(r[1])
    if tag == "bytearray": return bytearray.fromhex(r[1])
    if tag == "object": return object()
    if tag == "floaty": return Floaty(r[1], ctx)
    if tag == "indexy": return Indexy(r[1])
    if tag in ("list", "tuple", "listsub", "set"):
        out = [] if tag != "listsub" else ListSub()
        ctx.containers.append(out)
        for c in r[1]:
            out.append(build(c, ctx))
        if tag == "tuple": return tuple(out)
        if tag == "set":
            try: return set(out)
            except TypeError: return set()
        return out
    if tag in ("dict", "pricing"):
        out = {}
        if tag == "pricing": ctx.pricing = out
        ctx.containers.append(out)
        for k, v in r[1]:
            try: out[build(k, ctx)] = build(v, ctx)
            except TypeError: pass
        return out
    if tag == "seq":
        return Seq(r[1], r[2], [build(c, ctx) for c in r[3]], ctx)
    if tag == "map":
        return Map(r[1], r[2], [(build(k, ctx), build(v, ctx)) for k, v in r[3]], ctx)
    if tag == "dictsub":
        d = DictSub(r[1], r[2], ctx)
        ctx.containers.append(d)
        for k, v in r[3]:
            try: dict.__setitem__(d, build(k, ctx), build(v, ctx))
            except TypeError: pass
        return d
    if tag == "trace":
        lines = []
        for c in r[1]:
            try: lines.append(json.dumps(build(c, Context())))
            except (TypeError, ValueError): lines.append("{")
        return ("\n".join(lines) + "\n").encode("utf-8", "surrogatepass")
    raise AssertionError(tag)

class Seq(collections.abc.Sequence):
    def __init__(self, behaviour, mutation, items, ctx):
        self.b, self.m, self.items, self.ctx, self.calls = behaviour, mutation, items, ctx, 0
    def __len__(self):
        self.calls += 1
        b = self.b
        if b == "len_raises": raise HostileError("len")
        if b == "bad_str": raise BadStr()
        if b == "len_big": return len(self.items) + 3
        if b == "len_small": return max(0, len(self.items) - 1)
        if b == "len_huge": return sys.maxsize
        if b == "len_changes": return len(self.items) + self.calls % 3
        return len(self.items)
    def __getitem__(self, i):
        if self.b == "getitem_raises": raise HostileError("item")
        if self.b == "mutate": self.ctx.mutate(self.m)
        return self.items[i]

class Map(collections.abc.Mapping):
    def __init__(self, behaviour, mutation, members, ctx):
        self.b, self.m, self.ctx = behaviour, mutation, ctx
        self.data = {}
        for k, v in members:
            try: self.data[k] = v
            except TypeError: pass
    def __len__(self):
        if self.b == "len_big": return len(self.data) + 2
        if self.b == "len_huge": return sys.maxsize
        if self.b == "bad_str": raise BadStr()
        return len(self.data)
    def __iter__(self):
        return iter(self.data)
    def __getitem__(self, k):
        return self.data[k]
    def keys(self):
        b = self.b
        if b == "keys_raises": raise HostileError("keys")
        if b == "mutate": self.ctx.mutate(self.m)
        ks = list(self.data)
        if b == "keys_more": return ks + ["extra"]
        if b == "keys_fewer": return ks[1:]
        if b == "keys_non_str": return [1] + ks
        if b == "keys_tuple": return tuple(ks)
        return ks
    def values(self):
        if self.b == "values_raises": raise HostileError("values")
        if self.b == "mutate": self.ctx.mutate(self.m)
        return list(self.data.values())

class DictSub(dict):
    def __init__(self, behaviour, mutation, ctx):
        super().__init__()
        self.b, self.m, self.ctx = behaviour, mutation, ctx
    def keys(self):
        b = self.b
        if b == "keys_raises": raise HostileError("keys")
        if b == "mutate": self.ctx.mutate(self.m)
        ks = list(dict.keys(self))
        if b == "keys_more": return ks + ["extra", "more"]
        if b == "keys_fewer": return ks[:-1]
        return ks
    def values(self):
        vs = list(dict.values(self))
        if self.b == "values_swapped": return vs[::-1] + [None]
        return vs
    def __len__(self):
        n = dict.__len__(self)
        return n + 5 if self.b == "len_big" else n
    def __iter__(self):
        if self.b == "mutate": self.ctx.mutate(self.m)
        return iter(list(dict.keys(self)))

class Floaty:
    def __init__(self, behaviour, ctx):
        self.b, self.ctx = behaviour, ctx
    def __float__(self):
        b, p = self.b, self.ctx.pricing
        if b == "raises": raise HostileError("float")
        if b == "not_float": return "1.0"
        if p is not None:
            if b == "grow_pricing": p["grown%d" % len(p)] = (1.0, 2.0)
            elif b == "shrink_pricing" and p: p.pop(next(iter(p)))
            elif b == "rekey_pricing" and p:
                k = next(iter(p)); v = p.pop(k); p["re" + str(k)] = v
        if b == "mutate": self.ctx.mutate(("clear", 0))
        return 2.5

class Indexy:
    def __init__(self, behaviour):
        self.b = behaviour
    def __index__(self):
        b = self.b
        if b == "raises_type": raise TypeError("no index")
        if b == "raises_other": raise HostileError("index")
        if b == "huge": return 2**70
        if b == "negative": return -3
        if b == "not_int": return 1.5
        return 11

EXPECTED = {"parse_agentlog": list, "write_agentlog": bytes, "canonical_bytes": bytes,
            "content_id": str, "compute_diff_report": dict}
ALLOWED = (ValueError, TypeError, OverflowError)

def outcome(call):
    ctx = Context()
    name = call[0]
    args = [build(r, ctx) for r in call[1:]]
    try:
        result = getattr(core, name)(*args)
    except ALLOWED as e:
        if str(e) == "" and not isinstance(e, TypeError):
            return "empty message from %s" % type(e).__name__
        return "ok"
    except HostileError:
        # Only the seed's own conversion lets other exceptions through.
        return "ok" if name == "compute_diff_report" and call[4][0] == "indexy" else "leaked HostileError"
    except BaseException as e:
        t = type(e)
        if t.__module__ == "korvane._core" and t.__name__ == "InternalError" and t.__bases__ == (BaseException,):
            return "ok" if "during iteration" in str(e) else "internal error: %s" % e
        return "unexpected %s.%s: %s" % (t.__module__, t.__qualname__, e)
    if type(result) is not EXPECTED[name]:
        return "returned %r" % type(result)
    if name == "content_id" and not (result.startswith("sha256:") and len(result) == 71):
        return "bad id %r" % result
    return "ok"

for line in sys.stdin:
    try:
        answer = outcome(json.loads(line))
    except RecursionError as e:
        answer = "ok"
    sys.stdout.write(json.dumps(answer) + "\n")
    sys.stdout.flush()
'''


class Worker:
    """A long-lived interpreter that runs calls; restarted after a crash."""

    def __init__(self):
        self.process = None

    def start(self):
        self.process = subprocess.Popen(
            [sys.executable, "-c", WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True, encoding="utf-8", errors="surrogatepass")

    def run(self, call):
        if self.process is None or self.process.poll() is not None:
            self.start()
        line = json.dumps(call) + "\n"
        try:
            self.process.stdin.write(line)
            self.process.stdin.flush()
            answer = self.process.stdout.readline()
        except BrokenPipeError:
            answer = ""
        if not answer:
            self.process.stdin.close()
            stderr = self.process.stderr.read()
            code = self.process.wait()
            self.process = None
            return f"worker died with status {code}: {stderr[-2000:]}"
        return json.loads(answer)

    def close(self):
        if self.process is not None:
            self.process.stdin.close()
            self.process.wait(timeout=30)


@pytest.fixture(scope="module")
def worker():
    w = Worker()
    yield w
    w.close()


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(call=calls)
def test_random_and_hostile_inputs_never_crash(worker, call):
    assert worker.run(call) == "ok", call


# Hand-picked hostile cases that random drawing reaches only rarely.
PICKED = [
    # A sequence element that empties the records list while it is converted.
    ["write_agentlog", ["list", [["dict", [[["str", "payload"], ["seq", "mutate", ["clear", 0], [["int", "1"]]]]]]]]],
    # The same for the candidate list of a diff, and for the price list.
    ["compute_diff_report", ["list", []], ["list", [["dict", [[["str", "payload"], ["map", "mutate", ["clear", 1], [
        [["str", "a"], ["none"]]]]]]]]], ["none"], ["int", "1"]],
    ["compute_diff_report", ["list", []], ["list", []], ["pricing", [
        [["str", "a"], ["tuple", [["floaty", "grow_pricing"], ["float", "1.0"]]]],
        [["str", "b"], ["tuple", [["floaty", "shrink_pricing"], ["float", "1.0"]]]]]], ["none"]],
    ["compute_diff_report", ["list", []], ["list", []], ["pricing", [
        [["str", "a"], ["tuple", [["floaty", "rekey_pricing"], ["float", "1.0"]]]]]], ["none"]],
    ["compute_diff_report", ["list", []], ["list", []], ["pricing", [
        [["str", "a"], ["tuple", [["floaty", "mutate"], ["floaty", "mutate"]]]]]], ["int", "3"]],
    # Lengths far beyond the items.
    ["content_id", ["seq", "len_huge", ["clear", 0], []]],
    ["canonical_bytes", ["map", "len_huge", ["clear", 0], [[["str", "a"], ["int", "1"]]]]],
    ["content_id", ["dictsub", "len_big", ["clear", 0], [[["str", "a"], ["int", "1"]]]]],
    ["content_id", ["dictsub", "keys_more", ["clear", 0], [[["str", "a"], ["int", "1"]]]]],
    ["content_id", ["dictsub", "values_swapped", ["clear", 0], [[["str", "a"], ["int", "1"]]]]],
    ["content_id", ["map", "bad_str", ["clear", 0], []]],
    ["compute_diff_report", ["list", []], ["list", []], ["none"], ["indexy", "raises_other"]],
    ["compute_diff_report", ["list", []], ["list", []], ["none"], ["indexy", "not_int"]],
]


@pytest.mark.parametrize("call", PICKED, ids=range(len(PICKED)))
def test_picked_hostile_inputs(worker, call):
    assert worker.run(call) == "ok", call
