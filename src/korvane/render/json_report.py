"""The --json outputs. A diff prints the report as compute_diff_report
returns it, followed by "verdict" and, when prices were given, "pricing".
A suite prints its summary followed by "tasks", every task's line of the
results file, streamed rather than loaded."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, Iterator

if TYPE_CHECKING:
    from korvane._core import DiffReport
    from korvane.prices import Pricing
    from korvane.suite.aggregate import SuiteResult
    from korvane.verdict import Verdict


def verdict_json(verdict: Verdict) -> dict[str, Any]:
    return {"status": verdict.status, "exit_status": verdict.exit_status,
            "reasons": list(verdict.reasons), "improvements": list(verdict.improvements),
            "not_gated": list(verdict.notes)}


def diff_json(report: DiffReport, verdict: Verdict, pricing: Pricing | None,
              ascii_only: bool = False) -> str:
    document: dict[str, Any] = {**report, "verdict": verdict_json(verdict)}
    if pricing is not None:
        document["pricing"] = pricing.describe()
    # The binding turns non-finite numbers into None, so strict JSON holds.
    return json.dumps(document, indent=2, ensure_ascii=ascii_only, allow_nan=False) + "\n"


def suite_json(result: SuiteResult, ascii_only: bool = False) -> Iterator[str]:
    head = json.dumps(result.to_json(), indent=2, ensure_ascii=ascii_only, allow_nan=False)
    yield head[:-2] + ',\n  "tasks": ['
    with open(result.results_path, "rb") as handle:
        for index, record in enumerate(result.tasks):
            handle.seek(record.offset)
            line = handle.readline().decode("utf-8", "backslashreplace").rstrip("\n")
            if ascii_only:
                line = json.dumps(json.loads(line), ensure_ascii=True)
            yield ("\n    " if index == 0 else ",\n    ") + line
    yield "\n  ]\n}\n"
