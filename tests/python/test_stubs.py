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


def test_installed_package_ships_the_stubs():
    assert STUB.is_file()
    assert STUB.with_name("py.typed").is_file()


def test_typed_usage_passes_strict_checking(tmp_path):
    status, output = mypy(tmp_path, HERE / "typed_usage.py")
    assert status == 0, output


def test_typed_usage_runs():
    lines = typed_usage.main(CORPUS / "tau2-airline-t0-gpt-5.4.agentlog")
    assert lines[0] == "1.7.30.1"


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
    lines = PRELUDE.splitlines()
    where = {}
    for k, (snippet, _) in enumerate(MISUSES):
        lines.append(f"def case_{k}() -> None:")
        where[len(lines) + 1] = snippet
        lines.append("    " + snippet)
    path = directory / "misuse.py"
    path.write_text("\n".join(lines) + "\n")
    status, output = mypy(directory, path)
    assert status == 1
    errors = {snippet: "" for snippet in where.values()}
    for match in re.finditer(r"^misuse\.py:(\d+): (.*)$", output.replace(str(directory) + "/", ""),
                             re.M):
        line = int(match.group(1))
        assert line in where, output
        errors[where[line]] += match.group(2) + "\n"
    return errors


@pytest.mark.parametrize("snippet, error", MISUSES)
def test_misuse_is_rejected(misuse_errors, snippet, error):
    assert error in misuse_errors[snippet], misuse_errors[snippet]


def stub_functions():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


@pytest.mark.parametrize("name", korvane.__all__[2:])
def test_stub_signature_and_doc_match_the_module(name):
    stub = stub_functions()[name]
    runtime = inspect.signature(getattr(core, name))
    params = [(a.arg, None) for a in stub.args.args]
    for k, default in enumerate(stub.args.defaults, len(params) - len(stub.args.defaults)):
        params[k] = (params[k][0], ast.literal_eval(default))
    assert params == [
        (p.name, None if p.default is inspect.Parameter.empty else p.default)
        for p in runtime.parameters.values()
    ]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in runtime.parameters.values())
    assert ast.get_docstring(stub) == inspect.cleandoc(getattr(core, name).__doc__)


def test_stub_module_names():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    assert ast.get_docstring(tree, clean=False) == core.__doc__
    declared = next(n for n in tree.body if isinstance(n, ast.Assign)
                    and n.targets[0].id == "__all__")
    assert ast.literal_eval(declared.value) == core.__all__
