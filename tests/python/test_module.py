"""The module surface: attributes, signatures, argument binding and the
failure-to-exception rules."""

import importlib
import inspect
import subprocess
import sys

import pytest

import korvane
import korvane._core as core

NAMES = [
    "__version__",
    "SPEC_VERSION",
    "parse_agentlog",
    "write_agentlog",
    "canonical_bytes",
    "content_id",
    "compute_diff_report",
]

SIGNATURES = {
    "parse_agentlog": "(data)",
    "write_agentlog": "(records)",
    "canonical_bytes": "(payload)",
    "content_id": "(payload)",
    "compute_diff_report": "(baseline, candidate, pricing=None, seed=None)",
}

DOCS = {
    "parse_agentlog": "Parse a `.agentlog` byte blob into a list of record dicts.",
    "write_agentlog": "Serialize a list of record dicts into `.agentlog` bytes.",
    "canonical_bytes": "Canonical-JSON byte sequence for a payload (SPEC §5).",
    "content_id": "Content id for a payload dict (SPEC §6).",
    "compute_diff_report": (
        "Compute a nine-axis diff between two traces.\n\n"
        "`baseline` and `candidate` are lists of record dicts (as produced by\n"
        "[`parse_agentlog`]). `pricing` is a `dict[str, tuple[float, float]]`\n"
        "mapping model name → (price_per_input_token, price_per_output_token).\n"
        "`seed` is an optional RNG seed for reproducible bootstrap CIs."
    ),
}


def test_attributes_in_registration_order():
    assert core.__all__ == NAMES
    public = [name for name in vars(core) if not name.startswith("__") or name == "__version__"]
    assert public == NAMES
    assert core.__version__ == "1.7.3"
    assert core.SPEC_VERSION == "0.1"
    assert core.__name__ == "korvane._core"
    assert core.__doc__ == (
        "The entry point the Python interpreter calls when `korvane._core` is\n"
        "imported. Registers every function above."
    )


def test_package_reexports_the_module():
    assert korvane.__all__ == NAMES
    for name in NAMES:
        assert getattr(korvane, name) is getattr(core, name)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signature_and_doc(name):
    function = getattr(core, name)
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert function.__text_signature__ == SIGNATURES[name]
    assert function.__doc__ == DOCS[name]
    assert function.__module__ == "korvane._core"
    assert function.__name__ == name
    for parameter in inspect.signature(function).parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


def test_initialisation_happens_once():
    again = importlib.import_module("korvane._core")
    assert again is core
    saved = sys.modules.pop("korvane._core")
    try:
        # The interpreter asks the module again; it is the same object.
        assert importlib.import_module("korvane._core") is saved
    finally:
        sys.modules["korvane._core"] = saved


RECORDS = [{"version": "0.1", "id": "r", "kind": "error", "ts": "t", "payload": None}]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: core.parse_agentlog(b"", b""),
         "parse_agentlog() takes 1 positional arguments but 2 were given"),
        (lambda: core.content_id(1, 2, 3),
         "content_id() takes 1 positional arguments but 3 were given"),
        (lambda: core.compute_diff_report([], [], None, None, 5),
         "compute_diff_report() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: core.parse_agentlog(),
         "parse_agentlog() missing 1 required positional argument: 'data'"),
        (lambda: core.compute_diff_report(),
         "compute_diff_report() missing 2 required positional arguments: 'baseline' and 'candidate'"),
        (lambda: core.compute_diff_report([]),
         "compute_diff_report() missing 1 required positional argument: 'candidate'"),
        (lambda: core.compute_diff_report(seed=1),
         "compute_diff_report() missing 2 required positional arguments: 'baseline' and 'candidate'"),
        (lambda: core.parse_agentlog(b"", data=b""),
         "parse_agentlog() got multiple values for argument 'data'"),
        (lambda: core.compute_diff_report([], [], None, candidate=[]),
         "compute_diff_report() got multiple values for argument 'candidate'"),
        (lambda: core.write_agentlog(record=[]),
         "write_agentlog() got an unexpected keyword argument 'record'"),
        (lambda: core.compute_diff_report([], [], rng=1),
         "compute_diff_report() got an unexpected keyword argument 'rng'"),
        (lambda: core.parse_agentlog("text"),
         "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
        (lambda: core.parse_agentlog(bytearray(b"")),
         "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda: core.parse_agentlog(memoryview(b"")),
         "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
        (lambda: core.write_agentlog(tuple(RECORDS)),
         "argument 'records': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: core.compute_diff_report({}, []),
         "argument 'baseline': 'dict' object cannot be converted to 'PyList'"),
        (lambda: core.compute_diff_report([], None),
         "argument 'candidate': 'NoneType' object cannot be converted to 'PyList'"),
        (lambda: core.compute_diff_report([], [], [("m", (1, 2))]),
         "argument 'pricing': 'list' object cannot be converted to 'PyDict'"),
        (lambda: core.compute_diff_report([], [], seed=1.5),
         "argument 'seed': 'float' object cannot be interpreted as an integer"),
        (lambda: core.compute_diff_report([], [], seed="1"),
         "argument 'seed': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_wrong_type_names_the_qualified_type():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"^argument 'data': 'test_wrong_type_names_the_qualified_type"
                                        r"\.<locals>\.Outer\.Inner' object cannot be converted to 'PyBytes'$"):
        core.parse_agentlog(Outer.Inner())


def test_binding_order_positional_then_keywords_then_missing_then_types():
    # An unknown keyword is reported before a missing argument, a missing
    # argument before a wrong type.
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        core.compute_diff_report("bad", x=1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'candidate'"):
        core.compute_diff_report("bad")
    # Types are checked in parameter order, before any record is converted.
    with pytest.raises(TypeError, match="argument 'baseline'"):
        core.compute_diff_report("bad", "bad", seed=1.5)
    with pytest.raises(TypeError, match="argument 'seed'"):
        core.compute_diff_report([{}], [{}], seed=1.5)


class Bytes(bytes):
    pass


class List(list):
    pass


class Dict(dict):
    pass


def test_subclasses_and_keywords_pass():
    data = b'{"version":"0.1","id":"r","kind":"error","ts":"t","parent":null,"payload":null}\n'
    assert core.parse_agentlog(data=Bytes(data)) == core.parse_agentlog(data)
    assert core.write_agentlog(records=List(RECORDS)) == data
    assert core.canonical_bytes(payload=[1]) == b"[1]"
    assert core.content_id(payload="x").startswith("sha256:")
    report = core.compute_diff_report(baseline=List(), candidate=[], pricing=Dict(), seed=True)
    assert list(report) == [
        "rows", "baseline_trace_id", "candidate_trace_id", "pair_count",
        "first_divergence", "divergences", "recommendations", "drill_down",
    ]


def test_seed_conversion():
    class Index:
        def __index__(self):
            return 7

    same = core.compute_diff_report([], [], seed=Index())
    assert same == core.compute_diff_report([], [], seed=7)
    assert core.compute_diff_report([], [], None, None) == core.compute_diff_report([], [])
    assert core.compute_diff_report([], [], seed=2**64 - 1)["pair_count"] == 0
    for bad in (-1, 2**64, -(2**70)):
        with pytest.raises(OverflowError) as info:
            core.compute_diff_report([], [], seed=bad)
        assert type(info.value) is OverflowError
        assert not info.value.args[0].startswith("argument")


def test_seed_type_error_keeps_the_cause():
    class Failing:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as exc:
                raise TypeError("custom index failure") from exc

    with pytest.raises(TypeError) as info:
        core.compute_diff_report([], [], seed=Failing())
    assert info.value.args == ("argument 'seed': custom index failure",)
    assert isinstance(info.value.__cause__, KeyError)

    class Other:
        def __index__(self):
            raise ZeroDivisionError("not a type error")

    with pytest.raises(ZeroDivisionError, match="^not a type error$"):
        core.compute_diff_report([], [], seed=Other())


def test_seed_type_error_without_a_cause_keeps_its_context():
    # Re-raising must not act as "from None": the exception being handled
    # when the call was made stays visible in the traceback.
    class Plain:
        def __index__(self):
            raise TypeError("plain")

    try:
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(TypeError) as info:
            core.compute_diff_report([], [], seed=Plain())
    assert info.value.args == ("argument 'seed': plain",)
    assert info.value.__cause__ is None
    assert not info.value.__suppress_context__
    assert isinstance(info.value.__context__, KeyError)


def test_work_failures_are_value_errors_with_one_argument():
    with pytest.raises(ValueError) as info:
        core.parse_agentlog(b"{}\n")
    assert type(info.value) is ValueError
    assert info.value.args == (
        "parse error on line 1: missing field `version` at line 1 column 2\n"
        "hint: verify the record matches the envelope schema (SPEC §3)",
    )
    with pytest.raises(ValueError) as info:
        core.content_id(object())
    assert info.value.args == ("unsupported type object",)


def test_internal_failure_type_derives_from_base_exception():
    # A pricing value whose __float__ resizes the pricing dict is the one
    # internal failure a caller can provoke.
    pricing = {}

    class Resizing:
        def __float__(self):
            pricing["other"] = (1.0, 2.0)
            return 1.0

    pricing["m"] = (Resizing(), 2.0)
    with pytest.raises(BaseException) as info:
        core.compute_diff_report([], [], pricing)
    error_type = type(info.value)
    assert error_type.__bases__ == (BaseException,)
    assert not issubclass(error_type, Exception)
    assert error_type.__module__ == "korvane._core"
    assert info.value.args == ("dictionary changed size during iteration",)
    assert error_type.__name__ not in core.__all__
    assert not hasattr(core, error_type.__name__)


SUBINTERPRETER = """
import sys
import korvane._core
try:
    import _interpreters as interpreters
    handle = interpreters.create("legacy")
    run = interpreters.exec
except ImportError:
    import _xxsubinterpreters as interpreters
    handle = interpreters.create(isolated=False) if sys.version_info >= (3, 12) else interpreters.create()
    run = interpreters.run_string
run(handle, '''
try:
    import korvane._core
    result = "imported"
except ImportError as e:
    result = "ImportError: " + str(e)
open(OUT, "w").write(result)
'''.replace("OUT", repr(sys.argv[1])))
"""


def test_a_second_interpreter_cannot_load_the_module(tmp_path):
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    out = tmp_path / "result"
    subprocess.run([sys.executable, "-c", SUBINTERPRETER, str(out)], check=True)
    result = out.read_text()
    assert result.startswith("ImportError: ") and "sub-interpreters are not supported" in result
