"""parse_agentlog and write_agentlog: the known-answer vectors, the record
dict form, real traces, and the write/read round trip."""

import collections.abc
import functools
import json
import math
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvane import _core as core
from vectors import CORPUS, load, record

FIELDS = ["version", "id", "kind", "ts", "parent", "meta", "payload"]
KINDS = ["metadata", "chat_request", "chat_response", "tool_call", "tool_result", "error", "replay_summary"]


def as_record_dict(value):
    """What parse_agentlog makes of a JSON object record: the field order,
    parent always present, meta only when present and not null."""
    out = {name: value.get(name) for name in FIELDS}
    if out["meta"] is None:
        del out["meta"]
    return out


# Reader limits cannot be changed from Python; the C++ tests run the vectors
# that set them.
VECTORS = [
    pytest.param(v, lambda v: core.write_agentlog(core.parse_agentlog(v["data"])), id="reader: " + v["name"])
    for v in load("reader.jsonl") if "args" not in v
] + [
    pytest.param(v, lambda v: core.write_agentlog([json.loads(v["input"])]), id="record: " + v["name"])
    for v in load("record_from_value.jsonl")
]


@pytest.mark.parametrize("vector, run", VECTORS)
def test_vectors(vector, run):
    if vector["ok"]:
        assert run(vector).decode() == vector["expected"]
    else:
        with pytest.raises(ValueError) as info:
            run(vector)
        assert type(info.value) is ValueError and info.value.args == (vector["expected"][:-1],)


def test_record_dicts():
    data = (
        b'{"payload":{"b":1,"a":[2.5,-3,null]},"kind":"tool_call","ts":"t","id":"x","version":"0.1",'
        b'"meta":{"z":true},"parent":"p","extra":[1]}\n'
        b'{"version":"0.1","id":"y","kind":{"error":null},"ts":"t","payload":"s","meta":null}\n'
        b'["0.1","z","metadata","t",null,{},{"k":"v","k":"w","j":0}]\n'
    )
    first, second, third = core.parse_agentlog(data)
    assert list(first) == FIELDS and list(first["payload"]) == ["b", "a"]
    assert first == {"version": "0.1", "id": "x", "kind": "tool_call", "ts": "t", "parent": "p",
                     "meta": {"z": True}, "payload": {"b": 1, "a": [2.5, -3, None]}}
    assert second == {"version": "0.1", "id": "y", "kind": "error", "ts": "t", "parent": None, "payload": "s"}
    assert list(second) == ["version", "id", "kind", "ts", "parent", "payload"]
    assert third["meta"] == {} and list(third["payload"].items()) == [("k", "w"), ("j", 0)]
    assert all(type(value["version"]) is str for value in (first, second, third))


def test_number_forms_read_back():
    data = (b'{"version":"0","id":"i","kind":"error","ts":"t","payload":'
            b'[0,-0,1.0,1e2,18446744073709551615,-9223372036854775808,18446744073709551616,1e-400,-0.0]}')
    (rec,) = core.parse_agentlog(data)
    values = rec["payload"]
    assert [type(v) for v in values] == [int, float, float, float, int, int, float, float, float]
    assert values == [0, 0.0, 1.0, 100.0, 2**64 - 1, -(2**63), 1.8446744073709552e19, 0.0, 0.0]
    assert math.copysign(1.0, values[1]) == -1.0
    assert core.write_agentlog([rec]).endswith(
        b'"payload":[0,-0.0,1.0,100.0,18446744073709551615,-9223372036854775808,1.8446744073709552e19,0.0,-0.0]}\n')


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


def test_messages_keep_text_after_a_nul_character():
    with pytest.raises(ValueError, match="^unknown variant `a\x00b`, expected one of"):
        core.write_agentlog([record(None, kind="a\x00b")])
    with pytest.raises(ValueError, match=" at line 1 column "):
        core.parse_agentlog(b'{"version":"v","id":"i","kind":"a\\u0000b","ts":"t","payload":null}')


CORPUS_FILES = sorted(CORPUS.glob("*.agentlog"))


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_corpus_traces_read_like_json_and_round_trip(path):
    data = path.read_bytes()
    records = core.parse_agentlog(data)
    lines = [line for line in data.splitlines() if line.strip(b"\r\n")]
    assert records == [as_record_dict(json.loads(line)) for line in lines]
    written = core.write_agentlog(records)
    assert core.parse_agentlog(written) == records
    assert core.write_agentlog(core.parse_agentlog(written)) == written


# ---- the round trip over generated records ---------------------------------

text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=20)
finite = st.floats(allow_nan=False, allow_infinity=False)
scalars = st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | finite
json_values = st.recursive(
    scalars | text, lambda children: st.lists(children, max_size=5) | st.dictionaries(text, children, max_size=5),
    max_leaves=30,
)
records_strategy = st.lists(
    st.fixed_dictionaries(
        {"version": text, "id": text, "kind": st.sampled_from(KINDS), "ts": text, "parent": st.none() | text,
         "payload": json_values},
        optional={"meta": st.dictionaries(text, json_values, max_size=4)},
    ).map(lambda r: {name: r[name] for name in FIELDS if name in r}),
    max_size=8,
)


@settings(max_examples=300, deadline=None)
@given(records_strategy)
def test_write_then_read_round_trip(records):
    trace = core.write_agentlog(records)
    assert trace.count(b"\n") == len(records)
    read = core.parse_agentlog(trace)
    assert read == records and [list(r) for r in read] == [list(r) for r in records]
    assert core.write_agentlog(read) == trace
    # Every line is plain JSON that any reader agrees with.
    assert [json.loads(line) for line in trace.splitlines()] == records


@settings(max_examples=200, deadline=None)
@given(records_strategy, st.sampled_from([b"\n", b"\r\n", b"\n\n", b"\r\r\n"]))
def test_line_endings_and_blank_lines_do_not_matter(records, ending):
    trace = core.write_agentlog(records).replace(b"\n", ending)
    assert core.parse_agentlog(trace) == records


# ---- plain records are written without the general conversion ---------------

Dict = type("Dict", (dict,), {})  # never plain, so it always takes the general road
wide_scalars = (
    st.none() | st.booleans() | st.integers(-(2**65), 2**65) | st.floats() | st.binary(max_size=2)
    | st.text(max_size=8)  # lone surrogates included
    | st.builds(type("Str", (str,), {}), st.text(max_size=4))
)
wide_values = st.recursive(
    wide_scalars,
    lambda children: (
        st.lists(children, max_size=4) | st.lists(children, max_size=3).map(tuple)
        | st.frozensets(st.integers(0, 3), max_size=3)
        | st.dictionaries(st.text(max_size=4) | st.integers(0, 2), children, max_size=4)
    ),
    max_leaves=20,
)
envelope_values = st.sampled_from(["0.1", "chat_response", "tool_call", "Error", ""]) | wide_values
wide_records = st.lists(
    st.dictionaries(st.sampled_from(FIELDS + ["extra"]) | st.text(max_size=3), envelope_values, max_size=9).map(
        lambda d: {"version": "0.1", "id": "r", "kind": "error", "ts": "t", "payload": None, **d} if len(d) % 3 else d),
    max_size=4,
)


def outcome(function, *args):
    try:
        return ("ok", function(*args))
    except ValueError as exc:
        return ("error", exc.args)


@settings(max_examples=500, deadline=None)
@given(wide_records)
def test_plain_and_general_roads_agree(records):
    general = outcome(core.write_agentlog, [Dict(r) if isinstance(r, dict) else r for r in records])
    assert outcome(core.write_agentlog, records) == general


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
