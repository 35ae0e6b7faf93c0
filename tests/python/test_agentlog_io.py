"""parse_agentlog and write_agentlog: the vectors, the required fields, the skipper's messages,
real traces and random records against Python's json module, the two roads of write_agentlog."""

import collections.abc
import functools
import itertools
import json
import math
import random
import struct
import sys

import pytest

from korvane import _core as core
from vectors import CORPUS, load, record

FIELDS = ["version", "id", "kind", "ts", "parent", "meta", "payload"]
REQUIRED = ["version", "id", "kind", "ts", "payload"]  # in the order the decoders check them
KINDS = ["metadata", "chat_request", "chat_response", "tool_call", "tool_result", "error", "replay_summary"]
HINT = "\nhint: verify the record matches the envelope schema (SPEC §3)"
Dict = type("Dict", (dict,), {})  # never a plain record: write_agentlog takes the general road
Str = type("Str", (str,), {})


def outcome(function, *args):
    try:
        return ("ok", function(*args))
    except ValueError as exc:
        return (type(exc).__name__, exc.args)


def write_on_both_roads(records):
    return [outcome(core.write_agentlog, records), outcome(core.write_agentlog, [Dict(r) for r in records])]


def read_payload(text):
    return core.parse_agentlog(b'{"version":"v","id":"i","kind":"error","ts":"t","payload":%s}' % text.encode())[0]["payload"]


# Reader limits cannot be changed from Python: the C++ tests run the vectors
# that set them. A record vector's value is built by json.loads (so it may
# nest beyond the reader's cap) and written on both roads when it is a dict.
@pytest.mark.parametrize("vector", [pytest.param(v, id="reader: " + v["name"]) for v in load("reader.jsonl")
                                    if "args" not in v]
                         + [pytest.param(v, id="record: " + v["name"]) for v in load("record_from_value.jsonl")])
def test_vectors(vector):
    expected = ("ok", vector["expected"].encode()) if vector["ok"] else ("ValueError", (vector["expected"][:-1],))
    if vector["call"] == "parse_agentlog":
        assert outcome(lambda: core.write_agentlog(core.parse_agentlog(vector["data"]))) == expected
    else:
        value = json.loads(vector["input"])
        got = write_on_both_roads([value]) if isinstance(value, dict) else [outcome(core.write_agentlog, [value])]
        assert got == [expected] * len(got)


@pytest.mark.parametrize("vector", load("double_form.jsonl"), ids=lambda v: v["name"])
def test_double_forms(vector):
    # A decimal reads as Python's float reads it, a double (given by its
    # bits, or read) is written in the trace's form, which reads back as it.
    line = vector["input"].strip()
    d = struct.unpack(">d", bytes.fromhex(line[5:]))[0] if line.startswith("bits:") else float(line)
    if not line.startswith("bits:"):
        assert struct.pack(">d", read_payload(line if set(line) & set(".eE") else line + ".0")) == struct.pack(">d", d)
    written = core.write_agentlog([record(d)]).rsplit(b'"payload":', 1)[1][:-2].decode()
    assert written + "\n" == vector["expected"]
    assert not math.isfinite(d) or struct.pack(">d", read_payload(written)) == struct.pack(">d", d)


def test_a_record_missing_fields_names_the_first_required_one():
    # Every subset of the fields, in two orders, read from a line and decoded on both roads.
    full = {"version": "0.1", "id": "i", "kind": "error", "ts": "t", "parent": None, "meta": {}, "payload": 1}
    for present in itertools.chain.from_iterable(itertools.combinations(FIELDS, n) for n in range(len(FIELDS) + 1)):
        missing = [name for name in REQUIRED if name not in present]
        for value in ({name: full[name] for name in present}, {name: full[name] for name in reversed(present)}):
            line = json.dumps(value, separators=(",", ":")).encode()
            got = [outcome(core.parse_agentlog, line)] + write_on_both_roads([value])
            if missing:
                message = f"missing field `{missing[0]}`"
                assert got == [("ValueError", (f"parse error on line 1: {message} at line 1 column {len(line)}{HINT}",)),
                               ("ValueError", (message,)), ("ValueError", (message,))], line
            else:
                assert [result for result, _ in got] == ["ok"] * 3, line


# Beside the vectors: the skipper's messages (an unknown member's value) beside the reader's for
# the same fault in the payload, the kind's object form, hostile lines.
@pytest.mark.parametrize("line, message", [
    (b'{"x":{"a":1,', "EOF while parsing an object at line 1 column 12"),
    (b'{"payload":{"a":1,', "EOF while parsing a value at line 1 column 18"),
    (b'{"x":-', "invalid number at line 1 column 6"),
    (b'{"payload":-', "EOF while parsing a value at line 1 column 12"),
    (b'{"kind":{', "EOF while parsing a value at line 1 column 9"),
    (b'{"kind":{1:null}}', "invalid type: integer `1`, expected variant identifier at line 1 column 10"),
    (b'{"payload":"a\x00b"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 14"),
    (b'{\x00}', "key must be a string at line 1 column 2"),
    (b'{"payload":' + b"[" * 10000, "recursion limit exceeded at line 1 column 138"),
    (b'{"x":' + b"[" * 10000, "recursion limit exceeded at line 1 column 132"),
    (b'{"a":' * 10000, "recursion limit exceeded at line 1 column 636"),
    (b'{"payload":1' + b"0" * 399 + b"}", "number out of range at line 1 column 411"),
], ids=lambda x: x[:24].decode(errors="replace") if isinstance(x, bytes) else None)
def test_lines_fail_with_their_message(line, message):
    assert outcome(core.parse_agentlog, line) == ("ValueError", (f"parse error on line 1: {message}{HINT}",))


def test_messages_keep_text_after_a_nul_character():
    _, (message,) = outcome(core.write_agentlog, [record(None, kind="a\x00b")])
    assert message.startswith("unknown variant `a\x00b`, expected one of `metadata`")
    assert outcome(core.parse_agentlog, b'{"kind":"a\\u0000b"}')[1][0].startswith("parse error on line 1: " + message)


def test_records_list_shrinking_during_write_is_walked_within_bounds():
    records = [record(1), record(2), record(3)]

    class Payload(collections.abc.Sequence):
        """A payload whose length lookup empties the records list."""

        def __len__(self):
            del records[1:]
            return 0

        def __getitem__(self, i):
            raise IndexError

    records[0] = record(Payload())
    assert core.write_agentlog(records).count(b"\n") == 1


def test_plain_road_respects_the_nesting_cap():
    deep = functools.reduce(lambda value, _: [value], range(998), [])
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(10**5)
    try:
        assert core.write_agentlog([record(deep)]) == core.write_agentlog([Dict(record(deep))])
        with pytest.raises(ValueError, match="^RecursionError: maximum recursion depth exceeded"):
            core.write_agentlog([record([deep])])
    finally:
        sys.setrecursionlimit(old)


@pytest.mark.parametrize("path", sorted(CORPUS.glob("*.agentlog")), ids=lambda p: p.name)
def test_corpus_traces_read_like_json_and_round_trip(path):
    data = path.read_bytes()
    records = core.parse_agentlog(data)
    # Each line as Python's json module reads it: parent always present, meta only when not null.
    assert records == [{name: value.get(name) for name in FIELDS if name != "meta" or value.get(name) is not None}
                       for value in map(json.loads, data.splitlines())]
    written = core.write_agentlog(records)
    assert core.parse_agentlog(written) == records and core.write_agentlog(core.parse_agentlog(written)) == written


# Random values, edge values first. The wide ones only the general conversion decides on: integers
# beyond 64 bits, NaN and infinities, lone surrogates, bytes, str and dict subclasses, tuples,
# frozensets and integer keys.
INTS = [0, 1, -1, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1, -(2**63)]
WIDE_INTS = [2**64, -(2**63) - 1, 2**65]
FLOATS = [0.0, -0.0, 0.1, 1e16, 1.5e300, 5e-324, -2.5, 1e-7]
WIDE_FLOATS = [math.nan, math.inf, -math.inf]
PIECES = ["", "a", "kind", "\u00e9", "\U0001F600", "\x00", "\x1f", "\n", '"', "\\", "/", "\u2028", "e\u0301"]


def random_text(rng, wide=False):
    text = "".join(rng.choice(PIECES + ["\ud800"] * wide) for _ in range(rng.randrange(6)))
    return Str(text) if wide and rng.random() < 0.1 else text


def random_value(rng, wide=False, depth=0):
    kind = rng.randrange(7 if depth < 3 else 4)
    if kind < 3:
        return rng.choice(([None, True, False] + [b"x"] * wide, INTS + WIDE_INTS * wide + [rng.randrange(-(2**63), 2**64)],
                           FLOATS + WIDE_FLOATS * wide + [rng.uniform(-1e9, 1e9)])[kind])
    if kind == 3:
        return random_text(rng, wide)
    children = [random_value(rng, wide, depth + 1) for _ in range(rng.randrange(5))]
    if kind == 4 or not wide:
        return children if kind == 4 else {random_text(rng): child for child in children}
    if kind == 5:
        return rng.choice([tuple(children), frozenset(range(len(children)))])
    keys = [rng.choice([random_text(rng, True), rng.randrange(3)]) for _ in children]
    return (Dict if rng.random() < 0.2 else dict)(zip(keys, children))


def random_record(rng):
    out = {"version": random_text(rng), "id": random_text(rng), "kind": rng.choice(KINDS), "ts": random_text(rng),
           "parent": rng.choice([None, random_text(rng)])}
    if rng.random() < 0.5:
        out["meta"] = {random_text(rng): random_value(rng) for _ in range(rng.randrange(4))}
    out["payload"] = random_value(rng)
    return out


SKIP_ONLY = b'[1e400,"\\udc00",{"a":[]}]'  # well-formed, but no value a reader would accept


def json_line(rng, value):
    """value as one line written by Python's json module, in a random style:
    non-ASCII raw or escaped, whitespace around tokens, "/" escaped."""
    text = json.dumps(value, ensure_ascii=rng.random() < 0.5, indent=rng.choice([None, 0, "\t"]),
                      separators=rng.choice([(",", ":"), (" , ", "\t:  ")]))
    text = text.replace("\n", rng.choice(["", " ", "\r"])).replace("/", "\\/")
    return text.encode().replace(b'"<skip-only>"', SKIP_ONLY)


def test_random_records_read_back_in_every_form():
    # Each record as an object (members shuffled, an absent parent or meta as null or no member,
    # the kind as a one-member object at random, unknown members mixed in) and as the positional
    # array: read as one line (its proper prefixes refused), and decoded on both roads.
    rng = random.Random(7)
    records = []
    for i in range(1000):
        rec = random_record(rng)
        records.append(rec)
        fields = {**rec, "kind": rng.choice([rec["kind"], {rec["kind"]: None}]), "meta": rec.get("meta")}
        members = [(name, fields[name]) for name in FIELDS
                   if fields[name] is not None or name == "payload" or rng.random() < 0.5]
        members += [("x" + random_text(rng), rng.choice(["<skip-only>", random_value(rng)])) for _ in range(rng.randrange(3))]
        rng.shuffle(members)
        for form in (dict(members), [fields[name] for name in FIELDS]):
            line = json_line(rng, form)
            assert core.parse_agentlog(line) == [rec], line
            for n in range(1, len(line) if i % 20 == 0 else 1):
                with pytest.raises(ValueError):
                    core.parse_agentlog(line[:n])
        assert write_on_both_roads([dict(members)]) == [outcome(core.write_agentlog, [rec])] * 2
    # The trace written from them: plain JSON lines that read back with any line ending, in field order.
    trace = core.write_agentlog(records)
    assert [json.loads(line) for line in trace.splitlines()] == records
    for ending in (b"\n", b"\r\n", b"\n\n", b"\r\r\n"):
        read = core.parse_agentlog(trace.replace(b"\n", ending))
        assert read == records and [list(r) for r in read] == [list(r) for r in records]
    assert core.write_agentlog(read) == trace


def test_plain_and_general_roads_agree_on_random_records():
    rng = random.Random(6)
    envelope = ["0.1", "chat_response", "tool_call", "Error", ""]
    base = {"version": "0.1", "id": "r", "kind": "error", "ts": "t", "payload": None}
    for _ in range(4000):
        records = []
        for _ in range(rng.randrange(5)):
            entries = {rng.choice(FIELDS + ["extra", random_text(rng, True)]):
                       rng.choice(envelope + [random_value(rng, True)]) for _ in range(rng.randrange(9))}
            records.append({**base, **entries} if len(entries) % 3 else entries)
        plain, general = write_on_both_roads(records)
        assert plain == general
