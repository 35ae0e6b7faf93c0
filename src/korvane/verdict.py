"""The verdict on a diff: does the candidate regress? One rule for
`korvane diff` and for every task of a suite.

Severity measures the size of a change in either direction; the verdict
adds the direction. A row counts against the candidate only when its delta
points the worse way for its axis (WORSE_SIGN), its axis is gated (by
default every measured axis but verbosity and reasoning depth) and its
severity reaches the threshold (severe by default). Error recommendations
about tool calls and turns count as well, except the aggregate one, which
only restates a severe row and so follows that row, and the refusal one
when the candidate merely stopped being filtered. A candidate with no
response, or with under half the baseline's responses, regresses whatever
the rows say; a baseline without any response leaves nothing to compare."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Iterable, Literal, Mapping

from korvane.render.formats import axis_label, row_numbers

if TYPE_CHECKING:
    from korvane._core import AxisRow, DiffReport, Recommendation

Status = Literal["pass", "regression", "nothing to compare"]
Direction = Literal["worse", "better", "same", "not measurable"]
Change = Literal["regressed", "improved", "unchanged", "not measurable"]

# The sign of a delta that counts against the candidate: similarity and
# conformance must not fall; distance, refusals, latency, cost, output
# tokens and thinking must not rise. The judge axis is never measured.
WORSE_SIGN: dict[str, int] = {
    "semantic": -1, "trajectory": 1, "safety": 1, "verbosity": 1, "latency": 1,
    "cost": 1, "reasoning": 1, "conformance": -1,
}
AXES = tuple(WORSE_SIGN)
# Axes that fail the gate unless the user names others.
DEFAULT_FAIL_ON = frozenset(("semantic", "trajectory", "safety", "latency", "cost", "conformance"))
SEVERITIES = ("none", "minor", "moderate", "severe")
DEFAULT_FAIL_SEVERITY = "severe"
# A candidate with fewer responses than this share of the baseline's regresses.
MIN_RESPONSE_SHARE = 0.5

# Weights that rank regressed tasks: a worse gated row weighs its severity
# (minor 1, moderate 2, severe 3), a counted error recommendation as much as
# a severe row, a missing or much shorter candidate as much as two.
ERROR_WEIGHT = 3
RESPONSE_WEIGHT = 6

EXIT_STATUS: dict[Status, int] = {"pass": 0, "regression": 1, "nothing to compare": 2}


def headline(status: Status) -> str:
    """The verdict in words, as every view prints it."""
    return "no regression" if status == "pass" else status

# The explanation of a stop-reason divergence, which the refusal
# recommendation quotes as its rationale.
_STOP_REASON = re.compile(r"stop_reason changed: `(.*)` → `(.*)`", re.S)


@dataclass(frozen=True)
class Rule:
    """Which axes gate, and from which severity on."""

    fail_on: frozenset[str] = DEFAULT_FAIL_ON
    fail_severity: str = DEFAULT_FAIL_SEVERITY

    def __post_init__(self) -> None:
        unknown = sorted(set(self.fail_on) - set(AXES))
        if unknown:
            raise ValueError(f"unknown axis {unknown[0]!r}; the axes are {', '.join(AXES)}")
        if self.fail_severity not in SEVERITIES[1:]:
            raise ValueError(f"unknown severity {self.fail_severity!r}; "
                             f"use {', '.join(SEVERITIES[1:])}")

    @classmethod
    def parse(cls, fail_on: str | None = None, fail_severity: str | None = None) -> Rule:
        """The rule from the command line's comma-separated axis list and
        severity word; ValueError for an unknown name."""
        axes = DEFAULT_FAIL_ON
        if fail_on is not None:
            axes = frozenset(a.strip() for a in fail_on.split(",") if a.strip())
            if not axes:
                raise ValueError("--fail-on names no axis")
        return cls(axes, fail_severity or DEFAULT_FAIL_SEVERITY)

    def describe(self) -> str:
        axes = ", ".join(axis_label(a) for a in AXES if a in self.fail_on)
        return f"fails on {self.fail_severity} or worse in {axes}"


@dataclass(frozen=True)
class Verdict:
    """The outcome, with one line per reason: `reasons` why the candidate
    regresses (empty when it passes), `improvements` and `notes` (worse rows
    of axes that do not gate). `changes` classifies each row of the report,
    in report order; `weight` ranks regressed candidates."""

    status: Status
    reasons: tuple[str, ...] = ()
    improvements: tuple[str, ...] = ()
    notes: tuple[str, ...] = ()
    changes: tuple[Change, ...] = field(default=())
    weight: float = 0.0

    @property
    def exit_status(self) -> int:
        return EXIT_STATUS[self.status]


def direction(row: AxisRow) -> Direction:
    """Which way the row moved, by its severity and the axis's worse sign."""
    numbers = (row["baseline_median"], row["candidate_median"], row["delta"],
               row["ci95_low"], row["ci95_high"])
    if row["n"] == 0 or any(v is None for v in numbers):
        return "not measurable"
    sign = WORSE_SIGN.get(row["axis"], 0)
    delta = row["delta"] or 0.0
    if row["severity"] == "none" or sign == 0 or delta == 0:
        return "same"
    return "worse" if delta * sign > 0 else "better"


def change(row: AxisRow, rule: Rule) -> Change:
    """The row's class under the rule: a move at or above the threshold
    severity regressed or improved the candidate; a smaller one did not."""
    moved = direction(row)
    if moved == "not measurable":
        return moved
    if moved == "same" or SEVERITIES.index(row["severity"]) < SEVERITIES.index(rule.fail_severity):
        return "unchanged"
    return "regressed" if moved == "worse" else "improved"


def _row_line(row: AxisRow, moved: str) -> str:
    _, _, delta, interval = row_numbers(row)
    return f"{axis_label(row['axis'])} {moved}: {delta} {interval}, {row['severity']}"


def _restates_row(rec: Recommendation) -> bool:
    return (rec["message"].startswith("Review the candidate: ")
            and rec["rationale"].startswith("Aggregate signal crosses the `severe` threshold"))


def _filter_lifted(rec: Recommendation) -> bool:
    """True for the refusal recommendation raised because the baseline was
    content-filtered and the candidate is not: that is an improvement."""
    match = _STOP_REASON.fullmatch(rec["rationale"])
    return (match is not None and match.group(1) == "content_filter"
            and match.group(2) != "content_filter")


def judge(report: DiffReport, baseline_responses: int, candidate_responses: int,
          rule: Rule = Rule()) -> Verdict:
    """The verdict on a report, given how many chat_response records each
    trace holds (the report pairs only the first min of the two)."""
    changes = tuple(change(row, rule) for row in report["rows"])
    if baseline_responses == 0:
        why = ("neither trace has a response" if candidate_responses == 0
               else "the baseline has no response to compare with")
        return Verdict("nothing to compare", (why,), changes=changes)

    reasons: list[str] = []
    improvements: list[str] = []
    notes: list[str] = []
    weight = 0.0
    if candidate_responses < baseline_responses * MIN_RESPONSE_SHARE:
        reasons.append(f"the candidate has no response where the baseline has {baseline_responses}"
                       if candidate_responses == 0 else
                       f"the candidate has {candidate_responses} responses, under half of the "
                       f"baseline's {baseline_responses}")
        weight += RESPONSE_WEIGHT
    for row, row_change in zip(report["rows"], changes):
        gated = row["axis"] in rule.fail_on
        if gated and direction(row) == "worse":
            weight += SEVERITIES.index(row["severity"])
        if row_change == "regressed":
            (reasons if gated else notes).append(_row_line(row, "worse"))
        elif row_change == "improved":
            improvements.append(_row_line(row, "better"))
    for rec in report["recommendations"]:
        if rec["severity"] != "error" or _restates_row(rec):
            continue
        if _filter_lifted(rec):
            improvements.append(f"no longer content-filtered at turn {rec['turn']}")
            continue
        reasons.append(f"error recommendation: {rec['message']}")
        weight += ERROR_WEIGHT
    return Verdict("regression" if reasons else "pass", tuple(reasons), tuple(improvements),
                   tuple(notes), changes, weight)


def count_responses(records: Iterable[Mapping[str, Any]]) -> int:
    return sum(1 for r in records if r["kind"] == "chat_response")
