"""The type stubs of korvane._core: mypy --strict accepts typed use of the
API, rejects misuse, and the stubs match the module's signatures and docs."""

import ast
import inspect
import pathlib
import re

import pytest

import korvane
import korvane._core as core
import typed_usage
from vectors import CORPUS

mypy_api = pytest.importorskip("mypy.api")

HERE = pathlib.Path(__file__).resolve().parent
STUB = pathlib.Path(core.__file__).with_name("_core.pyi")


def mypy(directory, path):
    """(status, output) of mypy --strict on one file, without any project
    configuration, against the installed package."""
    (directory / "none.ini").write_text("[mypy]\n")
    out, err, status = mypy_api.run([
        "--strict", "--no-error-summary", "--cache-dir", str(directory / "cache"),
        "--config-file", str(directory / "none.ini"), str(path)])
    return status, out + err


def test_typed_usage_passes_strict_checking_and_runs(tmp_path):
    status, output = mypy(tmp_path, HERE / "typed_usage.py")
    assert status == 0, output
    assert typed_usage.main(CORPUS / "tau2-airline-t0-gpt-5.4.agentlog")[0] == "1.7.30.1"


PRELUDE = """\
import korvane
report = korvane.compute_diff_report([], [], seed=1)
row = report["rows"][0]
"""

MISUSES = [
    ('korvane.parse_agentlog("text")', '"parse_agentlog" has incompatible type "str"'),
    ("korvane.parse_agentlog(bytearray())", 'incompatible type "bytearray"'),
    ("korvane.write_agentlog((1, 2))", '"write_agentlog" has incompatible type'),
    ('korvane.compute_diff_report([], [], seed="1")', 'incompatible type "str"'),
    ('korvane.compute_diff_report([], [], {"m": "cheap"})', "incompatible type"),
    ('korvane.compute_diff_report([], [], {"m": {"output": 1.0}})',
     'incompatible type "dict[str, dict[str, float]]"'),
    ('korvane.compute_diff_report([], [], pricing=[])', "incompatible type"),
    ("korvane.compute_diff_report([])", 'Missing positional argument "candidate"'),
    ('x: float = row["delta"] + 1.0', "Unsupported operand types"),
    ('report["row"]', 'TypedDict "DiffReport" has no key "row"'),
    ('b = row["axis"] == "semantics"', "Non-overlapping equality check"),
    ('s: int = report["first_divergence"]["baseline_turn"]', "not indexable"),
    ('p: str = korvane.parse_agentlog(b"")[0]["parent"]', "Incompatible types in assignment"),
]


@pytest.fixture(scope="module")
def misuse_errors(tmp_path_factory):
    """mypy's messages for each misuse snippet, from one run over a file
    that holds every snippet in a function of its own."""
    directory = tmp_path_factory.mktemp("misuse")
    lines, where = PRELUDE.splitlines(), {}
    for k, (snippet, _) in enumerate(MISUSES):
        lines += [f"def case_{k}() -> None:", "    " + snippet]
        where[len(lines)] = snippet
    (directory / "misuse.py").write_text("\n".join(lines) + "\n")
    status, output = mypy(directory, directory / "misuse.py")
    assert status == 1
    errors = dict.fromkeys(where.values(), "")
    for line, message in re.findall(r"^\S*misuse\.py:(\d+): (.*)$", output, re.M):
        assert int(line) in where, output
        errors[where[int(line)]] += message + "\n"
    return errors


@pytest.mark.parametrize("snippet, error", MISUSES)
def test_misuse_is_rejected(misuse_errors, snippet, error):
    assert error in misuse_errors[snippet], misuse_errors[snippet]


@pytest.mark.parametrize("name", korvane.__all__[2:])
def test_stub_signature_and_doc_match_the_module(name):
    stub = next(n for n in ast.parse(STUB.read_text(encoding="utf-8")).body
                if isinstance(n, ast.FunctionDef) and n.name == name)
    names, defaults = [a.arg for a in stub.args.args], [ast.literal_eval(d) for d in stub.args.defaults]
    runtime = inspect.signature(getattr(core, name)).parameters.values()
    assert list(zip(names, [None] * (len(names) - len(defaults)) + defaults)) == [
        (p.name, None if p.default is p.empty else p.default) for p in runtime]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in runtime)
    assert ast.get_docstring(stub) == inspect.cleandoc(getattr(core, name).__doc__)


def test_stub_module_names():
    assert STUB.with_name("py.typed").is_file()
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    assert ast.get_docstring(tree, clean=False) == core.__doc__
    declared = next(n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert ast.literal_eval(declared.value) == core.__all__
