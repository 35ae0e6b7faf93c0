"""Names and number formats shared by every view of a report (terminal,
HTML, JUnit, Markdown), so that all of them print the same thing."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Iterable

if TYPE_CHECKING:
    from korvane._core import AxisName, AxisRow
    from korvane.suite.aggregate import AxisSummary

AXIS_LABELS: dict[str, str] = {
    "semantic": "semantic similarity",
    "trajectory": "tool-call trajectory",
    "safety": "refusal / safety",
    "verbosity": "verbosity",
    "latency": "latency",
    "cost": "cost",
    "reasoning": "reasoning depth",
    "judge": "llm-judge score",
    "conformance": "format conformance",
}

# What the numbers of each row measure.
AXIS_UNITS: dict[str, str] = {
    "semantic": "tf-idf cosine similarity",
    "trajectory": "tool-call edit distance",
    "safety": "refusal rate",
    "verbosity": "output tokens",
    "latency": "milliseconds",
    "cost": "price units per response",
    "reasoning": "thinking tokens + blocks",
    "judge": "not measured",
    "conformance": "conforming share",
}

# The severity cell of a row whose numbers are not all finite.
NOT_MEASURABLE = "not measurable"


def axis_label(axis: AxisName | str) -> str:
    return AXIS_LABELS.get(axis, axis)


def decimals_for(values: Iterable[float | None]) -> int:
    """Decimals that show the largest of the values with three or four
    significant digits: none from 100 on, one from 10, two from 1, three
    below, more for tiny values (costs per token are often below 0.001)."""
    largest = max((abs(v) for v in values if v is not None and math.isfinite(v)), default=0.0)
    if largest == 0 or largest >= 100:
        return 0
    if largest >= 10:
        return 1
    if largest >= 1:
        return 2
    return min(max(3, 2 - math.floor(math.log10(largest))), 12)


def format_number(value: float | None, signed: bool = False, decimals: int | None = None) -> str:
    """A number with a fixed count of decimals (by default chosen from its
    own size with decimals_for); None, a number that was not finite, prints
    as n/a and 0 as a bare 0."""
    if value is None or not math.isfinite(value):
        return "n/a"
    if value == 0:
        return "0"
    if decimals is None:
        decimals = decimals_for([value])
    text = f"{value:.{decimals}f}"
    if signed and value > 0:
        text = "+" + text
    return text


def format_interval(low: float | None, high: float | None, decimals: int | None = None) -> str:
    return (f"[{format_number(low, signed=True, decimals=decimals)}, "
            f"{format_number(high, signed=True, decimals=decimals)}]")


def row_numbers(row: AxisRow) -> tuple[str, str, str, str]:
    """Baseline, candidate, delta and interval of a row with one count of
    decimals for the whole row; a row that rests on no pairs shows dashes."""
    if row["n"] == 0:
        return "-", "-", "-", "-"
    values = (row["baseline_median"], row["candidate_median"], row["delta"],
              row["ci95_low"], row["ci95_high"])
    d = decimals_for(values)
    return (format_number(row["baseline_median"], decimals=d),
            format_number(row["candidate_median"], decimals=d),
            format_number(row["delta"], signed=True, decimals=d),
            format_interval(row["ci95_low"], row["ci95_high"], decimals=d))


def summary_numbers(axis: AxisSummary) -> tuple[str, str]:
    """The median per-task delta of a suite's axis and its interval, with
    one count of decimals for both; dashes when no task measured it."""
    if axis.median is None:
        return "-", "-"
    d = decimals_for([axis.median, axis.low, axis.high])
    return (format_number(axis.median, signed=True, decimals=d),
            format_interval(axis.low, axis.high, d))


def severity_word(row: AxisRow) -> str:
    """The row's severity, or "not measurable" when one of its numbers is
    not finite (the diff then grades it none, which would read as
    "nothing changed")."""
    numbers = (row["baseline_median"], row["candidate_median"], row["delta"],
               row["ci95_low"], row["ci95_high"])
    if row["n"] > 0 and any(v is None for v in numbers):
        return NOT_MEASURABLE
    return row["severity"]


def format_confidence(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.2f}"
