"""The terminal summary of a diff report: the nine rows, the divergences,
the recommendations, the drill-down and the verdict. Every text that comes
from a trace is escaped (korvane.render.text)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Iterable, Sequence

from korvane.prices import Pricing
from korvane.render.formats import (
    axis_label,
    decimals_for,
    format_confidence,
    format_number,
    row_numbers,
    severity_word,
    summary_numbers,
)
from korvane.render.text import safe
from korvane.verdict import Status, Verdict, direction, headline, judge

if TYPE_CHECKING:
    from korvane._core import AxisRow, DiffReport, PairDrilldown
    from korvane.suite.aggregate import AxisSummary, SuiteResult


ROW_HEADER = ["axis", "baseline", "candidate", "delta", "95% interval", "severity", "change",
              "n", "flags"]


def change_word(row: AxisRow) -> str:
    """"worse" or "better" for a row that moved, by its axis's direction."""
    moved = direction(row)
    return moved if moved in ("worse", "better") else ""


def row_cells(row: AxisRow) -> list[str]:
    """The table cells of one row, as ROW_HEADER names them."""
    return [
        axis_label(row["axis"]),
        *row_numbers(row),
        severity_word(row),
        change_word(row),
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
    "regression": "\x1b[1;31m",
    "improved": "\x1b[32m",
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
           styles: Sequence[str | None], paint: _Painter,
           style_column: str = "severity") -> list[str]:
    """Columns padded to their widest cell (numbers right-aligned); the
    style of row k, if any, paints its style_column."""
    body = [list(r) for r in rows]
    widths = [max(len(c[i]) for c in [list(header), *body]) for i in range(len(header))]

    def line(cells: Sequence[str], style: str | None) -> str:
        out = []
        for i, cell in enumerate(cells):
            text = cell.rjust(widths[i]) if i in right else cell.ljust(widths[i])
            if style is not None and header[i] == style_column:
                text = paint(text, style)
            out.append(text)
        return "  ".join(out).rstrip()

    lines = [paint(line(header, None), "bold")]
    lines += [line(cells, style) for cells, style in zip(body, styles)]
    return lines


def _verdict_line(status: Status, exit_status: int, paint: _Painter) -> str:
    line = f"verdict: {headline(status)}, exit status {exit_status}"
    return line if status == "pass" else paint(line, "error")


def verdict_lines(verdict: Verdict, paint: _Painter) -> list[str]:
    """The verdict, its exit status and one indented line per reason."""
    out = [_verdict_line(verdict.status, verdict.exit_status, paint)]
    out += [f"  {safe(line)}" for line in verdict.reasons]
    out += [f"  {paint('improved', 'improved')}: {safe(line)}" for line in verdict.improvements]
    out += [f"  not gated: {safe(line)}" for line in verdict.notes]
    return out


def render_text(report: DiffReport, baseline_name: str = "baseline",
                candidate_name: str = "candidate", color: bool = False,
                verdict: Verdict | None = None, pricing: Pricing | None = None) -> str:
    """The terminal summary of a report: header, the nine rows, the first
    divergence, the ranked divergences, the recommendations, the drill-down
    and the verdict (by default judged with the default rule, taking each
    trace to hold as many responses as were paired). Ends with a line
    feed."""
    if verdict is None:
        verdict = judge(report, report["pair_count"], report["pair_count"])
    paint = _Painter(color)
    out: list[str] = []
    out.append(paint("korvane diff", "bold"))
    out.append(f"  baseline   {safe(baseline_name)}  "
               f"(trace {safe(report['baseline_trace_id']) or '-'})")
    out.append(f"  candidate  {safe(candidate_name)}  "
               f"(trace {safe(report['candidate_trace_id']) or '-'})")
    out.append(f"  {report['pair_count']} response pairs compared")
    out.append("")

    rows = report["rows"]
    styles = [r["severity"] if r["severity"] != "none" else None for r in rows]
    out += _table(ROW_HEADER, (row_cells(r) for r in rows), {1, 2, 3, 7}, styles, paint)
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
        out.append("    " + safe(first["explanation"]))
    out.append("")

    if report["divergences"]:
        out.append(paint("Divergences, most serious first", "bold"))
        for i, d in enumerate(report["divergences"], 1):
            out.append(
                f"  {i}. {d['kind']} at baseline turn {d['baseline_turn']}, candidate turn "
                f"{d['candidate_turn']} ({axis_label(d['primary_axis'])}, confidence "
                f"{format_confidence(d['confidence'])})"
            )
            out.append("     " + safe(d["explanation"]))
        out.append("")

    if report["recommendations"]:
        out.append(paint("Recommendations", "bold"))
        for i, rec in enumerate(report["recommendations"], 1):
            tag = paint(f"{rec['severity'].upper():<7}", rec["severity"])
            out.append(f"  {i}. {tag} {rec['action']:<7} {safe(rec['message'])}")
            out.append("     " + safe(f"why: {rec['rationale']}"))
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

    if pricing is not None:
        out.append(paint("Prices", "bold"))
        out += pricing_lines(pricing)
        out.append("")

    out += verdict_lines(verdict, paint)
    return "\n".join(out) + "\n"


def pricing_lines(pricing: Pricing | None) -> list[str]:
    """Which models were priced, from where, and which were not."""
    if pricing is None:
        return []
    by_source: dict[str, list[str]] = {}
    for model, source in sorted(pricing.sources.items()):
        by_source.setdefault(source, []).append(model)
    out = [f"  priced from {safe(source)}: {safe(', '.join(models))}"
           for source, models in by_source.items()]
    if pricing.unpriced:
        out.append(f"  not priced (cost 0): {safe(', '.join(pricing.unpriced))}")
    return out or ["  no model named by the traces"]


# --- Suites ------------------------------------------------------------------------

# Tasks listed by name in the terminal summary, per section.
LISTED_TASKS = 10
# Reasons shown per listed task.
LISTED_REASONS = 3

SUITE_HEADER = ["axis", "regressed", "improved", "unchanged", "not measurable", "median delta",
                "95% interval", "gated"]


def axis_summary_cells(axis: AxisSummary) -> list[str]:
    return [axis_label(axis.axis), str(axis.regressed), str(axis.improved), str(axis.unchanged),
            str(axis.not_measurable), *summary_numbers(axis),
            ("yes" if axis.gated else "no") + (", worse" if axis.worse else "")]


def _reasons(reasons: Sequence[str], indent: str) -> list[str]:
    out = [f"{indent}{safe(r)}" for r in reasons[:LISTED_REASONS]]
    if len(reasons) > LISTED_REASONS:
        out.append(f"{indent}(and {len(reasons) - LISTED_REASONS} more)")
    return out


def tally(result: SuiteResult) -> str:
    """How the task pairs ended, as the terminal and Markdown summaries
    say it."""
    counts = result.counts()
    return (f"{len(result.tasks)} task pairs: {counts['pass']} pass, {counts['regression']} "
            f"regressed, {counts['nothing to compare'] + counts['error']} failed; "
            f"{len(result.unmatched)} unmatched")


def render_suite_text(result: SuiteResult, color: bool = False) -> str:
    """The terminal summary of a suite: the axes, the most regressed tasks,
    the failed and unmatched ones, prices and the verdict."""
    paint = _Painter(color)
    out = [paint("korvane suite", "bold"), f"  {tally(result)}",
           f"  rule: {result.settings.rule.describe()}", ""]
    styles = ["regression" if a.gated and a.worse else None for a in result.axes]
    out += _table(SUITE_HEADER, (axis_summary_cells(a) for a in result.axes), {1, 2, 3, 4, 5},
                  styles, paint, style_column="gated")
    out.append("")
    ranked = [t for t in result.ranked() if t.weight > 0 or t.status == "regression"]
    if ranked:
        out.append(paint(f"Most regressed tasks ({min(len(ranked), LISTED_TASKS)} of "
                         f"{len(ranked)})", "bold"))
        for i, t in enumerate(ranked[:LISTED_TASKS], 1):
            out.append(f"  {i}. {safe(t.task)}: {t.status}, weight {t.weight:g}")
            out += _reasons(result.task_reasons(t), "       ")
        out.append("")
    failed = result.failed()
    if failed:
        out.append(paint(f"Failed tasks ({len(failed)})", "bold"))
        for t in failed[:LISTED_TASKS]:
            out.append(f"  {safe(t.task)}: {t.status}")
            out += _reasons(result.task_reasons(t), "       ")
        if len(failed) > LISTED_TASKS:
            out.append(f"  (and {len(failed) - LISTED_TASKS} more)")
        out.append("")
    if result.unmatched:
        out.append(paint(f"Unmatched tasks ({len(result.unmatched)})", "bold"))
        for u in result.unmatched[:LISTED_TASKS]:
            out.append(f"  {safe(u.task)}: only the {u.side} has a trace "
                       f"({safe(u.path)})")
        if len(result.unmatched) > LISTED_TASKS:
            out.append(f"  (and {len(result.unmatched) - LISTED_TASKS} more)")
        out.append("")
    if result.pricing:
        out.append(paint("Prices", "bold"))
        out += pricing_lines(Pricing(sources=result.pricing["priced"],
                                     unpriced=tuple(result.pricing["unpriced"])))
        out.append("")
    out.append(_verdict_line(result.status, result.exit_status, paint))
    out += [f"  {safe(line)}" for line in result.reasons]
    return "\n".join(out) + "\n"
