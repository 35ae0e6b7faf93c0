"""Self-contained HTML pages: one for a diff report and one for a suite.
Inline CSS and inline SVG charts of deltas with their 95% intervals, no
scripts and no external assets, so a page can be mailed, archived as a CI
artifact or opened offline. Every text that comes from a trace or a file
name (ids, explanations, messages, task names) is escaped."""

from __future__ import annotations

from dataclasses import dataclass
from html import escape
from typing import TYPE_CHECKING, Mapping, Sequence, cast

from korvane import __version__
from korvane.render.formats import (
    AXIS_UNITS,
    axis_label,
    decimals_for,
    format_confidence,
    format_interval,
    format_number,
    row_numbers,
    severity_word,
    summary_numbers,
)
from korvane.render.terminal import axis_summary_cells, change_word
from korvane.verdict import AXES, Verdict, headline, judge

if TYPE_CHECKING:
    from korvane._core import AxisRow, DiffReport, Divergence, PairDrilldown
    from korvane.prices import Pricing
    from korvane.suite.aggregate import AxisSummary, SuiteResult, TaskRecord

# Colours of severities, recommendation levels and suite classes.
TONE_COLOURS = {
    "none": "#8b95a1",
    "minor": "#c99a06",
    "moderate": "#e8590c",
    "severe": "#c92a2a",
    "error": "#c92a2a",
    "warning": "#e8590c",
    "info": "#1c7ed6",
    "regressed": "#c92a2a",
    "regression": "#c92a2a",
    "pass": "#2b8a3e",
    "nothing to compare": "#e8590c",
    "improved": "#2b8a3e",
    "unchanged": "#8b95a1",
    "not measurable": "#adb5bd",
}

# Axes whose values live in [0, 1] (similarity, distance, rates): their
# deltas are drawn on one fixed scale from -1 to +1 so they compare
# directly. The others (tokens, milliseconds, price, thinking) each get
# their own symmetric scale, printed at the ends of the row.
FIXED_SCALE_AXES = frozenset({"semantic", "trajectory", "safety", "conformance"})

_CSS = """
:root { color-scheme: light; }
body { font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif;
       color: #1f2328; background: #f6f8fa; margin: 0; }
main { max-width: 1040px; margin: 0 auto; padding: 24px 28px 48px; background: #fff; }
h1 { font-size: 24px; margin: 0 0 4px; }
h2 { font-size: 18px; margin: 32px 0 8px; border-bottom: 1px solid #d0d7de; padding-bottom: 4px; }
h3 { font-size: 15px; margin: 18px 0 6px; }
dl.meta { display: grid; grid-template-columns: max-content 1fr; gap: 2px 14px; margin: 8px 0 16px; }
dl.meta dt { color: #57606a; }
dl.meta dd { margin: 0; font-family: ui-monospace, SFMono-Regular, Menlo, monospace; word-break: break-all; }
.verdict { padding: 10px 14px; border-radius: 6px; margin: 12px 0; }
.verdict.pass { background: #e6f4ea; border: 1px solid #9fd3ad; }
.verdict.fail { background: #fdecea; border: 1px solid #f1aeb5; }
.verdict ul { margin: 6px 0 0; padding-left: 20px; }
table { border-collapse: collapse; width: 100%; margin: 6px 0; font-size: 14px; }
th, td { text-align: left; padding: 5px 8px; border-bottom: 1px solid #eaeef2; vertical-align: top; }
th { background: #f6f8fa; font-weight: 600; }
td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
.badge { display: inline-block; padding: 1px 8px; border-radius: 10px; color: #fff;
         font-size: 12px; font-weight: 600; }
.flag { display: inline-block; padding: 0 6px; margin: 1px 2px 1px 0; border-radius: 4px;
        background: #eaeef2; font-size: 12px; }
.muted { color: #57606a; }
figure { margin: 8px 0; }
figcaption { color: #57606a; font-size: 13px; margin-top: 4px; }
svg text { font-family: system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; }
.bar { background: #eaeef2; border-radius: 3px; height: 8px; width: 120px; display: inline-block; }
.bar span { display: block; height: 8px; border-radius: 3px; }
footer { margin-top: 40px; color: #57606a; font-size: 12px; }
li.improved { color: #2b8a3e; }
td.mark { text-align: center; font-weight: 600; }
td.regressed { color: #c92a2a; } td.improved { color: #2b8a3e; } td.not-measurable { color: #adb5bd; }
details { border-top: 1px solid #eaeef2; padding: 6px 0; }
summary { cursor: pointer; }
"""


def _e(text: object) -> str:
    return escape(str(text), quote=True)


def _badge(word: str) -> str:
    colour = TONE_COLOURS.get(word, "#8b95a1")
    return f'<span class="badge" style="background:{colour}">{_e(word)}</span>'


# --- Chart ---------------------------------------------------------------------

_PLOT_X0 = 200
_PLOT_W = 420
_VALUE_X = 650
_WIDTH = 820
_ROW_H = 44
_TOP = 34


@dataclass(frozen=True)
class Strip:
    """One row of a delta chart: a delta with its interval, coloured by
    `tone` (a key of TONE_COLOURS); `fixed` puts it on the common scale
    from -1 to +1, else it gets its own symmetric scale."""

    key: str
    label: str
    delta: float | None
    low: float | None
    high: float | None
    tone: str
    fixed: bool
    delta_text: str
    empty: bool = False


def _scale(strip: Strip) -> float:
    """Half-width of the strip's scale: 1 on the fixed scale, else the
    largest magnitude among delta and interval bounds (1 when all are 0)."""
    if strip.fixed:
        return 1.0
    extent = max((abs(v) for v in (strip.delta, strip.low, strip.high) if v is not None),
                 default=0.0)
    return extent if extent > 0 else 1.0


def render_chart(strips: Sequence[Strip], legend: Sequence[str], title: str,
                 chart_id: str = "delta-chart") -> str:
    """An SVG strip per row: the zero line, the 95% interval as a bar and
    the delta as a dot, coloured by tone."""
    height = _TOP + _ROW_H * len(strips) + 12
    centre = _PLOT_X0 + _PLOT_W / 2
    half = _PLOT_W / 2 - 6
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" role="img" id="{chart_id}" '
        f'viewBox="0 0 {_WIDTH} {height}" width="100%" style="max-width:{_WIDTH}px">',
        f"<title>{_e(title)}</title>",
    ]
    legend_x = _PLOT_X0
    for word in legend:
        parts.append(f'<circle cx="{legend_x + 6}" cy="14" r="5" fill="{TONE_COLOURS[word]}"/>'
                     f'<text x="{legend_x + 16}" y="18" font-size="12" fill="#57606a">{word}</text>')
        legend_x += 30 + 8 * len(word)
    parts.append(f'<text x="{_VALUE_X}" y="18" font-size="12" fill="#57606a">delta</text>')

    for i, strip in enumerate(strips):
        y = _TOP + i * _ROW_H
        mid = y + 16
        colour = TONE_COLOURS.get(strip.tone, TONE_COLOURS["none"])
        scale = _scale(strip)
        parts.append(f'<g class="axis-row" data-axis="{_e(strip.key)}" data-tone="{_e(strip.tone)}">')
        parts.append(f"<title>{_e(strip.label)}: delta {_e(format_number(strip.delta, signed=True))}, "
                     f"95% interval {_e(format_interval(strip.low, strip.high))}, "
                     f"{_e(strip.tone)}</title>")
        if i % 2 == 0:
            parts.append(f'<rect x="0" y="{y}" width="{_WIDTH}" height="{_ROW_H}" fill="#f6f8fa"/>')
        parts.append(f'<text x="8" y="{mid + 4}" font-size="13" fill="#1f2328">'
                     f"{_e(strip.label)}</text>")
        parts.append(f'<line x1="{_PLOT_X0}" y1="{mid}" x2="{_PLOT_X0 + _PLOT_W}" y2="{mid}" '
                     f'stroke="#d0d7de"/>')
        parts.append(f'<line x1="{centre}" y1="{mid - 11}" x2="{centre}" y2="{mid + 11}" '
                     f'stroke="#57606a" stroke-width="1.2"/>')
        end_label = format_number(scale)
        parts.append(f'<text x="{_PLOT_X0}" y="{mid + 24}" font-size="10" fill="#8b95a1">'
                     f"-{_e(end_label)}</text>")
        parts.append(f'<text x="{_PLOT_X0 + _PLOT_W}" y="{mid + 24}" font-size="10" '
                     f'fill="#8b95a1" text-anchor="end">+{_e(end_label)}</text>')

        def x_of(value: float) -> float:
            clipped = max(-scale, min(scale, value))
            return round(centre + clipped / scale * half, 2)

        if strip.empty:
            parts.append(f'<text x="{centre + 8}" y="{mid - 4}" font-size="11" fill="#8b95a1">'
                         "no data</text>")
        else:
            if strip.low is not None and strip.high is not None:
                x_low, x_high = x_of(min(strip.low, strip.high)), x_of(max(strip.low, strip.high))
                parts.append(f'<rect class="ci" x="{x_low}" y="{mid - 5}" '
                             f'width="{max(x_high - x_low, 1.5):.2f}" height="10" rx="3" '
                             f'fill="{colour}" fill-opacity="0.3" stroke="{colour}"/>')
            if strip.delta is not None:
                parts.append(f'<circle class="delta" cx="{x_of(strip.delta)}" cy="{mid}" r="5.5" '
                             f'fill="{colour}" stroke="#fff" stroke-width="1.5"/>')
        parts.append(f'<text x="{_VALUE_X}" y="{mid + 4}" font-size="13" fill="{colour}">'
                     f"{_e(strip.delta_text)}</text>")
        parts.append(f'<text x="{_VALUE_X + 80}" y="{mid + 4}" font-size="11" fill="#57606a">'
                     f"{_e(strip.tone)}</text>")
        parts.append("</g>")
    parts.append("</svg>")
    return "\n".join(parts)


def _row_strip(row: AxisRow) -> Strip:
    tone = severity_word(row)
    return Strip(row["axis"], axis_label(row["axis"]), row["delta"], row["ci95_low"],
                 row["ci95_high"], tone, row["axis"] in FIXED_SCALE_AXES, row_numbers(row)[2],
                 empty=row["n"] == 0 and row["delta"] == 0)


# --- Tables --------------------------------------------------------------------

def _rows_table(rows: list[AxisRow], compact: bool = False) -> str:
    """The axis rows; compact (for a suite's task sections) leaves out what
    each axis measures and the flags, and the judge row."""
    measures = "" if compact else "<th>measures</th>"
    flags_head = "" if compact else "<th>flags</th>"
    table_id = "" if compact else ' id="axes"'
    out = [f"<table{table_id}><thead><tr><th>axis</th>{measures}"
           "<th>baseline</th><th>candidate</th><th>delta</th><th>95% interval</th>"
           f"<th>severity</th><th>change</th><th>n</th>{flags_head}</tr></thead><tbody>"]
    for row in rows:
        if compact and row["axis"] == "judge":
            continue
        flags = "" if compact else "<td>" + "".join(
            f'<span class="flag">{_e(f)}</span>' for f in row["flags"]) + "</td>"
        unit = "" if compact else f"<td class=\"muted\">{_e(AXIS_UNITS.get(row['axis'], ''))}</td>"
        baseline, candidate, delta, interval = row_numbers(row)
        out.append(
            f"<tr><td>{_e(axis_label(row['axis']))}</td>{unit}"
            f"<td class=\"num\">{_e(baseline)}</td><td class=\"num\">{_e(candidate)}</td>"
            f"<td class=\"num\">{_e(delta)}</td><td class=\"num\">{_e(interval)}</td>"
            f"<td>{_badge(severity_word(row))}</td><td>{_e(change_word(row))}</td>"
            f"<td class=\"num\">{row['n']}</td>{flags}</tr>"
        )
    out.append("</tbody></table>")
    return "\n".join(out)


def _divergence_line(d: Divergence) -> str:
    return (f"<p>Baseline turn {d['baseline_turn']}, candidate turn {d['candidate_turn']}: "
            f"<b>{_e(d['kind'])}</b> on {_e(axis_label(d['primary_axis']))} "
            f"(confidence {_e(format_confidence(d['confidence']))})<br>"
            f"{_e(d['explanation'])}</p>")


def _divergences_table(divergences: list[Divergence]) -> str:
    if not divergences:
        return '<p class="muted">No divergences.</p>'
    out = ["<table id=\"divergences\"><thead><tr><th>#</th><th>kind</th><th>baseline turn</th>"
           "<th>candidate turn</th><th>axis</th><th>confidence</th><th>explanation</th>"
           "</tr></thead><tbody>"]
    for i, d in enumerate(divergences, 1):
        out.append(
            f"<tr><td class=\"num\">{i}</td><td>{_e(d['kind'])}</td>"
            f"<td class=\"num\">{d['baseline_turn']}</td><td class=\"num\">{d['candidate_turn']}</td>"
            f"<td>{_e(axis_label(d['primary_axis']))}</td>"
            f"<td class=\"num\">{_e(format_confidence(d['confidence']))}</td>"
            f"<td>{_e(d['explanation'])}</td></tr>"
        )
    out.append("</tbody></table>")
    return "\n".join(out)


def _recommendations_table(report: DiffReport) -> str:
    if not report["recommendations"]:
        return '<p class="muted">No recommendations.</p>'
    out = ["<table id=\"recommendations\"><thead><tr><th>severity</th><th>action</th>"
           "<th>turn</th><th>recommendation</th><th>axis</th><th>confidence</th></tr></thead>"
           "<tbody>"]
    for rec in report["recommendations"]:
        out.append(
            f"<tr><td>{_badge(rec['severity'])}</td><td>{_e(rec['action'])}</td>"
            f"<td class=\"num\">{rec['turn']}</td>"
            f"<td>{_e(rec['message'])}<br><span class=\"muted\">{_e(rec['rationale'])}</span></td>"
            f"<td>{_e(axis_label(rec['axis']))}</td>"
            f"<td class=\"num\">{_e(format_confidence(rec['confidence']))}</td></tr>"
        )
    out.append("</tbody></table>")
    return "\n".join(out)


def _drill_down(pairs: list[PairDrilldown]) -> str:
    if not pairs:
        return '<p class="muted">No response pairs.</p>'
    out = []
    for pair in pairs:
        out.append(f"<h3>Pair {pair['pair_index']}: regression score "
                   f"{_e(format_number(pair['regression_score']))}, dominant axis "
                   f"{_e(axis_label(pair['dominant_axis']))}</h3>")
        out.append("<table class=\"pair\"><thead><tr><th>axis</th><th>baseline</th>"
                   "<th>candidate</th><th>delta</th><th>normalized (0 to 4)</th></tr></thead><tbody>")
        for score in pair["axis_scores"]:
            d = decimals_for([score["baseline_value"], score["candidate_value"], score["delta"]])
            normalized = score["normalized_delta"] or 0.0
            width = max(0.0, min(normalized / 4.0, 1.0)) * 100
            colour = "#c92a2a" if normalized >= 2 else "#e8590c" if normalized >= 1 else "#c99a06"
            out.append(
                f"<tr><td>{_e(axis_label(score['axis']))}</td>"
                f"<td class=\"num\">{_e(format_number(score['baseline_value'], decimals=d))}</td>"
                f"<td class=\"num\">{_e(format_number(score['candidate_value'], decimals=d))}</td>"
                f"<td class=\"num\">{_e(format_number(score['delta'], True, d))}</td>"
                f"<td><span class=\"bar\"><span style=\"width:{width:.1f}%;background:{colour}\">"
                f"</span></span> {_e(format_number(score['normalized_delta'], decimals=2))}</td></tr>"
            )
        out.append("</tbody></table>")
    return "\n".join(out)


def verdict_block(status: str, headline: str, reasons: Sequence[str],
                  improvements: Sequence[str] = (), notes: Sequence[str] = ()) -> str:
    """The coloured verdict box: green when status is "pass", with one list
    item per reason, improvement and note."""
    items = [f"<li>{_e(line)}</li>" for line in reasons]
    items += [f'<li class="improved">improved: {_e(line)}</li>' for line in improvements]
    items += [f'<li class="muted">not gated: {_e(line)}</li>' for line in notes]
    listing = f"<ul>{''.join(items)}</ul>" if items else ""
    kind = "pass" if status == "pass" else "fail"
    return f'<div class="verdict {kind}" id="verdict"><b>{_e(headline)}</b>{listing}</div>'


def page(title: str, body: str) -> str:
    """A whole document around body, with the shared style sheet."""
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{_e(title)}</title>
<style>{_CSS}</style>
</head>
<body>
<main>
{body}
<footer>Generated by korvane {_e(__version__)}.</footer>
</main>
</body>
</html>
"""


def _pricing_html(priced: Mapping[str, str], unpriced: Sequence[str]) -> str:
    items = [f"<li>{_e(model)}: priced from {_e(source)}</li>" for model, source in priced.items()]
    items += [f"<li>{_e(model)}: not priced (cost 0)</li>" for model in unpriced]
    return f"<h2>Prices</h2>\n<ul id=\"pricing\">{''.join(items)}</ul>"


def render_html(report: DiffReport, baseline_name: str = "baseline",
                candidate_name: str = "candidate", verdict: Verdict | None = None,
                pricing: Pricing | None = None) -> str:
    """The whole diff page as text; the verdict defaults as for the
    terminal summary (korvane.render.terminal.render_text)."""
    if verdict is None:
        verdict = judge(report, report["pair_count"], report["pair_count"])
    verdict_html = verdict_block(verdict.status, f"{headline(verdict.status).capitalize()} "
                                 f"(exit status {verdict.exit_status})",
                                 verdict.reasons, verdict.improvements, verdict.notes)
    first = report["first_divergence"]
    first_html = (_divergence_line(first) if first is not None
                  else '<p class="muted">None: the traces do not diverge.</p>')
    chart = render_chart([_row_strip(row) for row in report["rows"]],
                         ("none", "minor", "moderate", "severe"),
                         "Delta of each axis with its 95% interval, coloured by severity")
    return page(f"korvane diff: {baseline_name} vs {candidate_name}", f"""<h1>korvane diff report</h1>
<dl class="meta">
<dt>baseline</dt><dd>{_e(baseline_name)} (trace {_e(report['baseline_trace_id'] or '-')})</dd>
<dt>candidate</dt><dd>{_e(candidate_name)} (trace {_e(report['candidate_trace_id'] or '-')})</dd>
<dt>response pairs</dt><dd>{report['pair_count']}</dd>
</dl>
{verdict_html}
<h2>Axes</h2>
<figure>
{chart}
<figcaption>Dot: delta (candidate minus baseline); bar: its 95% paired-bootstrap interval;
colour: severity. Semantic similarity, tool-call trajectory, refusal / safety and format
conformance are rates or similarities and share one scale from -1 to +1. Verbosity,
latency, cost and reasoning depth each use their own symmetric scale, given at the
ends of the row. The llm-judge score is not measured.</figcaption>
</figure>
{_rows_table(report['rows'])}
<h2>First divergence</h2>
{first_html}
<h2>Divergences</h2>
{_divergences_table(report['divergences'])}
<h2>Recommendations</h2>
{_recommendations_table(report)}
<h2>Most regressed response pairs</h2>
{_drill_down(report['drill_down'])}
{_pricing_html(pricing.sources, pricing.unpriced) if pricing is not None else ''}""")


# --- Suites --------------------------------------------------------------------

_MARKS = {"r": ("✗", "regressed"), "i": ("✓", "improved"), "u": ("·", "unchanged"),
          "n": ("–", "not measurable")}
# Column heads of the ranked table, one per axis.
_SHORT = {"semantic": "sem", "trajectory": "traj", "safety": "refus", "verbosity": "verb",
          "latency": "lat", "cost": "cost", "reasoning": "reas", "conformance": "conf"}


def _suite_strip(axis: AxisSummary) -> Strip:
    tone = ("not measurable" if axis.median is None else "regressed" if axis.worse
            else "improved" if axis.better else "unchanged")
    return Strip(axis.axis, axis_label(axis.axis), axis.median, axis.low, axis.high, tone,
                 axis.axis in FIXED_SCALE_AXES, summary_numbers(axis)[0],
                 empty=axis.median is None)


def _axis_table(result: SuiteResult) -> str:
    out = ['<table id="suite-axes"><thead><tr><th>axis</th><th>regressed</th><th>improved</th>'
           "<th>unchanged</th><th>not measurable</th><th>median delta</th><th>95% interval</th>"
           "<th>gated</th></tr></thead><tbody>"]
    for axis in result.axes:
        cells = axis_summary_cells(axis)
        out.append(f"<tr><td>{_e(cells[0])}</td>"
                   + "".join(f'<td class="num">{_e(c)}</td>' for c in cells[1:7])
                   + f"<td>{_e(cells[7])}</td></tr>")
    out.append("</tbody></table>")
    return "\n".join(out)


def _ranked_table(result: SuiteResult, ranked: Sequence[TaskRecord],
                  anchors: dict[str, int]) -> str:
    marks = "".join(f'<th title="{_e(axis_label(a))}">{_SHORT[a]}</th>' for a in AXES)
    out = [f'<table id="ranked"><thead><tr><th>#</th><th>task</th><th>status</th><th>weight</th>'
           f"{marks}<th>first reason</th></tr></thead><tbody>"]
    for rank, task in enumerate(ranked, 1):
        cells = "".join(
            f'<td class="mark {_MARKS[c][1].replace(" ", "-")}" title="{_e(_MARKS[c][1])}">'
            f"{_MARKS[c][0]}</td>" for c in task.changes)
        out.append(f'<tr><td class="num">{rank}</td>'
                   f'<td><a href="#task-{anchors[task.task]}">{_e(task.task)}</a></td>'
                   f"<td>{_badge(task.status)}</td><td class=\"num\">{task.weight:g}</td>{cells}"
                   f"<td>{_e(next(iter(result.task_reasons(task)), ''))}</td></tr>")
    out.append("</tbody></table>")
    return "\n".join(out)


def _task_section(result: SuiteResult, task: TaskRecord, anchor: int) -> str:
    summary = result.summary(task)
    parts = [f'<details id="task-{anchor}"><summary><b>{_e(task.task)}</b> {_badge(task.status)}'
             f" weight {task.weight:g}</summary>",
             f'<dl class="meta"><dt>baseline</dt><dd>{_e(summary["baseline"])}</dd>'
             f'<dt>candidate</dt><dd>{_e(summary["candidate"])}</dd>']
    if "responses" in summary:
        parts.append(f"<dt>responses</dt><dd>{summary['responses'][0]} baseline, "
                     f"{summary['responses'][1]} candidate</dd>")
    parts.append("</dl>")
    parts.append(verdict_block(task.status, task.status, result.task_reasons(task),
                               summary.get("improvements", ()), summary.get("notes", ())))
    if "rows" in summary:
        parts.append(_rows_table(cast("list[AxisRow]", summary["rows"]), compact=True))
    first = summary.get("first_divergence")
    if first:
        parts.append(_divergence_line(first))
    parts.append("</details>")
    return "\n".join(parts)


def render_suite_html(result: SuiteResult) -> str:
    """The whole suite page as text: the verdict, the axes with a chart,
    the tasks ranked by how much they regressed, the failed and unmatched
    tasks, and a collapsed section per task."""
    ranked = result.ranked()
    failed = result.failed()
    anchors = {t.task: i for i, t in enumerate([*ranked, *failed])}
    counts = result.counts()
    chart = render_chart([_suite_strip(a) for a in result.axes],
                         ("unchanged", "improved", "regressed", "not measurable"),
                         "Median per-task delta of each axis with its 95% interval",
                         chart_id="suite-chart")
    body = [f"""<h1>korvane suite report</h1>
<dl class="meta">
<dt>task pairs</dt><dd>{len(result.tasks)}: {counts['pass']} pass, {counts['regression']} regressed,
{counts['nothing to compare'] + counts['error']} failed</dd>
<dt>unmatched</dt><dd>{len(result.unmatched)}</dd>
<dt>rule</dt><dd>{_e(result.settings.rule.describe())}; at most {result.max_failing_tasks} failing tasks</dd>
<dt>seed</dt><dd>{_e(result.settings.seed)}</dd>
</dl>
{verdict_block(result.status, f"{headline(result.status).capitalize()} (exit status {result.exit_status})",
               result.reasons)}
<h2>Axes</h2>
<figure>
{chart}
<figcaption>Dot: the median over tasks of each task's delta (candidate minus baseline); bar:
its 95% paired-bootstrap interval over tasks; colour: red when the whole interval lies on the
axis's worse side, green when on its better side. Rates and similarities share one scale from
-1 to +1; the other axes each use their own.</figcaption>
</figure>
{_axis_table(result)}
<h2>Tasks, most regressed first</h2>
{_ranked_table(result, ranked, anchors) if ranked else '<p class="muted">No task ran.</p>'}"""]
    if failed:
        body.append("<h2>Failed tasks</h2>\n<table id=\"failed\"><thead><tr><th>task</th>"
                    "<th>status</th><th>reason</th></tr></thead><tbody>")
        body += [f'<tr><td><a href="#task-{anchors[t.task]}">{_e(t.task)}</a></td>'
                 f"<td>{_badge(t.status)}</td><td>{_e('; '.join(result.task_reasons(t)))}</td></tr>"
                 for t in failed]
        body.append("</tbody></table>")
    if result.unmatched:
        body.append("<h2>Unmatched tasks</h2>\n<table id=\"unmatched\"><thead><tr><th>task</th>"
                    "<th>only in</th><th>trace</th></tr></thead><tbody>")
        body += [f"<tr><td>{_e(u.task)}</td><td>{u.side}</td><td>{_e(u.path)}</td></tr>"
                 for u in result.unmatched]
        body.append("</tbody></table>")
    if result.pricing:
        body.append(_pricing_html(result.pricing["priced"], result.pricing["unpriced"]))
    body.append("<h2>Each task</h2>")
    body += [_task_section(result, t, anchors[t.task]) for t in [*ranked, *failed]]
    return page("korvane suite report", "\n".join(body))
