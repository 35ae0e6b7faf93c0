"""The type stubs of korvane._core: mypy --strict accepts typed use of the
API, rejects misuse, and the stubs match the module's signatures and
documentation texts."""

import ast
import inspect
import pathlib
import re

import pytest
from mypy import api as mypy_api

import korvane
import korvane._core as core

STUB = pathlib.Path(core.__file__).with_name("_core.pyi")
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
    use and each misuse (in a function of its own): {file or misuse: messages}."""
    directory = tmp_path_factory.mktemp("mypy")
    (directory / "typed_usage.py").write_text(TYPED_USE)
    lines, where = list(PRELUDE), {}
    for k, (snippet, _) in enumerate(MISUSES):
        lines += [f"def case_{k}() -> None:", "    " + snippet]
        where[len(lines)] = snippet
    (directory / "misuse.py").write_text("\n".join(lines) + "\n")
    (directory / "none.ini").write_text("[mypy]\n")
    out, err, _ = mypy_api.run(["--strict", "--no-error-summary", "--cache-dir", str(directory / "cache"), "--config-file",
                                str(directory / "none.ini"), str(directory / "typed_usage.py"), str(directory / "misuse.py")])
    messages = {"typed_usage.py": err, **dict.fromkeys(where.values(), "")}
    for file, line, message in re.findall(r"^\S*?(\w+\.py):(\d+): (.*)$", out, re.M):
        messages[file if file == "typed_usage.py" else where[int(line)]] += message + "\n"
    return messages


def test_typed_use_passes_strict_checking_and_runs(mypy_messages):
    assert mypy_messages["typed_usage.py"] == ""
    exec(compile(TYPED_USE, "typed_usage.py", "exec"), {})


@pytest.mark.parametrize("snippet, error", MISUSES)
def test_misuse_is_rejected(mypy_messages, snippet, error):
    assert error in mypy_messages[snippet], mypy_messages[snippet]


def test_stubs_match_the_module():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    assert STUB.with_name("py.typed").is_file() and ast.get_docstring(tree, clean=False) == core.__doc__
    declared = next(n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert ast.literal_eval(declared.value) == core.__all__
    for name in korvane.__all__[2:]:
        stub = next(n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == name)
        names, defaults = [a.arg for a in stub.args.args], [ast.literal_eval(d) for d in stub.args.defaults]
        runtime = inspect.signature(getattr(core, name)).parameters.values()
        assert list(zip(names, [None] * (len(names) - len(defaults)) + defaults)) == [
            (p.name, None if p.default is p.empty else p.default) for p in runtime]
        assert ast.get_docstring(stub) == inspect.cleandoc(getattr(core, name).__doc__)
