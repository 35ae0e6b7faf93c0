"""The module surface: attributes, signatures and documentation texts (pinned
here only), argument binding, the failure-to-exception rules, and the type
stubs: mypy --strict accepts typed use and rejects misuse, and the stubs match
the module."""

import ast
import importlib
import inspect
import pathlib
import re
import subprocess
import sys

import pytest
from mypy import api as mypy_api

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
STUB = pathlib.Path(core.__file__).with_name("_core.pyi")


def test_attributes_signatures_and_docs(monkeypatch):
    assert core.__all__ == korvane.__all__ == NAMES == [n for n in vars(core) if not n.startswith("__") or n == "__version__"]
    assert all(getattr(korvane, name) is getattr(core, name) for name in NAMES)
    assert (core.__version__, core.SPEC_VERSION, core.__name__, core.__doc__) == ("1.7.3", "0.1", "korvane._core", (
        "The entry point the Python interpreter calls when `korvane._core` is\nimported. Registers every function above."))
    stubs = ast.parse(STUB.read_text(encoding="utf-8"))  # the type stubs say the same
    assert STUB.with_name("py.typed").is_file() and ast.get_docstring(stubs, clean=False) == core.__doc__
    assert ast.literal_eval(next(n.value for n in stubs.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")) == NAMES
    for name, (signature, doc) in FUNCTIONS.items():
        f, stub = getattr(core, name), next(n for n in stubs.body if isinstance(n, ast.FunctionDef) and n.name == name)
        assert (str(inspect.signature(f)), f.__text_signature__, f.__doc__, f.__module__, f.__name__) == (
            signature, signature, doc, "korvane._core", name)
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in inspect.signature(f).parameters.values())
        defaults = [None] * (len(stub.args.args) - len(stub.args.defaults)) + stub.args.defaults
        assert "(" + ", ".join(a.arg + (d and "=" + ast.unparse(d) or "") for a, d in zip(stub.args.args, defaults)) + ")" == signature
        assert ast.get_docstring(stub) == inspect.cleandoc(doc)
    monkeypatch.delitem(sys.modules, "korvane._core")  # asked again, the module is the same object
    assert importlib.import_module("korvane._core") is core


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
    # An unknown keyword goes before a missing argument, that before a wrong
    # type; types are checked in parameter order, before any conversion.
    (lambda: DIFF("bad", x=1), "compute_diff_report() got an unexpected keyword argument 'x'"),
    (lambda: DIFF("bad"), "compute_diff_report() missing 1 required positional argument: 'candidate'"),
    (lambda: DIFF("bad", "bad", seed=1.5), NOT_LIST.format("baseline", "str")),
    (lambda: DIFF([{}], [{}], seed=1.5), "argument 'seed': 'float' object cannot be interpreted as an integer"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert (type(info.value), info.value.args) == (TypeError, (message,))


def test_subclasses_keywords_and_seeds_pass():
    data = b'{"version":"0.1","id":"r","kind":"error","ts":"t","parent":null,"payload":null}\n'
    records = type("List", (list,), {})(core.parse_agentlog(data))
    assert core.parse_agentlog(data=type("Bytes", (bytes,), {})(data)) == records and core.write_agentlog(records=records) == data
    assert (core.canonical_bytes(payload=[1]), core.content_id(payload="x")[:7]) == (b"[1]", "sha256:")
    assert DIFF(baseline=records, candidate=[], pricing=type("Dict", (dict,), {})(), seed=True)["pair_count"] == 0
    assert DIFF([], [], seed=type("I", (), {"__index__": lambda self: 7})()) == DIFF([], [], seed=7) == DIFF([], [], None, 7)
    assert DIFF([], [], None, None) == DIFF([], []) and DIFF([], [], seed=2**64 - 1)["pair_count"] == 0
    for bad in (-1, 2**64, -(2**70)):  # passed through, not prefixed
        with pytest.raises(OverflowError, match="^(?!argument)"):
            DIFF([], [], seed=bad)


def index(exc, cause=None):
    """An object whose __index__ raises exc (from cause, when given)."""
    if cause is not None:
        exc.__cause__ = cause
    return type("Index", (), {"__index__": lambda self: (_ for _ in ()).throw(exc)})()


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


# _xxsubinterpreters up to 3.12, _interpreters from 3.13 ("legacy": as 3.11's).
SUBINTERPRETER = """if True:
    import sys, korvane._core
    if sys.version_info >= (3, 13):
        import _interpreters as interpreters
        handle, run = interpreters.create("legacy"), interpreters.exec
    else:
        import _xxsubinterpreters as interpreters
        handle, run = interpreters.create(**({"isolated": False} if sys.version_info >= (3, 12) else {})), interpreters.run_string
    run(handle, "try:\\n import korvane._core\\nexcept ImportError as e:\\n print(e)")"""


def test_a_second_interpreter_cannot_load_the_module():
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, check=True)
    assert out.stdout.endswith("sub-interpreters are not supported\n"), out


# Typed use: values read with the types the stubs give them.
TYPED_USE = """\
from __future__ import annotations
from typing import TYPE_CHECKING
import korvane
if TYPE_CHECKING:  # names of the stubs only
    from korvane._core import AgentRecord, AxisFlag, AxisName, DiffReport, DriftKind, ModelPrices, RecommendationAction
records: list[AgentRecord] = korvane.parse_agentlog(korvane.write_agentlog([]))
prices: ModelPrices = {"input": 3e-6, "output": 1.5e-5, "cached_input": 3e-7}
report: DiffReport = korvane.compute_diff_report(records, records, {"m": prices}, seed=True)
korvane.compute_diff_report(baseline=records, candidate=[], pricing={"m": (3e-6, 1.5e-5)}, seed=None)
kind: DriftKind | None = report["first_divergence"]["kind"] if report["first_divergence"] else None
typed: list[tuple[AxisName, list[AxisFlag], float | None, str | None, RecommendationAction, str, bytes]] = [
    (row["axis"], row["flags"], row["delta"], r["parent"], report["recommendations"][0]["action"],
     korvane.content_id(r["payload"]), korvane.canonical_bytes(r)) for row in report["rows"] for r in records]
"""
PRELUDE = ["import korvane", "report = korvane.compute_diff_report([], [], seed=1)", 'row = report["rows"][0]']
MISUSES = [
    ('korvane.parse_agentlog("text")', '"parse_agentlog" has incompatible type "str"'),
    ("korvane.parse_agentlog(bytearray())", 'incompatible type "bytearray"'),
    ("korvane.write_agentlog((1, 2))", '"write_agentlog" has incompatible type'),
    ('korvane.compute_diff_report([], [], seed="1")', 'incompatible type "str"'),
    ('korvane.compute_diff_report([], [], {"m": "cheap"})', "incompatible type"),
    ('korvane.compute_diff_report([], [], {"m": {"output": 1.0}})', 'incompatible type "dict[str, dict[str, float]]"'),
    ('korvane.compute_diff_report([], [], pricing=[])', "incompatible type"),
    ("korvane.compute_diff_report([])", 'Missing positional argument "candidate"'),
    ('x: float = row["delta"] + 1.0', "Unsupported operand types"), ('report["row"]', 'TypedDict "DiffReport" has no key "row"'),
    ('b = row["axis"] == "semantics"', "Non-overlapping equality check"),
    ('s: int = report["first_divergence"]["baseline_turn"]', "not indexable"),
    ('p: str = korvane.parse_agentlog(b"")[0]["parent"]', "Incompatible types in assignment"),
]


@pytest.fixture(scope="module")
def mypy_messages(tmp_path_factory):
    """mypy --strict's messages, without project configuration, for the typed
    use and each misuse (one a line): {file or misuse: messages}."""
    directory = tmp_path_factory.mktemp("mypy")
    (directory / "typed_usage.py").write_text(TYPED_USE)
    (directory / "misuse.py").write_text("\n".join(PRELUDE + [snippet for snippet, _ in MISUSES]) + "\n")
    (directory / "none.ini").write_text("[mypy]\n")
    out, err, _ = mypy_api.run(["--strict", "--no-error-summary", "--cache-dir", str(directory / "cache"), "--config-file",
                                str(directory / "none.ini"), str(directory / "typed_usage.py"), str(directory / "misuse.py")])
    messages = {"typed_usage.py": err, **{snippet: "" for snippet, _ in MISUSES}}
    for file, line, message in re.findall(r"^\S*?(\w+\.py):(\d+): (.*)$", out, re.M):
        messages[file if file == "typed_usage.py" else MISUSES[int(line) - len(PRELUDE) - 1][0]] += message + "\n"
    return messages


def test_typed_use_passes_strict_checking_and_runs(mypy_messages):
    assert mypy_messages["typed_usage.py"] == ""
    exec(compile(TYPED_USE, "typed_usage.py", "exec"), {})


@pytest.mark.parametrize("snippet, error", MISUSES)
def test_misuse_is_rejected(mypy_messages, snippet, error):
    assert error in mypy_messages[snippet], mypy_messages[snippet]
