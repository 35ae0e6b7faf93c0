"""The module surface: attributes, signatures, argument binding and the
failure-to-exception rules."""

import importlib
import inspect
import subprocess
import sys

import pytest

import korvane
import korvane._core as core

NAMES = ["__version__", "SPEC_VERSION", "parse_agentlog", "write_agentlog", "canonical_bytes", "content_id",
         "compute_diff_report"]

FUNCTIONS = {  # name: (signature, doc)
    "parse_agentlog": ("(data)", "Parse a `.agentlog` byte blob into a list of record dicts."),
    "write_agentlog": ("(records)", "Serialize a list of record dicts into `.agentlog` bytes."),
    "canonical_bytes": ("(payload)", "Canonical-JSON byte sequence for a payload (SPEC §5)."),
    "content_id": ("(payload)", "Content id for a payload dict (SPEC §6)."),
    "compute_diff_report": (
        "(baseline, candidate, pricing=None, seed=None)",
        "Compute a nine-axis diff between two traces.\n\n"
        "`baseline` and `candidate` are lists of record dicts (as produced by\n"
        "[`parse_agentlog`]). `pricing` is a `dict[str, tuple[float, float]]`\n"
        "mapping model name → (price_per_input_token, price_per_output_token).\n"
        "`seed` is an optional RNG seed for reproducible bootstrap CIs.",
    ),
}


def test_attributes_in_registration_order():
    assert core.__all__ == korvane.__all__ == NAMES
    assert [name for name in vars(core) if not name.startswith("__") or name == "__version__"] == NAMES
    assert all(getattr(korvane, name) is getattr(core, name) for name in NAMES)
    assert (core.__version__, core.SPEC_VERSION, core.__name__) == ("1.7.3", "0.1", "korvane._core")
    assert core.__doc__ == (
        "The entry point the Python interpreter calls when `korvane._core` is\n"
        "imported. Registers every function above."
    )


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_signature_and_doc(name):
    function = getattr(core, name)
    signature = inspect.signature(function)
    assert (str(signature), function.__doc__) == FUNCTIONS[name] and function.__text_signature__ == str(signature)
    assert (function.__module__, function.__name__) == ("korvane._core", name)
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())


def test_initialisation_happens_once():
    assert importlib.import_module("korvane._core") is core
    saved = sys.modules.pop("korvane._core")
    try:
        # The interpreter asks the module again; it is the same object.
        assert importlib.import_module("korvane._core") is saved
    finally:
        sys.modules["korvane._core"] = saved


class Outer:
    class Inner:
        pass


DIFF = core.compute_diff_report
NOT_LIST = "argument '{}': '{}' object cannot be converted to 'PyList'"
NOT_BYTES = "argument 'data': '{}' object cannot be converted to 'PyBytes'"
MISSING_BOTH = "compute_diff_report() missing 2 required positional arguments: 'baseline' and 'candidate'"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: core.content_id(1, 2, 3), "content_id() takes 1 positional arguments but 3 were given"),
        (lambda: DIFF([], [], None, None, 5),
         "compute_diff_report() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: core.parse_agentlog(), "parse_agentlog() missing 1 required positional argument: 'data'"),
        (lambda: DIFF(), MISSING_BOTH), (lambda: DIFF(seed=1), MISSING_BOTH),
        (lambda: DIFF([], [], None, candidate=[]),
         "compute_diff_report() got multiple values for argument 'candidate'"),
        (lambda: core.write_agentlog(record=[]), "write_agentlog() got an unexpected keyword argument 'record'"),
        (lambda: core.parse_agentlog(bytearray(b"")), NOT_BYTES.format("bytearray")),
        (lambda: core.parse_agentlog(Outer.Inner()), NOT_BYTES.format("Outer.Inner")),
        (lambda: core.write_agentlog(()), NOT_LIST.format("records", "tuple")),
        (lambda: DIFF([], None), NOT_LIST.format("candidate", "NoneType")),
        (lambda: DIFF([], [], [("m", (1, 2))]), "argument 'pricing': 'list' object cannot be converted to 'PyDict'"),
        (lambda: DIFF([], [], seed="1"), "argument 'seed': 'str' object cannot be interpreted as an integer"),
        # An unknown keyword is reported before a missing argument, a missing
        # argument before a wrong type; types are checked in parameter order,
        # before any record is converted.
        (lambda: DIFF("bad", x=1), "compute_diff_report() got an unexpected keyword argument 'x'"),
        (lambda: DIFF("bad"), "compute_diff_report() missing 1 required positional argument: 'candidate'"),
        (lambda: DIFF("bad", "bad", seed=1.5), NOT_LIST.format("baseline", "str")),
        (lambda: DIFF([{}], [{}], seed=1.5), "argument 'seed': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and info.value.args == (message,)


def test_subclasses_and_keywords_pass():
    data = b'{"version":"0.1","id":"r","kind":"error","ts":"t","parent":null,"payload":null}\n'
    records = type("List", (list,), {})(core.parse_agentlog(data))
    assert core.parse_agentlog(data=type("Bytes", (bytes,), {})(data)) == records
    assert core.write_agentlog(records=records) == data
    assert core.canonical_bytes(payload=[1]) == b"[1]"
    assert core.content_id(payload="x").startswith("sha256:")
    pricing = type("Dict", (dict,), {})()
    assert DIFF(baseline=records, candidate=[], pricing=pricing, seed=True)["pair_count"] == 0


def test_seed_conversion():
    index = type("Index", (), {"__index__": lambda self: 7})()
    assert DIFF([], [], seed=index) == DIFF([], [], seed=7)
    assert DIFF([], [], None, None) == DIFF([], [])
    assert DIFF([], [], seed=2**64 - 1)["pair_count"] == 0
    for bad in (-1, 2**64, -(2**70)):
        with pytest.raises(OverflowError) as info:
            DIFF([], [], seed=bad)
        assert type(info.value) is OverflowError and not info.value.args[0].startswith("argument")


def failing_index(exc, cause=None):
    class Index:
        def __index__(self):
            if cause is None:
                raise exc
            raise exc from cause
    return Index()


def test_seed_type_error_keeps_its_cause_and_context():
    with pytest.raises(TypeError) as info:
        DIFF([], [], seed=failing_index(TypeError("custom index failure"), KeyError("inner")))
    assert info.value.args == ("argument 'seed': custom index failure",)
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(ZeroDivisionError, match="^not a type error$"):
        DIFF([], [], seed=failing_index(ZeroDivisionError("not a type error")))
    # Re-raising must not act as "from None": the exception being handled
    # when the call was made stays visible in the traceback.
    try:
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(TypeError) as info:
            DIFF([], [], seed=failing_index(TypeError("plain")))
    assert info.value.args == ("argument 'seed': plain",)
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    assert isinstance(info.value.__context__, KeyError)


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
        DIFF([], [], pricing)
    error_type = type(info.value)
    assert error_type.__bases__ == (BaseException,) and error_type.__module__ == "korvane._core"
    assert info.value.args == ("dictionary changed size during iteration",)
    assert error_type.__name__ not in core.__all__ and not hasattr(core, error_type.__name__)


SUBINTERPRETER = """
import sys
import korvane._core
try:
    import _interpreters as interpreters
    handle, run = interpreters.create("legacy"), interpreters.exec
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
