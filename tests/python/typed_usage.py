"""Typed use of the korvane API, checked with `mypy --strict` by
test_stubs.py and run by it as well, so the stubs and the module agree."""

from __future__ import annotations

import pathlib
from typing import TYPE_CHECKING

import korvane

if TYPE_CHECKING:
    from korvane._core import (AgentRecord, AxisFlag, AxisName, DiffReport, DriftKind, ModelPrices,
                               RecommendationAction, RecommendationSeverity, Severity)


def worst_rows(report: DiffReport) -> list[tuple[AxisName, Severity, float]]:
    flags: list[AxisFlag] = [f for row in report["rows"] for f in row["flags"]]
    assert all(isinstance(f, str) for f in flags)
    return [(row["axis"], row["severity"], abs(row["delta"])) for row in report["rows"]
            if row["delta"] is not None and row["severity"] in ("moderate", "severe")]


def describe(report: DiffReport) -> list[str]:
    lines = [f"{report['baseline_trace_id']} vs {report['candidate_trace_id']}: {report['pair_count']} pairs"]
    first = report["first_divergence"]
    if first is not None:
        kind: DriftKind = first["kind"]
        lines.append(f"{kind} at {first['baseline_turn']}: {first['explanation']}")
    for rec in report["recommendations"]:
        severity: RecommendationSeverity = rec["severity"]
        action: RecommendationAction = rec["action"]
        lines.append(f"{severity} {action} {rec['turn']} {rec['message']} {rec['axis']}")
    for pair in report["drill_down"]:
        total = sum(s["normalized_delta"] or 0.0 for s in pair["axis_scores"])
        lines.append(f"{pair['pair_index']} {pair['dominant_axis']} {total:.2f}")
    return lines


def main(trace: pathlib.Path) -> list[str]:
    records: list[AgentRecord] = korvane.parse_agentlog(trace.read_bytes())
    data: bytes = korvane.write_agentlog(records)
    assert korvane.parse_agentlog(data) == records
    parents = [record["parent"] for record in records if record["parent"] is not None]
    ids: list[str] = [korvane.content_id(record["payload"]) for record in records]
    canonical: bytes = korvane.canonical_bytes({"b": [1, 2.5, None], "a": "x"})
    # Price lists held in variables, so that their inferred types must fit.
    prices: ModelPrices = {"input": 3e-6, "output": 1.5e-5, "cached_input": 3e-7}
    by_tuple, by_list = {"m": (3e-6, 1.5e-5)}, {"m": [3e-6, 1.5e-5, 3e-7]}
    report = korvane.compute_diff_report(records, records, {"m": prices}, seed=1)
    korvane.compute_diff_report(records, records, by_tuple)
    korvane.compute_diff_report(records, records, by_list, seed=None)
    korvane.compute_diff_report(baseline=records, candidate=[], pricing=None, seed=True)
    assert len(report["rows"]) == 9 and not worst_rows(report)
    version: str = korvane.__version__ + korvane.SPEC_VERSION
    return [version, *sorted({record["kind"] for record in records}), *parents[:1], *ids[:1], canonical.decode(),
            *describe(report)]
