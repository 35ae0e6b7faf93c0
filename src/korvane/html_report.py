"""One self-contained HTML page for a diff report: inline CSS, an inline SVG
chart of the nine axes' deltas with their 95% intervals, and the tables of
the terminal summary. No scripts and no external assets, so the file can be
mailed, archived as a CI artifact or opened offline. Every text that comes
from a trace (ids, explanations, messages) is escaped."""

from __future__ import annotations

from html import escape
from typing import TYPE_CHECKING

from korvane import __version__
from korvane.summary import (
    AXIS_UNITS,
    axis_label,
    decimals_for,
    format_confidence,
    format_interval,
    format_number,
    gate_fails,
    row_numbers,
    verdict_details,
)

if TYPE_CHECKING:
    from korvane._core import AxisRow, DiffReport, Divergence, PairDrilldown

SEVERITY_COLOURS = {
    "none": "#8b95a1",
    "minor": "#c99a06",
    "moderate": "#e8590c",
    "severe": "#c92a2a",
    "error": "#c92a2a",
    "warning": "#e8590c",
    "info": "#1c7ed6",
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
"""


def _e(text: object) -> str:
    return escape(str(text), quote=True)


def _badge(word: str) -> str:
    colour = SEVERITY_COLOURS.get(word, "#8b95a1")
    return f'<span class="badge" style="background:{colour}">{_e(word)}</span>'


# --- Chart ---------------------------------------------------------------------

_LABEL_W = 190
_PLOT_X0 = 200
_PLOT_W = 420
_VALUE_X = 650
_WIDTH = 820
_ROW_H = 44
_TOP = 34


def _finite(*values: float | None) -> list[float]:
    return [v for v in values if v is not None]


def _row_scale(row: AxisRow) -> float:
    """Half-width of the row's scale: 1 for the fixed-scale axes, else the
    largest magnitude among delta and interval bounds (1 when all are 0)."""
    if row["axis"] in FIXED_SCALE_AXES:
        return 1.0
    extent = max((abs(v) for v in _finite(row["delta"], row["ci95_low"], row["ci95_high"])),
                 default=0.0)
    return extent if extent > 0 else 1.0


def render_chart(rows: list[AxisRow]) -> str:
    """An SVG strip per axis: the zero line, the 95% interval as a bar and
    the delta as a dot, coloured by severity."""
    height = _TOP + _ROW_H * len(rows) + 12
    centre = _PLOT_X0 + _PLOT_W / 2
    half = _PLOT_W / 2 - 6
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" role="img" id="delta-chart" '
        f'viewBox="0 0 {_WIDTH} {height}" width="100%" style="max-width:{_WIDTH}px">',
        "<title>Delta of each axis with its 95% interval, coloured by severity</title>",
    ]
    legend_x = _PLOT_X0
    for word in ("none", "minor", "moderate", "severe"):
        parts.append(f'<circle cx="{legend_x + 6}" cy="14" r="5" fill="{SEVERITY_COLOURS[word]}"/>'
                     f'<text x="{legend_x + 16}" y="18" font-size="12" fill="#57606a">{word}</text>')
        legend_x += 84
    parts.append(f'<text x="{_VALUE_X}" y="18" font-size="12" fill="#57606a">delta</text>')

    for i, row in enumerate(rows):
        y = _TOP + i * _ROW_H
        mid = y + 16
        colour = SEVERITY_COLOURS.get(row["severity"], SEVERITY_COLOURS["none"])
        scale = _row_scale(row)
        parts.append(f'<g class="axis-row" data-axis="{_e(row["axis"])}" '
                     f'data-severity="{_e(row["severity"])}">')
        parts.append(f"<title>{_e(axis_label(row['axis']))}: delta "
                     f"{_e(format_number(row['delta'], signed=True))}, 95% interval "
                     f"{_e(format_interval(row['ci95_low'], row['ci95_high']))}, "
                     f"severity {_e(row['severity'])}</title>")
        if i % 2 == 0:
            parts.append(f'<rect x="0" y="{y}" width="{_WIDTH}" height="{_ROW_H}" fill="#f6f8fa"/>')
        parts.append(f'<text x="8" y="{mid + 4}" font-size="13" fill="#1f2328">'
                     f"{_e(axis_label(row['axis']))}</text>")
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

        if row["n"] == 0 and row["delta"] == 0:
            parts.append(f'<text x="{centre + 8}" y="{mid - 4}" font-size="11" fill="#8b95a1">'
                         "no data</text>")
        else:
            low, high = row["ci95_low"], row["ci95_high"]
            if low is not None and high is not None:
                x_low, x_high = x_of(min(low, high)), x_of(max(low, high))
                parts.append(f'<rect class="ci" x="{x_low}" y="{mid - 5}" '
                             f'width="{max(x_high - x_low, 1.5):.2f}" height="10" rx="3" '
                             f'fill="{colour}" fill-opacity="0.3" stroke="{colour}"/>')
            if row["delta"] is not None:
                parts.append(f'<circle class="delta" cx="{x_of(row["delta"])}" cy="{mid}" r="5.5" '
                             f'fill="{colour}" stroke="#fff" stroke-width="1.5"/>')
        parts.append(f'<text x="{_VALUE_X}" y="{mid + 4}" font-size="13" fill="{colour}">'
                     f"{_e(row_numbers(row)[2])}</text>")
        parts.append(f'<text x="{_VALUE_X + 80}" y="{mid + 4}" font-size="11" fill="#57606a">'
                     f"{_e(row['severity'])}</text>")
        parts.append("</g>")
    parts.append("</svg>")
    return "\n".join(parts)


# --- Tables --------------------------------------------------------------------

def _rows_table(rows: list[AxisRow]) -> str:
    out = ["<table id=\"axes\"><thead><tr><th>axis</th><th>measures</th><th>baseline</th>"
           "<th>candidate</th><th>delta</th><th>95% interval</th><th>severity</th><th>n</th>"
           "<th>flags</th></tr></thead><tbody>"]
    for row in rows:
        flags = "".join(f'<span class="flag">{_e(f)}</span>' for f in row["flags"])
        baseline, candidate, delta, interval = row_numbers(row)
        out.append(
            f"<tr><td>{_e(axis_label(row['axis']))}</td>"
            f"<td class=\"muted\">{_e(AXIS_UNITS.get(row['axis'], ''))}</td>"
            f"<td class=\"num\">{_e(baseline)}</td><td class=\"num\">{_e(candidate)}</td>"
            f"<td class=\"num\">{_e(delta)}</td><td class=\"num\">{_e(interval)}</td>"
            f"<td>{_badge(row['severity'])}</td><td class=\"num\">{row['n']}</td>"
            f"<td>{flags}</td></tr>"
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


def render_html(report: DiffReport, baseline_name: str = "baseline",
                candidate_name: str = "candidate") -> str:
    """The whole page as text."""
    if gate_fails(report):
        items = "".join(f"<li>{_e(line)}</li>" for line in verdict_details(report))
        verdict = ('<div class="verdict fail" id="verdict"><b>Regression</b> (exit status 1)'
                   f"<ul>{items}</ul></div>")
    else:
        verdict = ('<div class="verdict pass" id="verdict"><b>No regression</b>: no severe row '
                   "and no error recommendation (exit status 0).</div>")
    first = report["first_divergence"]
    first_html = (_divergence_line(first) if first is not None
                  else '<p class="muted">None: the traces do not diverge.</p>')
    title = f"korvane diff: {baseline_name} vs {candidate_name}"
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
<h1>korvane diff report</h1>
<dl class="meta">
<dt>baseline</dt><dd>{_e(baseline_name)} (trace {_e(report['baseline_trace_id'] or '-')})</dd>
<dt>candidate</dt><dd>{_e(candidate_name)} (trace {_e(report['candidate_trace_id'] or '-')})</dd>
<dt>response pairs</dt><dd>{report['pair_count']}</dd>
</dl>
{verdict}
<h2>Axes</h2>
<figure>
{render_chart(report['rows'])}
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
<footer>Generated by korvane {_e(__version__)}.</footer>
</main>
</body>
</html>
"""
