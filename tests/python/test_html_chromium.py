"""The HTML pages as a browser sees them: rendered by headless Chromium, the
diff and suite pages hold the report's text and charts, run nothing from the
traces and paint a non-blank screenshot."""

import html
import pathlib
import re
import shutil
import subprocess

import report_samples as samples
from korvane import cli
from korvane.render.html import render_html
from vectors import response, write
from vectors import record

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"

BROWSER = next(filter(None, map(shutil.which, ["chromium", "chromium-browser", "google-chrome"])), None)


def chromium(tmp_path, *args):
    # The test command installs Debian's chromium; without it these tests fail, never skip.
    assert BROWSER is not None, "no Chromium browser on PATH: apt-get install chromium"
    done = subprocess.run(
        [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         f"--user-data-dir={tmp_path / 'profile'}", *args],
        capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]
    return done.stdout.decode("utf-8")


def test_example_diff_page_renders(tmp_path):
    page = tmp_path / "report.html"
    assert cli.main(["diff", "-q", *(str(EXAMPLES / n) for n in ["baseline.agentlog", "candidate.agentlog"]),
                     "--pricing", str(EXAMPLES / "pricing.json"), "--seed", "1", "--html", str(page)]) == 1
    dom = chromium(tmp_path, "--dump-dom", page.as_uri())
    text = re.sub(r"\s+", " ", re.sub(r"<[^>]+>", " ", dom))  # the visible text
    for words in ["korvane diff report", "Regression (exit status 1)", "semantic similarity", "format conformance",
                  "First divergence", "Recommendations", "Most regressed response pairs", "base-0001", "cand-0001"]:
        assert words in text
    chart = re.search(r'<svg[^>]*id="delta-chart".*?</svg>', dom, re.S)
    assert chart is not None and len(re.findall(r'<g class="axis-row"', chart.group(0))) == 9


def test_trace_text_stays_text_and_the_page_is_painted(tmp_path):
    page = tmp_path / "report.html"
    page.write_text(render_html(samples.regressed()), encoding="utf-8")
    dom = chromium(tmp_path, "--dump-dom", page.as_uri())
    assert "<script" not in dom and "<b>bold</b>" not in dom
    assert '&lt;script&gt;alert("x")&lt;/script&gt; &amp; &lt;b&gt;bold&lt;/b&gt;' in dom
    shot = tmp_path / "report.png"
    chromium(tmp_path, "--hide-scrollbars", "--window-size=1100,1400", f"--screenshot={shot}", page.as_uri())
    data = shot.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n")
    assert len(data) > 50_000  # a blank page of this size compresses to a few kilobytes


def test_suite_page_renders_and_task_ids_stay_text(tmp_path, sides):
    hostile = '<img src=x onerror=alert(1)>'
    for side, text in zip(sides, ["same", "same"]):
        write(pathlib.Path(side) / "hostile.agentlog", [record({"task_id": hostile}, kind="metadata"), response(text)])
    page = tmp_path / "suite.html"
    assert cli.main(["suite", *sides, "-q", "--seed", "1", "--jobs", "1", "--html", str(page)]) == 1
    dom = chromium(tmp_path, "--dump-dom", page.as_uri())
    text = re.sub(r"\s+", " ", re.sub(r"<[^>]+>", " ", dom))
    for words in ["korvane suite report", "Regression (exit status 1)", "Axes", "Tasks, most regressed first",
                  "Failed tasks", "Unmatched tasks", "Each task", "lonely.agentlog", "new.agentlog"]:
        assert words in text
    chart = re.search(r'<svg[^>]*id="suite-chart".*?</svg>', dom, re.S)
    assert chart is not None and len(re.findall(r'<g class="axis-row"', chart.group(0))) == 8
    ranked = re.search(r'<table id="ranked">.*?</table>', dom, re.S).group(0)
    assert ranked.count("<tr>") == 1 + 6 and dom.count("<details ") == 6 + 2  # ran, and failed
    assert "<img" not in dom and html.escape(hostile, quote=False) in dom
