"""Python objects to JSON values: every rule and message, hostile objects,
string views hostile code must not leave dangling, and the nesting cap."""

import collections
import enum
import functools
import itertools
import json
import math
import subprocess
import sys
import types

import pytest

from korvane import _core as core
from vectors import record


def written(payload):
    line = core.write_agentlog([record(payload)]).decode()
    return line[line.index('"parent":null,"payload":') + 24:-2]


def conversion_error(payload):
    """The message, the same from every function that converts."""
    messages = set()
    for call in (core.canonical_bytes, core.content_id, lambda p: core.write_agentlog([record(p)])):
        with pytest.raises(ValueError) as info:
            call(payload)
        assert type(info.value) is ValueError and len(info.value.args) == 1
        messages.add(info.value.args[0])
    assert len(messages) == 1
    return messages.pop()


raises = lambda exc: lambda *args: (_ for _ in ()).throw(exc)  # noqa: E731


def seq(length, item=raises(IndexError)):
    """A collections.abc.Sequence whose __len__ is length() and __getitem__ item(i)."""
    return type("Seq", (collections.abc.Sequence,), {"__len__": lambda s: length(), "__getitem__": lambda s, i: item(i)})()


def mapping(data, length=None, keys=None):
    """A collections.abc.Mapping over data whose len() and keys() may be overridden."""
    return type("Map", (collections.abc.Mapping,), {"__len__": lambda s: len(data) if length is None else length,
                                                     "__iter__": lambda s: iter(data), "__getitem__": lambda s, k: data[k],
                                                     "keys": lambda s: keys() if keys else list(data)})()


Str = type("Str", (str,), {})
Salted = type("Salted", (str,), {"__hash__": lambda self: 12345})  # a dict holds it apart from "a": first position, last value


@pytest.mark.parametrize("payload, text", [
    (None, "null"), ([True, False, 1, 1.0], "[true,false,1,1.0]"), (-1, "-1"), (enum.IntEnum("E", {"R": 3}).R, "3"),
    (2**64 - 1, "18446744073709551615"), (2**63, "9223372036854775808"), (-(2**63), "-9223372036854775808"),
    (-0.0, "-0.0"), (1e21, "1e21"), (type("F", (float,), {})(2.5), "2.5"), (math.nan, "null"), (-math.inf, "null"),
    ("", '""'), ("tab\tand é \u2028 \x7f", '"tab\\tand é \u2028 \x7f"'), (Str("sub"), '"sub"'), ((1, "a"), '[1,"a"]'),
    (type("T", (tuple,), {})((None,)), "[null]"), ([[1.5, [None]], []], "[[1.5,[null]],[]]"), ({"b": 1, "a": 2}, '{"b":1,"a":2}'),
    ({"a": 1, "b": 2, Salted("a"): 3}, '{"a":3,"b":2}'), (collections.OrderedDict([("z", 1), ("y", 2)]), '{"z":1,"y":2}'),
    ({Str("k"): "v"}, '{"k":"v"}'), ({1, 1}, "[1]"), (type("FS", (frozenset,), {})(["x"]), '["x"]'), (range(3), "[0,1,2]"),
    (collections.deque([1, 2]), "[1,2]"), (memoryview(b"\x01\x02"), "[1,2]"), (types.MappingProxyType({"m": [1]}), '{"m":[1]}'),
    # Sequence and Mapping instances are read through len() and indexing.
    (seq(lambda: 2, [1, "a", 3].__getitem__), '[1,"a"]'), (mapping({"k": seq(lambda: 1, [None].__getitem__)}), '{"k":[null]}'),
    (mapping({"a": 1, "b": 2}, length=1), '{"a":1}'),
])
def test_conversion_rules(payload, text):
    assert written(payload) == text


# Each character that needs an escape, and two that do not, at every offset
# around the blocks the writer scans, alone and in runs.
@pytest.mark.parametrize("special", ['"', "\\", "\x7f", "é", *map(chr, range(32))])
def test_escapes_match_json_module_at_every_offset(special):
    for length in (1, 7, 8, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 130):
        for at, run in itertools.product(range(length), (1, 2, 17)):
            text = ("a" * at + special * run + "a" * length)[:length]
            assert written(text) == json.dumps(text, ensure_ascii=False)


OUT_OF_RANGE, TOO_LARGE = "JSON number out of range", "OverflowError: Python int too large to convert to C long"
NOT_STRING, BYTES = "unexpected type: '{}' object cannot be converted to 'PyString'", "invalid type: byte array, expected any valid JSON value"
SURROGATE = "UnicodeEncodeError: 'utf-8' codec can't encode character '\\{}' in position 0: surrogates not allowed"
BadStr = type("BadStr", (Exception,), {"__str__": lambda self: raises(RuntimeError("no text"))()})
Local = types.SimpleNamespace(Object=type("Object", (), {"__qualname__": "Local.Object"}),
                              Buffer=type("Buffer", (bytearray,), {"__qualname__": "Local.Buffer"}))


@pytest.mark.parametrize("payload, message", [
    (2**64, OUT_OF_RANGE), (2**128 - 1, OUT_OF_RANGE), (-(2**63) - 1, OUT_OF_RANGE), (-(2**127), OUT_OF_RANGE),
    (2**128, TOO_LARGE), (-(2**127) - 1, TOO_LARGE), (b"x", BYTES), (type("Blob", (bytes,), {})(b""), BYTES),
    (bytearray(b"x"), "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"),
    (Local.Buffer(), "unexpected type: 'Local.Buffer' object cannot be converted to 'PyBytes'"),
    (Local.Object(), "unsupported type Local.Object"), ({Local.Object(): 1}, NOT_STRING.format("Local.Object")),
    ({1: "a"}, NOT_STRING.format("int")), ({("t",): "a"}, NOT_STRING.format("tuple")), (1j, "unsupported type complex"),
    # A key is checked before its value, in a dict as in a mapping; the first
    # bad entry in stored order is the one reported.
    ({1: object()}, NOT_STRING.format("int")), (collections.OrderedDict({1: object()}), NOT_STRING.format("int")),
    ({"b": object(), 1: 2}, "unsupported type object"), ({"b": 2**64, "a": b"x"}, OUT_OF_RANGE),
    (iter([]), "unsupported type list_iterator"), ([1, {"a": [object()]}], "unsupported type object"),
    ("\ud800", SURROGATE.format("ud800")), ({"\udfff": 1}, SURROGATE.format("udfff")),
    # Exceptions raised by user objects become the message.
    (seq(raises(RuntimeError("len failed"))), "RuntimeError: len failed"), (seq(lambda: 2, {0: 1}.__getitem__), "KeyError: 1"),
    (seq(lambda: 2, [1].__getitem__), "IndexError: list index out of range"),
    (mapping({}, keys=raises(LookupError("no keys"))), "LookupError: no keys"),
    (mapping({"a": 1}, length=2), "IndexError: list index out of range"), (seq(raises(BadStr())), "BadStr: <exception str() failed>"),
])
def test_conversion_failures(payload, message):
    assert conversion_error(payload) == message


shifty = lambda error: type("Shifty", (), {"__class__": property(raises(error))})()  # its instance test raises  # noqa: E731


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("call", [
    lambda obj: core.canonical_bytes([1, obj]), lambda obj: core.content_id({"k": obj}),
    lambda obj: core.write_agentlog([record(obj)]), lambda obj: core.compute_diff_report([], [], pricing={"m": (obj, 1.0)}),
    lambda obj: core.compute_diff_report([], [], pricing={"m": (1.0, obj)}), lambda obj: core.canonical_bytes(shifty(obj.error)),
])
def test_interrupts_from_user_code_pass_through_unchanged(call, interrupt):
    obj = seq(raises(interrupt))
    obj.__class__.__float__, obj.error = raises(interrupt), interrupt
    pytest.raises(interrupt, call, obj)


def test_failing_instance_test_is_unraisable_and_counts_false(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(type(info.exc_value)))
    assert conversion_error(shifty(RuntimeError("who am I"))).startswith("unsupported type ") and set(seen) == {RuntimeError}


fresh = lambda text: "".join(list(text))  # a str of its own, shared with no other value  # noqa: E731


def test_containers_changed_while_converted_are_read_within_bounds_and_views_stay_valid():
    outer = [1, None, 3, 4]
    outer[1] = seq(lambda: outer.clear() or 0)  # a list emptied under the conversion is read no further
    assert written(outer) == "[1,[]]"
    victim = {"a": 1}  # a dict changed under it keeps the entries fetched first
    victim["b"] = seq(lambda: victim.clear() or victim.update(z=26) or 0)
    victim["c"] = 3
    assert written(victim) == '{"a":1,"b":[],"c":3}'
    keys = ["a", "b"]
    assert conversion_error(mapping({"a": seq(lambda: keys.clear() or 0), "b": 1}, keys=lambda: keys)) == (
        "IndexError: list index out of range")
    # A dict subclass whose keys() drops the list's reference to it, the last
    # one, stays alive for its values(): decoys made then would take its place.
    decoys = []
    vanishing = type("Vanishing", (dict,), {"keys": lambda s: holder.clear() or decoys.extend(type(s)(b=2) for _ in range(50)) or ["a"]})
    holder = [vanishing(a=1)]
    assert written(holder) == '[{"a":1}]'
    # Strs referenced nowhere else, dropped by Python code before the writer
    # reads them, then their memory reused.
    churn = lambda: [fresh("#" * 40) for _ in range(10000)]  # noqa: E731
    d = {"text": fresh("gone soon " * 4), fresh("key that stays"): fresh("é" * 8)}
    d["x"] = seq(lambda: d.pop("text") and churn() and 0)
    assert written(d) == '{"text":"' + "gone soon " * 4 + '","key that stays":"' + "é" * 8 + '","x":[]}'
    # Records of a diff outlive the prices' conversion, whose code may empty
    # the record lists: the texts compared stay the same.
    response = lambda: record({"model": "m", "content": [{"type": "text", "text": fresh("the quick brown fox " * 5)}]})  # noqa: E731
    baseline, candidate = [response()], [response()]
    price = type("P", (), {"__float__": lambda self: baseline.clear() or churn() and 1.0})()
    report = core.compute_diff_report(baseline, candidate, pricing={"m": (price, 1.0)}, seed=1)
    assert (report["pair_count"], report["rows"][0]["candidate_median"]) == (1, 1.0)


RECURSION = "RecursionError: maximum recursion depth exceeded while converting a Python object to JSON"


nested = lambda depth: functools.reduce(lambda value, _: [value], range(depth - 1), [])  # noqa: E731


def test_self_containing_and_very_deep_values_fail_cleanly_at_the_one_cap():
    loop, d, mixed = [], {}, {"list": []}
    loop.append(loop), d.update(self=d), mixed["list"].append((mixed,))
    deep = seq(lambda: 1, lambda i: deep)
    assert {conversion_error(value) for value in (loop, d, mixed, deep, nested(10**5))} == {RECURSION}


# Each function at its nesting cap and one past it (a record is the first level),
# in a child process: the open containers wait on heap stacks, so the caps
# stay whatever the interpreter's recursion limit.
CAPS = {"canonical_bytes": (1000, RECURSION), "content_id": (1000, RECURSION), "write_agentlog": (999, RECURSION),
        "compute_diff_report": (995, RECURSION), "parse_agentlog": (126, "parse error on line 1: recursion limit exceeded")}
SMALL_STACK = """if True:
    import functools, sys, threading, korvane._core as core
    sys.setrecursionlimit(int(sys.argv[1]))
    nested = lambda depth: functools.reduce(lambda v, _: [v], range(depth - 1), [])
    record = lambda payload, kind="error": {"version": "0.1", "id": "r", "kind": kind, "ts": "t", "payload": payload}
    tool = lambda d: record({"content": [{"type": "tool_use", "name": "f", "input": {"a": nested(d)}}]}, "chat_response")
    CALLS = {"canonical_bytes": lambda d: core.canonical_bytes(nested(d)), "content_id": lambda d: core.content_id(nested(d)),
             "write_agentlog": lambda d: core.write_agentlog([record(nested(d))]),
             "compute_diff_report": lambda d: core.compute_diff_report([tool(d)], [tool(d)]),
             "parse_agentlog": lambda d: core.parse_agentlog(b'{"version":"0.1","id":"r","kind":"error","ts":"t","payload":'
                                                             + b"[" * d + b"]" * d + b"}")}
    def work():
        for name, depth in ((name, depth) for name, cap in CAPS.items() for depth in (cap, cap + 1)):
            try:
                print(name, depth, CALLS[name](depth) and "ok", flush=True)
            except ValueError as e:
                print(name, depth, e.args[0].partition(" at ")[0], flush=True)
    threading.stack_size(256 * 1024)
    threading.Thread(target=work).start()"""


@pytest.mark.parametrize("recursion_limit", [60, 10**6])
def test_every_function_fits_its_nesting_cap_in_a_256_kib_thread_stack(recursion_limit):
    # Run apart: a fault ends the process, and the lines printed show how far it came.
    code = f"CAPS = {dict((name, cap) for name, (cap, _) in CAPS.items())!r}\n" + SMALL_STACK
    out = subprocess.run([sys.executable, "-c", code, str(recursion_limit)], capture_output=True, text=True)
    assert (out.returncode, out.stdout) == (0, "".join(
        f"{name} {cap} ok\n{name} {cap + 1} {message}\n" for name, (cap, message) in CAPS.items())), out.stderr
