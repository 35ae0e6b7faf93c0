"""Python objects to JSON values: every conversion rule, hostile objects, and
the bounds on nesting. Values are observed through write_agentlog (the
interchange form of the payload) and canonical_bytes."""

import collections
import copy
import enum
import functools
import math
import subprocess
import sys
import textwrap
import types

import pytest

from korvane import _core as core
from vectors import record


def written(payload):
    """The payload as write_agentlog writes it."""
    line = core.write_agentlog([record(payload)]).decode()
    assert line.endswith("}\n")
    return line[line.index('"parent":null,"payload":') + 24:-2]


def conversion_error(payload):
    with pytest.raises(ValueError) as info:
        core.canonical_bytes(payload)
    assert type(info.value) is ValueError and len(info.value.args) == 1
    # Every function converts the same way.
    with pytest.raises(ValueError) as again:
        core.write_agentlog([record(payload)])
    assert again.value.args == info.value.args
    return info.value.args[0]


def raises(exc):
    def call(*args):
        raise exc
    return call


def seq(length, item=raises(IndexError)):
    """A collections.abc.Sequence whose __len__ is length() and __getitem__ item(i)."""
    class Seq(collections.abc.Sequence):
        def __len__(self):
            return length()

        def __getitem__(self, i):
            return item(i)
    return Seq()


def mapping(data, length=None, keys=None):
    """A collections.abc.Mapping over data whose len() and keys() may be overridden."""
    class Map(collections.abc.Mapping):
        def __len__(self):
            return len(data) if length is None else length

        def __iter__(self):
            return iter(data)

        def __getitem__(self, key):
            return data[key]

        def keys(self):
            return keys() if keys else list(data)
    return Map()


Color = enum.IntEnum("Color", {"RED": 3})
Str = type("Str", (str,), {})
Float = type("Float", (float,), {})
Tuple = type("Tuple", (tuple,), {})
FrozenSet = type("FrozenSet", (frozenset,), {})
# Equal text, different hash: a dict holds it apart from "a"; the converted
# object keeps the first position and the last value.
Salted = type("Salted", (str,), {"__hash__": lambda self: 12345})


@pytest.mark.parametrize(
    "payload, text",
    [
        (None, "null"), ([True, False, 1, 1.0], "[true,false,1,1.0]"), (-1, "-1"), (Color.RED, "3"),
        (2**64 - 1, "18446744073709551615"), (2**63, "9223372036854775808"), (-(2**63), "-9223372036854775808"),
        (-0.0, "-0.0"), (1e21, "1e21"), (Float(2.5), "2.5"), (math.nan, "null"), (-math.inf, "null"),
        ("", '""'), ("tab\tand é \u2028 \x7f", '"tab\\tand é \u2028 \x7f"'), (Str("sub"), '"sub"'),
        ((1, "a"), '[1,"a"]'), (Tuple((None,)), "[null]"), ([[1.5, [None]], []], "[[1.5,[null]],[]]"),
        ({"b": 1, "a": 2}, '{"b":1,"a":2}'), ({"a": 1, "b": 2, Salted("a"): 3}, '{"a":3,"b":2}'),
        (collections.OrderedDict([("z", 1), ("y", 2)]), '{"z":1,"y":2}'), ({Str("k"): "v"}, '{"k":"v"}'),
        ({1, 1}, "[1]"), (FrozenSet(["x"]), '["x"]'), (range(3), "[0,1,2]"), (collections.deque([1, 2]), "[1,2]"),
        (memoryview(b"\x01\x02"), "[1,2]"), (types.MappingProxyType({"m": [1]}), '{"m":[1]}'),
        # Sequence and Mapping instances are read through len() and indexing.
        (seq(lambda: 2, [1, "a", 3].__getitem__), '[1,"a"]'),
        (mapping({"k": seq(lambda: 1, [None].__getitem__)}), '{"k":[null]}'),
        (mapping({"a": 1, "b": 2}, length=1), '{"a":1}'),
    ],
)
def test_conversion_rules(payload, text):
    assert written(payload) == text


OUT_OF_RANGE = "JSON number out of range"
TOO_LARGE = "OverflowError: Python int too large to convert to C long"
NOT_STRING = "unexpected type: '{}' object cannot be converted to 'PyString'"
SURROGATE = "UnicodeEncodeError: 'utf-8' codec can't encode character '\\{}' in position 0: surrogates not allowed"


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Local:
    """Messages name types by their qualified names."""

    class Object:
        pass

    class Buffer(bytearray):
        pass


@pytest.mark.parametrize(
    "payload, message",
    [
        (2**64, OUT_OF_RANGE), (2**128 - 1, OUT_OF_RANGE), (-(2**63) - 1, OUT_OF_RANGE),
        (-(2**127), OUT_OF_RANGE), (2**128, TOO_LARGE), (-(2**127) - 1, TOO_LARGE),
        (b"x", "invalid type: byte array, expected any valid JSON value"),
        (bytearray(b"x"), "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"),
        (Local.Buffer(), "unexpected type: 'Local.Buffer' object cannot be converted to 'PyBytes'"),
        (type("Blob", (bytes,), {})(b""), "invalid type: byte array, expected any valid JSON value"),
        (Local.Object(), "unsupported type Local.Object"), ({Local.Object(): 1}, NOT_STRING.format("Local.Object")),
        ({1: "a"}, NOT_STRING.format("int")), ({("t",): "a"}, NOT_STRING.format("tuple")),
        # An entry's key is checked before its value is converted, in a dict
        # as in a mapping.
        ({1: object()}, NOT_STRING.format("int")), (collections.OrderedDict({1: object()}), NOT_STRING.format("int")),
        (object(), "unsupported type object"), (1j, "unsupported type complex"),
        (iter([]), "unsupported type list_iterator"), ([1, {"a": [object()]}], "unsupported type object"),
        ("\ud800", SURROGATE.format("ud800")), ({"\udfff": 1}, SURROGATE.format("udfff")),
        # Exceptions raised by user objects become the message.
        (seq(raises(RuntimeError("len failed"))), "RuntimeError: len failed"),
        (seq(lambda: 2, {0: 1}.__getitem__), "KeyError: 1"),
        (seq(lambda: 2, [1].__getitem__), "IndexError: list index out of range"),
        (mapping({}, keys=raises(LookupError("no keys today"))), "LookupError: no keys today"),
        (mapping({"a": 1}, length=2), "IndexError: list index out of range"),
        (seq(raises(BadStr())), "BadStr: <exception str() failed>"),
    ],
)
def test_conversion_failures(payload, message):
    assert conversion_error(payload) == message


class Interrupts:
    """Raises an interrupt from whichever protocol the conversion calls."""

    def __init__(self, interrupt):
        self.interrupt = interrupt

    def __len__(self):
        raise self.interrupt

    __getitem__ = __float__ = __len__


collections.abc.Sequence.register(Interrupts)


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize(
    "call",
    [
        lambda obj: core.canonical_bytes([1, obj]),
        lambda obj: core.content_id({"k": obj}),
        lambda obj: core.write_agentlog([record(obj)]),
        lambda obj: core.compute_diff_report([], [], pricing={"m": (obj, 1.0)}),
        lambda obj: core.compute_diff_report([], [], pricing={"m": (1.0, obj)}),
    ],
    ids=["canonical_bytes", "content_id", "write_agentlog", "pricing input", "pricing output"],
)
def test_interrupts_from_user_code_pass_through_unchanged(call, interrupt):
    with pytest.raises(interrupt):
        call(Interrupts(interrupt))


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupt_in_the_instance_test_passes_through(interrupt):
    class Shifty:
        @property
        def __class__(self):
            raise interrupt

    with pytest.raises(interrupt):
        core.canonical_bytes(Shifty())


def test_failing_instance_test_is_unraisable_and_counts_false(monkeypatch):
    class Shifty:
        @property
        def __class__(self):
            raise RuntimeError("who am I")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info.exc_value))
    assert conversion_error(Shifty()).startswith("unsupported type ")
    assert seen and all(isinstance(e, RuntimeError) for e in seen)


def test_failing_abc_import_is_unraisable_and_counts_false():
    script = textwrap.dedent(
        """
        import collections.abc, sys
        from korvane import _core
        seen = []
        sys.unraisablehook = lambda info: seen.append(isinstance(info.exc_value, ImportError))
        saved, sys.modules["collections.abc"] = sys.modules["collections.abc"], None
        try:
            _core.canonical_bytes(range(2))
        except ValueError as e:
            print(e.args[0])
        sys.modules["collections.abc"] = saved
        print(_core.canonical_bytes(range(2)).decode(), seen[0])
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == ["unsupported type range", "[0,1] True"]


def test_containers_changed_while_converted_are_read_within_bounds():
    # A list emptied under the conversion is read no further.
    outer = [1, None, 3, 4]
    outer[1] = seq(lambda: outer.clear() or 0)
    assert written(outer) == "[1,[]]"
    # A dict changed under it keeps the keys and values fetched first.
    victim = {"a": 1}
    victim["b"] = seq(lambda: victim.clear() or victim.update(z=26) or 0)
    victim["c"] = 3
    assert written(victim) == '{"a":1,"b":[],"c":3}'
    # A mapping whose keys list is emptied under it fails cleanly.
    keys = ["a", "b"]
    sneaky = mapping({"a": seq(lambda: keys.clear() or 0), "b": 1}, keys=lambda: keys)
    assert conversion_error(sneaky) == "IndexError: list index out of range"


def test_conversion_does_not_modify_inputs():
    payload = {"a": [1, {"b": (2, 3)}], "s": {4}, "d": collections.deque([5]), "o": collections.OrderedDict(x=6)}
    snapshot = copy.deepcopy(payload)
    core.content_id(payload)
    core.canonical_bytes(payload)
    core.write_agentlog([record(payload)])
    assert payload == snapshot


# ---- nesting -------------------------------------------------------------

RECURSION = "RecursionError: maximum recursion depth exceeded while converting a Python object to JSON"


def nested_list(depth):
    return functools.reduce(lambda value, _: [value], range(depth - 1), [])


@pytest.fixture
def recursion_limit(request):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(getattr(request, "param", 10**6))
    yield
    sys.setrecursionlimit(old)


def self_containing(kind):
    loop, d, mixed = [], {}, {"list": []}
    loop.append(loop)
    d["self"] = d
    mixed["list"].append((mixed,))
    deep = seq(lambda: 1, lambda i: deep)
    return {"list": loop, "dict": d, "mixed": mixed, "sequence": deep}[kind]


@pytest.mark.parametrize("kind", ["list", "dict", "mixed", "sequence", 10**5, 10**6])
def test_self_containing_and_very_deep_values_fail_cleanly(recursion_limit, kind):
    value = nested_list(kind) if isinstance(kind, int) else self_containing(kind)
    assert conversion_error(value) == RECURSION


def test_nesting_cap(recursion_limit):
    assert core.canonical_bytes(nested_list(1000)) == b"[" * 1000 + b"]" * 1000
    assert conversion_error(nested_list(1001)) == RECURSION
    # Inside a record the record itself is the first level.
    assert written(nested_list(999)) == "[" * 999 + "]" * 999


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="later interpreters bound C recursion on their own")
@pytest.mark.parametrize("recursion_limit", [200], indirect=True)
def test_python_recursion_limit_applies_too(recursion_limit):
    # With a low interpreter limit the conversion fails before the module's cap.
    assert conversion_error(nested_list(900)) == RECURSION


def test_nesting_cap_fits_a_small_thread_stack():
    # The conversion's stack use per level is bounded: a thread with 1 MiB of
    # stack converts a value at the cap and rejects deeper ones. Run apart,
    # since a fault here would end the process.
    script = textwrap.dedent(
        """
        import functools, sys, threading
        from korvane import _core
        sys.setrecursionlimit(10**6)
        threading.stack_size(1 << 20)
        nested = lambda depth: functools.reduce(lambda v, _: [v], range(depth - 1), [])

        def work():
            assert _core.canonical_bytes(nested(1000)).startswith(b"[[")
            record = type("Record", (dict,), {})(version="v", id="i", kind="error", ts="t", payload=nested(999))
            assert _core.write_agentlog([record]).count(b"[") == 999
            _core.compute_diff_report([record], [record], seed=1)
            try:
                _core.content_id(nested(10**5))
            except ValueError as e:
                print(e.args[0])

        thread = threading.Thread(target=work)
        thread.start(), thread.join()
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout == RECURSION + "\n"
