"""The korvane command line: exit statuses, output and error lines for good
and bad input, and the terminal and HTML renderings of a report."""

import collections
import html
import importlib.util
import io
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvane
import report_samples as samples
from korvane import cli
from korvane.html_report import render_html
from korvane.summary import clean, format_number, gate_fails, render_text
from vectors import CORPUS, record

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
BASELINE = str(EXAMPLES / "baseline.agentlog")
CANDIDATE = str(EXAMPLES / "candidate.agentlog")
PRICING = str(EXAMPLES / "pricing.json")
REAL = str(CORPUS / "tau2-airline-t0-gpt-5.4.agentlog")


def run(argv, capsys):
    """Runs the command line in-process: (status, stdout, stderr)."""
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


def write_trace(path, records):
    path.write_bytes(korvane.write_agentlog(records))
    return str(path)


def response(text="hello", model="m", usage=None, **payload):
    body = {"model": model, "content": [{"type": "text", "text": text}], "stop_reason": "end_turn"}
    if usage is not None:
        body["usage"] = usage
    body.update(payload)
    return record(body)


def rounded(value):
    """value with every float rounded, for comparing reports whose sums may
    differ in the last bits between runs."""
    if isinstance(value, float):
        return round(value, 9)
    if isinstance(value, list):
        return [rounded(v) for v in value]
    if isinstance(value, dict):
        return {k: rounded(v) for k, v in value.items()}
    return value


# --- diff ------------------------------------------------------------------------

def test_diff_of_the_example_pair_reports_a_regression(capsys):
    status, out, err = run(["diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--seed", 7], capsys)
    assert status == 1
    assert err == ""
    for label in ["semantic similarity", "tool-call trajectory", "refusal / safety", "verbosity",
                  "latency", "cost", "reasoning depth", "llm-judge score", "format conformance"]:
        assert re.search(rf"^{re.escape(label)}\s", out, re.M), label
    assert "base-0001" in out and "cand-0001" in out
    assert "verdict: regression" in out
    assert re.search(r"^cost\s.*\bsevere\b", out, re.M)


def test_example_pair_shows_each_designed_regression():
    """The written example is meant to trip every kind of finding the README
    promises for it: severe rows, structural divergences, errors."""
    b, c = (korvane.parse_agentlog(pathlib.Path(p).read_bytes()) for p in (BASELINE, CANDIDATE))
    report = korvane.compute_diff_report(b, c, json.loads(pathlib.Path(PRICING).read_text()), seed=1)
    severities = {row["axis"]: row["severity"] for row in report["rows"]}
    for axis in ["semantic", "trajectory", "safety", "verbosity", "latency", "cost", "conformance"]:
        assert severities[axis] == "severe", axis
    explanations = " | ".join(d["explanation"] for d in report["divergences"])
    for phrase in ["dropped tool call(s): `cancel_hotel(booking_id)`", "tool set changed",
                   "added tool call(s): `get_baggage_policy(route)`", "duplicate tool invocation"]:
        assert phrase in explanations
    actions = {(r["severity"], r["action"]) for r in report["recommendations"]}
    assert {("error", "restore"), ("error", "remove"), ("error", "review")} <= actions
    assert report["first_divergence"]["baseline_turn"] == 0


def test_example_files_are_what_the_script_writes():
    spec = importlib.util.spec_from_file_location("make_examples", EXAMPLES / "make_examples.py")
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    for role, steps in (("baseline", script.BASELINE), ("candidate", script.CANDIDATE)):
        written = korvane.write_agentlog(script.build_trace(role, steps))
        assert written == (EXAMPLES / f"{role}.agentlog").read_bytes(), role


@pytest.mark.parametrize("path", [BASELINE, REAL])
def test_diff_of_a_trace_with_itself_passes(capsys, path):
    status, out, _ = run(["diff", path, path, "--seed", 1], capsys)
    assert status == 0
    assert out.endswith("verdict: no severe row and no error recommendation, exit status 0\n")
    assert "none: the traces do not diverge" in out


def test_json_output_is_the_report(capsys):
    status, out, _ = run(["diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--seed", 3,
                          "--json"], capsys)
    assert status == 1
    report = json.loads(out)
    expected = korvane.compute_diff_report(
        korvane.parse_agentlog(pathlib.Path(BASELINE).read_bytes()),
        korvane.parse_agentlog(pathlib.Path(CANDIDATE).read_bytes()),
        json.loads(pathlib.Path(PRICING).read_text()), seed=3)
    assert rounded(report) == rounded(expected)
    assert list(report) == list(expected)


def test_json_output_is_strict_json_with_non_finite_numbers(tmp_path, capsys):
    # A price that is a finite double can still make a cost overflow.
    b = write_trace(tmp_path / "b.agentlog", [response(usage={"input_tokens": 1e308,
                                                              "output_tokens": 1e308})])
    pricing = tmp_path / "p.json"
    pricing.write_text('{"m": [1e308, 1e308]}')
    status, out, _ = run(["diff", b, b, "--pricing", pricing, "--seed", 1, "--json"], capsys)
    assert status == 0
    report = json.loads(out, parse_constant=lambda name: pytest.fail(f"{name} in output"))
    assert report["rows"][5]["baseline_median"] is None


@pytest.mark.parametrize("entry", [
    [0.001, 0.002],
    [0.001, 0.002, 0, 0, 0, 0, 0],
    {"input": 0.001, "output": 0.002, "note": "ignored"},
])
def test_pricing_forms_reach_the_cost_row(tmp_path, capsys, entry):
    usage = {"input_tokens": 1000, "output_tokens": 200}
    b = write_trace(tmp_path / "b.agentlog", [response(usage=usage)])
    pricing = tmp_path / "p.json"
    pricing.write_text(json.dumps({"m": entry}))
    _, out, _ = run(["diff", b, b, "--pricing", pricing, "--seed", 1, "--json"], capsys)
    cost = json.loads(out)["rows"][5]
    assert cost["n"] == 1 and "no_pricing" not in cost["flags"]
    assert cost["baseline_median"] == pytest.approx(1000 * 0.001 + 200 * 0.002)


def test_html_report_is_written_and_escapes_trace_text(tmp_path, capsys):
    hostile = '<script>alert("id")</script>'
    b = write_trace(tmp_path / "b.agentlog", [dict(response("a"), id=hostile)])
    c = write_trace(tmp_path / "c.agentlog", [response("b")])
    page = tmp_path / "report.html"
    status, out, err = run(["diff", b, c, "--seed", 1, "--html", page], capsys)
    assert status in (0, 1)
    assert f"wrote {page}" in err
    text = page.read_text(encoding="utf-8")
    assert text.startswith("<!DOCTYPE html>") and "<svg" in text
    assert hostile not in text and html.escape(hostile) in text
    assert not re.search(r"<(script|link)\b|\bsrc=|@import|url\(", text)
    assert "verdict" in out  # the summary is still printed


@pytest.mark.parametrize("args, message", [
    (["diff", "missing.agentlog", BASELINE], "korvane: cannot read missing.agentlog: No such file"),
    (["diff", BASELINE, "missing.agentlog"], "korvane: cannot read missing.agentlog: No such file"),
    (["diff", BASELINE, str(EXAMPLES)], f"korvane: cannot read {EXAMPLES}: Is a directory"),
    (["validate", "missing.agentlog"], "korvane: cannot read missing.agentlog: No such file"),
    (["id", "missing.agentlog"], "korvane: cannot read missing.agentlog: No such file"),
    (["diff", BASELINE, BASELINE, "--pricing", "missing.json"],
     "korvane: cannot read missing.json: No such file"),
])
def test_unreadable_input_is_one_line_and_status_2(capsys, args, message):
    status, out, err = run(args, capsys)
    assert status == 2 and out == ""
    assert err.startswith(message) and err.count("\n") == 1


def test_oversized_trace_is_refused_before_it_is_read(monkeypatch, capsys):
    monkeypatch.setattr(cli, "MAX_TRACE_BYTES", 100)
    size = pathlib.Path(BASELINE).stat().st_size
    status, _, err = run(["validate", BASELINE], capsys)
    assert status == 2
    assert err == f"korvane: {BASELINE}: file of {size} bytes exceeds the trace limit of 100 bytes\n"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files regardless of their mode")
def test_file_without_read_permission(tmp_path, capsys):
    path = tmp_path / "secret.agentlog"
    path.write_bytes(b"")
    path.chmod(0)
    status, _, err = run(["validate", path], capsys)
    assert status == 2 and "Permission denied" in err


BAD_LINE = b'{"version":"0.1","id":"a","kind":"chat_response","ts":"t","payload":null}\n{"version":1}\n'


@pytest.mark.parametrize("command", ["diff", "validate", "id"])
def test_invalid_trace_gives_the_reader_message_and_hint(tmp_path, capsys, command):
    bad = tmp_path / "bad.agentlog"
    bad.write_bytes(BAD_LINE)
    args = {"diff": ["diff", BASELINE, bad], "validate": ["validate", bad], "id": ["id", bad]}
    status, out, err = run(args[command], capsys)
    assert status == 2 and out == ""
    first, hint = err.rstrip("\n").split("\n")
    assert first == (f"korvane: {bad}: parse error on line 2: invalid type: integer `1`, "
                     "expected a string at line 1 column 12")
    assert hint == "hint: verify the record matches the envelope schema (SPEC §3)"


@pytest.mark.parametrize("content, message", [
    (b"{", "pricing file is not valid JSON: Expecting property name enclosed in double quotes"),
    (b"[1, 2]", "pricing file must hold a JSON object mapping model names to prices, not list"),
    (b'{"m": [1, 2], "m": [3, 4]}', 'duplicate key "m"'),
    (b'{"m": [NaN, 1]}', "NaN is not a number"),
    (b'{"m": [1e400, 1]}', "number 1e400 is out of range"),
    (b'\xff{"m": [1, 2]}', "pricing file is not UTF-8 text"),
    (b'{"m": [3.0]}', 'model "m": invalid length 1, expected struct ModelPricing with 7 elements'),
    (b'{"m": [1, 2, 3, 4, 5, 6, 7, 8]}', 'model "m": invalid length 8, expected fewer elements'),
    (b'{"m": {"output": 1}}', 'model "m": missing field `input`'),
    (b'{"m": "cheap"}', 'model "m": invalid type: string "cheap", expected struct ModelPricing'),
    (b'{"ok": [1, 2], "m": [null, 1]}', 'model "m": invalid type: unit value, expected f64'),
])
def test_bad_pricing_file(tmp_path, capsys, content, message):
    pricing = tmp_path / "pricing.json"
    pricing.write_bytes(content)
    status, out, err = run(["diff", BASELINE, BASELINE, "--pricing", pricing], capsys)
    assert status == 2 and out == ""
    assert err.startswith(f"korvane: {pricing}: {message}"), err
    assert err.count("\n") == 1


def test_pricing_file_may_start_with_a_byte_order_mark(tmp_path, capsys):
    pricing = tmp_path / "pricing.json"
    pricing.write_bytes(b"\xef\xbb\xbf" + pathlib.Path(PRICING).read_bytes())
    status, _, _ = run(["diff", BASELINE, CANDIDATE, "--pricing", pricing, "--seed", 1], capsys)
    assert status == 1


@pytest.mark.parametrize("args", [
    [],
    ["frobnicate"],
    ["diff", BASELINE],
    ["diff", BASELINE, BASELINE, "--seed", "-1"],
    ["diff", BASELINE, BASELINE, "--seed", str(1 << 64)],
    ["diff", BASELINE, BASELINE, "--seed", "1.5"],
    ["validate"],
    ["id", BASELINE, BASELINE],
])
def test_usage_errors_exit_2(capsys, args):
    status, out, err = run(args, capsys)
    assert status == 2 and out == "" and err


def test_version(capsys):
    status, out, _ = run(["--version"], capsys)
    assert status == 0
    assert out == f"korvane {korvane.__version__} (trace format {korvane.SPEC_VERSION})\n"


def test_seed_makes_the_summary_reproducible(capsys):
    args = ["diff", BASELINE, CANDIDATE, "--pricing", PRICING, "--seed", "0x2a"]
    assert run(args, capsys) == run(args, capsys)


# --- validate and id ---------------------------------------------------------------

def test_validate_counts_records_by_kind(capsys):
    paths = [BASELINE, REAL]
    status, out, err = run(["validate", *paths], capsys)
    assert status == 0 and err == ""
    blocks = out.split(f"{paths[1]}: ")
    for path, block in zip(paths, [blocks[0], paths[1] + ": " + blocks[1]]):
        records = korvane.parse_agentlog(pathlib.Path(path).read_bytes())
        counts = collections.Counter(r["kind"] for r in records)
        assert f"{path}: valid, {len(records)} records" in block
        for kind in cli.KINDS:
            assert re.search(rf"^  {kind}\s+{counts[kind]}$", block, re.M), kind


def test_validate_goes_on_after_a_bad_file(tmp_path, capsys):
    bad = tmp_path / "bad.agentlog"
    bad.write_bytes(b"\n\xff\n")
    empty = tmp_path / "empty.agentlog"
    empty.write_bytes(b"")
    status, out, err = run(["validate", bad, empty, BASELINE], capsys)
    assert status == 2
    assert err.startswith(f"korvane: {bad}: io error on line 2: stream did not contain valid UTF-8\n"
                          "hint: check that the file is readable and not truncated mid-line")
    assert f"{empty}: valid, 0 records" in out and f"{BASELINE}: valid" in out


def test_id_prints_the_content_id_of_each_payload(capsys):
    status, out, _ = run(["id", BASELINE], capsys)
    records = korvane.parse_agentlog(pathlib.Path(BASELINE).read_bytes())
    assert status == 0
    assert out.splitlines() == [korvane.content_id(r["payload"]) for r in records]
    assert all(re.fullmatch(r"sha256:[0-9a-f]{64}", line) for line in out.splitlines())


# --- progress ------------------------------------------------------------------

def test_progress_is_announced_for_large_input(monkeypatch, capsys):
    monkeypatch.setattr(cli, "LARGE_READ_BYTES", 0)
    monkeypatch.setattr(cli, "LARGE_DIFF_RESPONSES", 0)
    _, _, err = run(["diff", BASELINE, CANDIDATE, "--seed", 1], capsys)
    assert err.splitlines() == [
        f"korvane: reading {BASELINE} (0.0 MB) …",
        f"korvane: reading {CANDIDATE} (0.0 MB) …",
        "korvane: diffing 12 baseline and 12 candidate responses …",
    ]
    _, _, err = run(["diff", "--quiet", BASELINE, CANDIDATE, "--seed", 1], capsys)
    assert err == ""


def test_progress_after_a_second_of_work(monkeypatch):
    clock = iter([0.0, 0.5, 1.5])
    monkeypatch.setattr(cli.time, "monotonic", lambda: next(clock))
    stream = io.StringIO()
    progress = cli.Progress(stream, True)
    progress.stage("early", False)
    progress.stage("late", False)
    assert stream.getvalue() == "korvane: late …\n"


# --- entry points --------------------------------------------------------------

@pytest.mark.parametrize("launcher", ["module", "script"])
def test_entry_points(launcher):
    if launcher == "module":
        command = [sys.executable, "-m", "korvane"]
    else:
        script = pathlib.Path(sys.executable).parent / "korvane"
        if not script.exists():
            pytest.skip("the korvane script is not installed next to this interpreter")
        command = [str(script)]
    done = subprocess.run([*command, "diff", BASELINE, CANDIDATE, "--pricing", PRICING,
                           "--seed", "1"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 1 and "verdict: regression" in done.stdout
    done = subprocess.run([*command, "validate", "no/such/file"], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr == "korvane: cannot read no/such/file: No such file or directory\n"


# --- renderings ------------------------------------------------------------------

@pytest.mark.parametrize("change, status", [
    (lambda r: None, 0),
    (lambda r: r["rows"][4].update(severity="moderate"), 0),
    (lambda r: r["rows"][4].update(severity="severe"), 1),
    (lambda r: r["recommendations"].append(samples.recommendation(
        "warning", "review", 1, "m", "r", "safety", 0.5)), 0),
    (lambda r: r["recommendations"].append(samples.recommendation(
        "error", "restore", 1, "m", "r", "trajectory", 0.5)), 1),
])
def test_gate(change, status):
    report = samples.clean()
    change(report)
    assert gate_fails(report) == bool(status)


def test_text_summary_has_every_section():
    out = render_text(samples.regressed(), "b.agentlog", "c.agentlog")
    sections = ["First divergence", "Divergences, most serious first", "Recommendations",
                "Most regressed response pairs", "verdict: regression, exit status 1"]
    positions = [out.index(s) for s in sections]
    assert positions == sorted(positions)
    assert "candidate called `book_flight(flight_id,passenger)` 2 time(s)" in out
    assert out.endswith("  severe rows: semantic similarity, tool-call trajectory, refusal / safety, "
                        "verbosity, latency, cost\n  error recommendations: 1\n")
    assert "pair 2: regression score 6.50, dominant axis cost" in out
    assert re.search(r"^format conformance\s+1\.00\s+n/a\s+n/a\s+\[n/a, n/a\]", out, re.M)
    assert re.search(r"^llm-judge score\s+-\s+-\s+-\s+-\s+none\s+0$", out, re.M)
    assert "\x1b" not in out


def test_text_summary_escapes_control_characters_and_colours_on_request():
    report = samples.regressed()
    report["candidate_trace_id"] = "id\x1b]0;pwned\x07\u202e"
    plain = render_text(report)
    assert "id\\x1b]0;pwned\\x07\\u202e" in plain and "\x1b" not in plain
    assert "<script>" in plain and "\\nsecond line" in plain  # shown as text, not interpreted
    coloured = render_text(report, color=True)
    assert "\x1b[1;31msevere" in coloured and "\x1b]0" not in coloured


def test_html_report_sections_and_chart():
    page = render_html(samples.regressed(), "b<1>.agentlog", "c.agentlog")
    assert page.count('class="axis-row"') == 9
    assert page.count('data-severity="severe"') == 6
    assert page.count('<circle class="delta"') == 7  # not judge (no data), not conformance (n/a)
    for heading in ["Axes", "First divergence", "Divergences", "Recommendations",
                    "Most regressed response pairs"]:
        assert f"<h2>{heading}</h2>" in page
    assert "b&lt;1&gt;.agentlog" in page
    assert "<script>" not in page and samples.HOSTILE not in page
    assert html.escape(samples.HOSTILE) in page


def test_html_report_of_a_clean_diff():
    page = render_html(samples.clean())
    assert 'class="verdict pass"' in page and "No divergences." in page


@pytest.mark.parametrize("value, signed, text", [
    (None, False, "n/a"), (0.0, True, "0"), (-0.0, False, "0"), (1.5, True, "+1.50"),
    (-12.25, False, "-12.2"), (2195.4, False, "2195"), (0.25, False, "0.250"),
    (0.000827, False, "0.000827"), (1e-9, True, "+0.00000000100"),
])
def test_format_number(value, signed, text):
    assert format_number(value, signed) == text


finite = st.floats(allow_nan=False, allow_infinity=False)
number = st.one_of(st.none(), finite)
texts = st.text()


@st.composite
def reports(draw):
    report = samples.regressed()
    for row in report["rows"]:
        for key in ["baseline_median", "candidate_median", "delta", "ci95_low", "ci95_high"]:
            row[key] = draw(number)
        row["n"] = draw(st.integers(0, 2**64 - 1))
    for d in report["divergences"] + [report["first_divergence"]]:
        d["explanation"] = draw(texts)
        d["confidence"] = draw(number)
    for rec in report["recommendations"]:
        rec["message"], rec["rationale"] = draw(texts), draw(texts)
    for pair in report["drill_down"]:
        for score in pair["axis_scores"]:
            score["baseline_value"] = draw(number)
            score["normalized_delta"] = draw(st.one_of(st.none(), st.floats(0, 4)))
    report["baseline_trace_id"] = draw(texts)
    return report


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(reports())
def test_renderers_take_any_report(report):
    text = render_text(report, color=True)
    assert not re.search(r"[\x00-\x08\x0b-\x1a\x1c-\x1f\x7f]", text)
    page = render_html(report)
    assert html.escape(report["baseline_trace_id"]) in page
    assert html.escape(report["recommendations"][0]["message"]) in page
    assert "<script" not in page
    assert clean(report["divergences"][0]["explanation"]) in text
    assert not re.search(r'(?:cx|x|width)="[^"]*(?:nan|inf)', page)
