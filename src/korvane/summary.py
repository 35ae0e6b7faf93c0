"""Readable renderings of a diff report: number formats, the CI verdict and
the terminal summary. The HTML page (korvane.html_report) shares the
formats and the verdict so both views say the same thing."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Iterable, Sequence

if TYPE_CHECKING:
    from korvane._core import AxisName, AxisRow, DiffReport, PairDrilldown

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
    if value is None:
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


def format_confidence(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.2f}"


def severe_axes(report: DiffReport) -> list[str]:
    """Labels of the rows whose severity is severe, in axis order."""
    return [axis_label(row["axis"]) for row in report["rows"] if row["severity"] == "severe"]


def error_count(report: DiffReport) -> int:
    return sum(1 for rec in report["recommendations"] if rec["severity"] == "error")


def gate_fails(report: DiffReport) -> bool:
    """The CI gate: a report fails when a row is severe or a recommendation
    is an error."""
    return bool(severe_axes(report)) or error_count(report) > 0


def verdict_details(report: DiffReport) -> list[str]:
    """Why a report fails the gate, one line per reason; empty when it
    passes."""
    details = []
    axes = severe_axes(report)
    if axes:
        details.append(f"severe rows: {', '.join(axes)}")
    errors = error_count(report)
    if errors:
        details.append(f"error recommendations: {errors}")
    return details


def row_cells(row: AxisRow) -> list[str]:
    """The table cells of one row: axis, baseline, candidate, delta,
    interval, severity, n, flags."""
    return [
        axis_label(row["axis"]),
        *row_numbers(row),
        row["severity"],
        str(row["n"]),
        ", ".join(row["flags"]),
    ]


def top_scores(pair: PairDrilldown, limit: int = 4) -> list[str]:
    """The axes that moved in one drill-down pair, largest first, as
    'label baseline → candidate (normalized)'."""
    moved = [s for s in pair["axis_scores"] if (s["normalized_delta"] or 0.0) > 0.0]
    moved.sort(key=lambda s: -(s["normalized_delta"] or 0.0))
    out = []
    for s in moved[:limit]:
        d = decimals_for([s["baseline_value"], s["candidate_value"]])
        out.append(f"{axis_label(s['axis'])} {format_number(s['baseline_value'], decimals=d)} → "
                   f"{format_number(s['candidate_value'], decimals=d)} "
                   f"(normalized {format_number(s['normalized_delta'], decimals=2)})")
    return out


# --- Terminal rendering -------------------------------------------------------

_COLOURS = {
    "severe": "\x1b[1;31m",
    "moderate": "\x1b[33m",
    "minor": "\x1b[36m",
    "error": "\x1b[1;31m",
    "warning": "\x1b[33m",
    "info": "\x1b[36m",
    "bold": "\x1b[1m",
}
_RESET = "\x1b[0m"


class _Painter:
    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled

    def __call__(self, text: str, style: str) -> str:
        code = _COLOURS.get(style)
        if not self.enabled or code is None:
            return text
        return f"{code}{text}{_RESET}"


def _table(header: Sequence[str], rows: Iterable[Sequence[str]], right: set[int],
           styles: Sequence[str | None], paint: _Painter) -> list[str]:
    """Columns padded to their widest cell (numbers right-aligned); the
    style of row k, if any, paints its severity column."""
    body = [list(r) for r in rows]
    widths = [max(len(c[i]) for c in [list(header), *body]) for i in range(len(header))]

    def line(cells: Sequence[str], style: str | None) -> str:
        out = []
        for i, cell in enumerate(cells):
            text = cell.rjust(widths[i]) if i in right else cell.ljust(widths[i])
            if style is not None and header[i] == "severity":
                text = paint(text, style)
            out.append(text)
        return "  ".join(out).rstrip()

    lines = [paint(line(header, None), "bold")]
    lines += [line(cells, style) for cells, style in zip(body, styles)]
    return lines


# Control characters from a trace (line breaks, escape sequences) would
# break the layout or drive the terminal; they are shown escaped instead.
_CONTROLS = {c: f"\\x{c:02x}" for c in [*range(0x20), *range(0x7F, 0xA0)]}
_CONTROLS.update({0x0A: "\\n", 0x0D: "\\r", 0x09: "\\t"})
# Line separators and bidirectional overrides can disguise what is printed.
_CONTROLS.update({c: f"\\u{c:04x}" for c in [0x2028, 0x2029, *range(0x202A, 0x202F),
                                            *range(0x2066, 0x206A)]})


def clean(text: str) -> str:
    """text with every control character written as an escape."""
    return text.translate(_CONTROLS)


def _wrap_indent(text: str, indent: str) -> str:
    return indent + clean(text)


def render_text(report: DiffReport, baseline_name: str = "baseline",
                candidate_name: str = "candidate", color: bool = False) -> str:
    """The terminal summary of a report: header, the nine rows, the first
    divergence, the ranked divergences, the recommendations, the drill-down
    and the verdict. Ends with a line feed."""
    paint = _Painter(color)
    out: list[str] = []
    out.append(paint("korvane diff", "bold"))
    out.append(f"  baseline   {clean(baseline_name)}  "
               f"(trace {clean(report['baseline_trace_id']) or '-'})")
    out.append(f"  candidate  {clean(candidate_name)}  "
               f"(trace {clean(report['candidate_trace_id']) or '-'})")
    out.append(f"  {report['pair_count']} response pairs compared")
    out.append("")

    header = ["axis", "baseline", "candidate", "delta", "95% interval", "severity", "n", "flags"]
    rows = report["rows"]
    styles = [r["severity"] if r["severity"] != "none" else None for r in rows]
    out += _table(header, (row_cells(r) for r in rows), {1, 2, 3, 6}, styles, paint)
    out.append("")

    first = report["first_divergence"]
    out.append(paint("First divergence", "bold"))
    if first is None:
        out.append("  none: the traces do not diverge")
    else:
        out.append(
            f"  baseline turn {first['baseline_turn']}, candidate turn {first['candidate_turn']}: "
            f"{first['kind']} on {axis_label(first['primary_axis'])} "
            f"(confidence {format_confidence(first['confidence'])})"
        )
        out.append(_wrap_indent(first["explanation"], "    "))
    out.append("")

    if report["divergences"]:
        out.append(paint("Divergences, most serious first", "bold"))
        for i, d in enumerate(report["divergences"], 1):
            out.append(
                f"  {i}. {d['kind']} at baseline turn {d['baseline_turn']}, candidate turn "
                f"{d['candidate_turn']} ({axis_label(d['primary_axis'])}, confidence "
                f"{format_confidence(d['confidence'])})"
            )
            out.append(_wrap_indent(d["explanation"], "     "))
        out.append("")

    if report["recommendations"]:
        out.append(paint("Recommendations", "bold"))
        for i, rec in enumerate(report["recommendations"], 1):
            tag = paint(f"{rec['severity'].upper():<7}", rec["severity"])
            out.append(f"  {i}. {tag} {rec['action']:<7} {_wrap_indent(rec['message'], '')}")
            out.append(_wrap_indent(f"why: {rec['rationale']}", "     "))
        out.append("")

    if report["drill_down"]:
        out.append(paint("Most regressed response pairs", "bold"))
        for pair in report["drill_down"]:
            out.append(
                f"  pair {pair['pair_index']}: regression score "
                f"{format_number(pair['regression_score'])}, dominant axis "
                f"{axis_label(pair['dominant_axis'])}"
            )
            moved = top_scores(pair)
            out.append("     " + ("; ".join(moved) if moved else "no axis moved"))
        out.append("")

    if gate_fails(report):
        out.append(paint("verdict: regression, exit status 1", "error"))
        out += [f"  {line}" for line in verdict_details(report)]
    else:
        out.append("verdict: no severe row and no error recommendation, exit status 0")
    return "\n".join(out) + "\n"
