"""Python objects to JSON values: every conversion rule, hostile objects, and
the bounds on nesting. Values are observed through write_agentlog (the
interchange form of the payload) and canonical_bytes."""

import collections
import copy
import enum
import json
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
    prefix = '{"version":"0.1","id":"r1","kind":"chat_response","ts":"2024-01-01T00:00:00Z","parent":null,"payload":'
    assert line.startswith(prefix) and line.endswith("}\n")
    return line[len(prefix):-2]


def conversion_error(payload):
    with pytest.raises(ValueError) as info:
        core.canonical_bytes(payload)
    assert type(info.value) is ValueError and len(info.value.args) == 1
    # Every function converts the same way.
    with pytest.raises(ValueError) as again:
        core.write_agentlog([record(payload)])
    assert again.value.args == info.value.args
    return info.value.args[0]


class Color(enum.IntEnum):
    RED = 3


class Str(str):
    pass


class Float(float):
    pass


class Tuple(tuple):
    pass


class FrozenSet(frozenset):
    pass


@pytest.mark.parametrize(
    "payload, text",
    [
        (None, "null"),
        (True, "true"),
        (False, "false"),
        (0, "0"),
        (1, "1"),
        (-1, "-1"),
        (2**64 - 1, "18446744073709551615"),
        (2**63, "9223372036854775808"),
        (-(2**63), "-9223372036854775808"),
        (Color.RED, "3"),
        (1.0, "1.0"),
        (-0.0, "-0.0"),
        (0.1, "0.1"),
        (1e21, "1e21"),
        (Float(2.5), "2.5"),
        (math.nan, "null"),
        (math.inf, "null"),
        (-math.inf, "null"),
        ("", '""'),
        ("tab\tand é \u2028 \x7f", '"tab\\tand é \u2028 \x7f"'),
        (Str("sub"), '"sub"'),
        ([], "[]"),
        ((1, "a"), '[1,"a"]'),
        (Tuple((None,)), "[null]"),
        ([True, [1.5, [None]]], "[true,[1.5,[null]]]"),
        ({"b": 1, "a": 2}, '{"b":1,"a":2}'),
        (collections.OrderedDict([("z", 1), ("y", 2)]), '{"z":1,"y":2}'),
        ({Str("k"): "v"}, '{"k":"v"}'),
        ({1, 1}, "[1]"),
        (FrozenSet(["x"]), '["x"]'),
        (range(3), "[0,1,2]"),
        (collections.deque([1, 2]), "[1,2]"),
        (memoryview(b"\x01\x02"), "[1,2]"),
        (types.MappingProxyType({"m": [1]}), '{"m":[1]}'),
    ],
)
def test_conversion_rules(payload, text):
    before = copy.deepcopy(payload) if not isinstance(payload, (memoryview, types.MappingProxyType)) else None
    assert written(payload) == text
    if before is not None and not (isinstance(payload, float) and math.isnan(payload)):
        assert payload == before


def test_bool_is_not_an_integer_and_double_stays_double():
    assert written([True, 1, 1.0]) == "[true,1,1.0]"
    assert core.canonical_bytes([True, 1, 1.0]) == b"[true,1,1]"


def test_dict_key_order_is_insertion_order():
    d = {}
    d["b"] = 1
    d["a"] = 2
    assert written(d) == '{"b":1,"a":2}'


@pytest.mark.parametrize(
    "payload, message",
    [
        (2**64, "JSON number out of range"),
        (2**128 - 1, "JSON number out of range"),
        (-(2**63) - 1, "JSON number out of range"),
        (-(2**127), "JSON number out of range"),
        (2**128, "OverflowError: Python int too large to convert to C long"),
        (-(2**127) - 1, "OverflowError: Python int too large to convert to C long"),
        (10**100, "OverflowError: Python int too large to convert to C long"),
        (b"x", "invalid type: byte array, expected any valid JSON value"),
        (bytearray(b"x"), "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"),
        ({1: "a"}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
        ({("t",): "a"}, "unexpected type: 'tuple' object cannot be converted to 'PyString'"),
        # An entry's key is checked before its value is converted, in a dict
        # as in a mapping.
        ({1: object()}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
        (collections.OrderedDict({1: object()}),
         "unexpected type: 'int' object cannot be converted to 'PyString'"),
        (object(), "unsupported type object"),
        (1j, "unsupported type complex"),
        (iter([]), "unsupported type list_iterator"),
        ([1, {"a": [object()]}], "unsupported type object"),
        ("\ud800", "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
                   "surrogates not allowed"),
        ({"\udfff": 1}, "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udfff' in position 0: "
                        "surrogates not allowed"),
    ],
)
def test_conversion_failures(payload, message):
    assert conversion_error(payload) == message


def test_failure_names_qualified_types():
    class Local:
        pass

    class Buffer(bytearray):
        pass

    assert conversion_error(Local()) == "unsupported type test_failure_names_qualified_types.<locals>.Local"
    assert conversion_error(Buffer()) == (
        "unexpected type: 'test_failure_names_qualified_types.<locals>.Buffer' object cannot be "
        "converted to 'PyBytes'"
    )
    assert conversion_error({Local(): 1}).startswith("unexpected type: 'test_failure_names")


def test_bytes_subclass_is_rejected_like_bytes():
    class Blob(bytes):
        pass

    assert conversion_error(Blob(b"")) == "invalid type: byte array, expected any valid JSON value"


def test_str_subclass_keys_with_equal_text_keep_first_position_and_last_value():
    class Salted(str):
        def __hash__(self):
            return 12345

        def __eq__(self, other):
            return self is other

    d = {"a": 1, "b": 2, Salted("a"): 3}
    assert len(d) == 3
    assert written(d) == '{"a":3,"b":2}'


# ---- objects with behaviour of their own -----------------------------------


class Seq(collections.abc.Sequence):
    def __init__(self, items, length=None, fail_at=None):
        self.items = items
        self.length = len(items) if length is None else length
        self.fail_at = fail_at

    def __len__(self):
        if self.length == "fail":
            raise RuntimeError("len failed")
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise KeyError(i)
        return self.items[i]


class Map(collections.abc.Mapping):
    def __init__(self, data, length=None, keys_fail=False):
        self.data = data
        self.length = length
        self.keys_fail = keys_fail

    def __len__(self):
        return len(self.data) if self.length is None else self.length

    def __iter__(self):
        return iter(self.data)

    def __getitem__(self, key):
        return self.data[key]

    def keys(self):
        if self.keys_fail:
            raise LookupError("no keys today")
        return list(self.data)


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class RaisesBadStr(collections.abc.Sequence):
    def __len__(self):
        raise BadStr()

    def __getitem__(self, i):
        raise IndexError


@pytest.mark.parametrize(
    "payload, expected",
    [
        (Seq([1, "a"]), '[1,"a"]'),
        (Seq([1, 2, 3], length=2), "[1,2]"),
        (Map({"k": Seq([None])}), '{"k":[null]}'),
        (Map({"a": 1, "b": 2}, length=1), '{"a":1}'),
    ],
)
def test_sequence_and_mapping_instances(payload, expected):
    assert written(payload) == expected


@pytest.mark.parametrize(
    "payload, message",
    [
        (Seq([], length="fail"), "RuntimeError: len failed"),
        (Seq([1, 2], fail_at=1), "KeyError: 1"),
        (Seq([1], length=2), "IndexError: list index out of range"),
        (Map({}, keys_fail=True), "LookupError: no keys today"),
        (Map({"a": 1}, length=2), "IndexError: list index out of range"),
        (RaisesBadStr(), "BadStr: <exception str() failed>"),
    ],
)
def test_exceptions_of_user_objects_become_messages(payload, message):
    assert conversion_error(payload) == message


class Interrupts:
    """Raises an interrupt from whichever protocol the conversion calls."""

    def __init__(self, interrupt):
        self.interrupt = interrupt

    def __len__(self):
        raise self.interrupt

    def __getitem__(self, i):
        raise self.interrupt

    def __float__(self):
        raise self.interrupt


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
        import collections.abc
        import sys
        from korvane import _core
        seen = []
        sys.unraisablehook = lambda info: seen.append(isinstance(info.exc_value, ImportError))
        saved = sys.modules["collections.abc"]
        sys.modules["collections.abc"] = None
        try:
            _core.canonical_bytes(range(2))
        except ValueError as e:
            print(e.args[0])
        sys.modules["collections.abc"] = saved
        print(_core.canonical_bytes(range(2)).decode())
        print(seen[0])
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == ["unsupported type range", "[0,1]", "True"]


def test_list_shrunk_while_converted_is_read_within_bounds():
    outer = [1, None, 3, 4]

    class Shrinker(collections.abc.Sequence):
        def __len__(self):
            outer.clear()
            return 0

        def __getitem__(self, i):
            raise IndexError

    outer[1] = Shrinker()
    assert written(outer) == "[1,[]]"


def test_dict_changed_while_converted_uses_the_keys_and_values_fetched_first():
    victim = {"a": 1}

    class Mutator(collections.abc.Sequence):
        def __len__(self):
            victim.clear()
            victim["z"] = 26
            return 0

        def __getitem__(self, i):
            raise IndexError

    victim["b"] = Mutator()
    victim["c"] = 3
    assert written(victim) == '{"a":1,"b":[],"c":3}'


def test_mapping_whose_keys_list_is_emptied_during_conversion():
    keys = ["a", "b"]

    class Sneaky(collections.abc.Mapping):
        def __len__(self):
            return 2

        def __iter__(self):
            return iter(keys)

        def __getitem__(self, key):
            if key == "a":
                return Emptier()
            return 1

        def keys(self):
            return keys

    class Emptier(collections.abc.Sequence):
        def __len__(self):
            keys.clear()
            return 0

        def __getitem__(self, i):
            raise IndexError

    assert conversion_error(Sneaky()) == "IndexError: list index out of range"


# ---- nesting -------------------------------------------------------------

RECURSION = "RecursionError: maximum recursion depth exceeded while converting a Python object to JSON"


def nested_list(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


@pytest.fixture
def high_recursion_limit():
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(10**6)
    yield
    sys.setrecursionlimit(old)


def test_self_containing_values_fail_cleanly(high_recursion_limit):
    loop = []
    loop.append(loop)
    assert conversion_error(loop) == RECURSION
    d = {}
    d["self"] = d
    assert conversion_error(d) == RECURSION
    mixed = {"list": []}
    mixed["list"].append((mixed,))
    assert conversion_error(mixed) == RECURSION


@pytest.mark.parametrize("depth", [10**5, 10**6])
def test_very_deep_values_fail_cleanly(high_recursion_limit, depth):
    assert conversion_error(nested_list(depth)) == RECURSION


def test_deep_sequence_instances_fail_cleanly(high_recursion_limit):
    class Deep(collections.abc.Sequence):
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            return self

    assert conversion_error(Deep()) == RECURSION


def test_nesting_cap(high_recursion_limit):
    assert core.canonical_bytes(nested_list(1000)) == b"[" * 1000 + b"]" * 1000
    assert conversion_error(nested_list(1001)) == RECURSION
    # Inside a record the record itself is the first level.
    assert written(nested_list(999)) == "[" * 999 + "]" * 999


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="later interpreters bound C recursion on their own")
def test_python_recursion_limit_applies_too():
    # The interpreter's own limit is counted too: with a low limit the
    # conversion fails before the module's own cap.
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(200)
    try:
        assert conversion_error(nested_list(900)) == RECURSION
    finally:
        sys.setrecursionlimit(old)


def test_unknown_conversion_does_not_modify_inputs():
    payload = {"a": [1, {"b": (2, 3)}], "s": {4}}
    snapshot = copy.deepcopy(payload)
    core.content_id(payload)
    core.canonical_bytes(payload)
    core.write_agentlog([record(payload)])
    assert payload == snapshot


def test_json_roundtrip_of_converted_payload():
    payload = {"text": "héllo", "n": [1, -2, 3.5, None, True], "nested": {"x": {"y": []}}}
    assert json.loads(written(payload)) == payload


def test_nesting_cap_fits_a_small_thread_stack():
    # The conversion's stack use per level is bounded: a thread with 1 MiB of
    # stack converts a value at the cap and rejects deeper ones. Run apart,
    # since a fault here would end the process.
    script = textwrap.dedent(
        """
        import sys, threading
        from korvane import _core
        sys.setrecursionlimit(10**6)
        threading.stack_size(1 << 20)

        def nested(depth):
            value = []
            for _ in range(depth - 1):
                value = [value]
            return value

        class Record(dict):
            pass

        def work():
            assert _core.canonical_bytes(nested(1000)).startswith(b"[[")
            record = Record(version="v", id="i", kind="error", ts="t", payload=nested(999))
            assert _core.write_agentlog([record]).count(b"[") == 999
            _core.compute_diff_report([record], [record], seed=1)
            try:
                _core.content_id(nested(10**5))
            except ValueError as e:
                print(e.args[0])

        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout == RECURSION + "\n"
