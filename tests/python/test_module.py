"""The module surface: attributes, signatures and documentation texts (pinned
here and only here), argument binding and the failure-to-exception rules."""

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
        "`seed` is an optional RNG seed for reproducible bootstrap CIs."),
}


def test_attributes_signatures_and_docs():
    assert core.__all__ == korvane.__all__ == NAMES
    assert [name for name in vars(core) if not name.startswith("__") or name == "__version__"] == NAMES
    assert all(getattr(korvane, name) is getattr(core, name) for name in NAMES)
    assert (core.__version__, core.SPEC_VERSION, core.__name__) == ("1.7.3", "0.1", "korvane._core")
    assert core.__doc__ == ("The entry point the Python interpreter calls when `korvane._core` is\n"
                            "imported. Registers every function above.")
    for name, (signature, doc) in FUNCTIONS.items():
        function = getattr(core, name)
        assert (str(inspect.signature(function)), function.__text_signature__, function.__doc__) == (signature, signature, doc)
        assert (function.__module__, function.__name__) == ("korvane._core", name)
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in inspect.signature(function).parameters.values())
    # The interpreter asks for the module again: it is the same object.
    saved = sys.modules.pop("korvane._core")
    try:
        assert importlib.import_module("korvane._core") is saved
    finally:
        sys.modules["korvane._core"] = saved


DIFF = core.compute_diff_report
NOT_LIST = "argument '{}': '{}' object cannot be converted to 'PyList'"
NOT_BYTES = "argument 'data': '{}' object cannot be converted to 'PyBytes'"
MISSING_BOTH = "compute_diff_report() missing 2 required positional arguments: 'baseline' and 'candidate'"
Inner = type("Inner", (), {"__qualname__": "Outer.Inner"})


@pytest.mark.parametrize("call, message", [
    (lambda: core.content_id(1, 2, 3), "content_id() takes 1 positional arguments but 3 were given"),
    (lambda: DIFF([], [], None, None, 5), "compute_diff_report() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: core.parse_agentlog(), "parse_agentlog() missing 1 required positional argument: 'data'"),
    (lambda: DIFF(), MISSING_BOTH), (lambda: DIFF(seed=1), MISSING_BOTH),
    (lambda: DIFF([], [], None, candidate=[]), "compute_diff_report() got multiple values for argument 'candidate'"),
    (lambda: core.write_agentlog(record=[]), "write_agentlog() got an unexpected keyword argument 'record'"),
    (lambda: core.parse_agentlog(bytearray(b"")), NOT_BYTES.format("bytearray")),
    (lambda: core.parse_agentlog(Inner()), NOT_BYTES.format("Outer.Inner")),
    (lambda: core.write_agentlog(()), NOT_LIST.format("records", "tuple")), (lambda: DIFF([], None), NOT_LIST.format("candidate", "NoneType")),
    (lambda: DIFF([], [], [("m", (1, 2))]), "argument 'pricing': 'list' object cannot be converted to 'PyDict'"),
    (lambda: DIFF([], [], seed="1"), "argument 'seed': 'str' object cannot be interpreted as an integer"),
    # An unknown keyword is reported before a missing argument, a missing
    # argument before a wrong type; types are checked in parameter order,
    # before any record is converted.
    (lambda: DIFF("bad", x=1), "compute_diff_report() got an unexpected keyword argument 'x'"),
    (lambda: DIFF("bad"), "compute_diff_report() missing 1 required positional argument: 'candidate'"),
    (lambda: DIFF("bad", "bad", seed=1.5), NOT_LIST.format("baseline", "str")),
    (lambda: DIFF([{}], [{}], seed=1.5), "argument 'seed': 'float' object cannot be interpreted as an integer"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and info.value.args == (message,)


def test_subclasses_keywords_and_seeds_pass():
    data = b'{"version":"0.1","id":"r","kind":"error","ts":"t","parent":null,"payload":null}\n'
    records = type("List", (list,), {})(core.parse_agentlog(data))
    assert core.parse_agentlog(data=type("Bytes", (bytes,), {})(data)) == records
    assert core.write_agentlog(records=records) == data
    assert (core.canonical_bytes(payload=[1]), core.content_id(payload="x")[:7]) == (b"[1]", "sha256:")
    assert DIFF(baseline=records, candidate=[], pricing=type("Dict", (dict,), {})(), seed=True)["pair_count"] == 0
    assert DIFF([], [], seed=type("I", (), {"__index__": lambda self: 7})()) == DIFF([], [], seed=7) == DIFF([], [], None, 7)
    assert DIFF([], [], None, None) == DIFF([], []) and DIFF([], [], seed=2**64 - 1)["pair_count"] == 0
    for bad in (-1, 2**64, -(2**70)):
        with pytest.raises(OverflowError) as info:
            DIFF([], [], seed=bad)
        assert type(info.value) is OverflowError and not info.value.args[0].startswith("argument")


def index(exc, cause=None):
    """An object whose __index__ raises exc, from cause when one is given."""
    def body(self):
        if cause is None:
            raise exc
        raise exc from cause
    return type("Index", (), {"__index__": body})()


def test_seed_errors_keep_their_type_cause_and_context():
    with pytest.raises(TypeError) as info:
        DIFF([], [], seed=index(TypeError("custom index failure"), KeyError("inner")))
    assert info.value.args == ("argument 'seed': custom index failure",) and isinstance(info.value.__cause__, KeyError)
    with pytest.raises(ZeroDivisionError, match="^not a type error$"):
        DIFF([], [], seed=index(ZeroDivisionError("not a type error")))
    try:  # the exception being handled when the call was made stays the context: no "from None"
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(TypeError) as info:
            DIFF([], [], seed=index(TypeError("plain")))
    assert (info.value.args, info.value.__cause__, info.value.__suppress_context__) == (("argument 'seed': plain",), None, False)
    assert isinstance(info.value.__context__, KeyError)
    # A pricing value whose __float__ resizes the pricing dict provokes the
    # one internal failure a caller can: of a type of its own, a BaseException.
    pricing = {"m": (type("Resizing", (), {"__float__": lambda self: pricing.update(o=(1.0, 2.0)) or 1.0})(), 2.0)}
    with pytest.raises(BaseException) as info:
        DIFF([], [], pricing)
    error_type = type(info.value)
    assert (error_type.__bases__, error_type.__module__) == ((BaseException,), "korvane._core")
    assert info.value.args == ("dictionary changed size during iteration",)
    assert error_type.__name__ not in core.__all__ and not hasattr(core, error_type.__name__)


# The interpreters module is _xxsubinterpreters up to 3.12 and _interpreters
# from 3.13 on; "legacy" makes an interpreter that shares the main one's
# rules for single-phase modules, as 3.11's did.
SUBINTERPRETER = """if True:
    import sys, korvane._core
    if sys.version_info >= (3, 13):
        import _interpreters as interpreters
        handle, run = interpreters.create("legacy"), interpreters.exec
    else:
        import _xxsubinterpreters as interpreters
        handle, run = interpreters.create(**({"isolated": False} if sys.version_info >= (3, 12) else {})), interpreters.run_string
    run(handle, "try:\\n import korvane._core\\n r = 'imported'\\nexcept ImportError as e:\\n r = 'ImportError: ' + str(e)\\n"
                f"open({sys.argv[1]!r}, 'w').write(r)")"""


def test_a_second_interpreter_cannot_load_the_module(tmp_path):
    subprocess.run([sys.executable, "-c", SUBINTERPRETER, str(tmp_path / "result")], check=True)
    result = (tmp_path / "result").read_text()
    assert result.startswith("ImportError: ") and "sub-interpreters are not supported" in result
