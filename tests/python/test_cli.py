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

import genai_prices
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvane
import report_samples as samples
from korvane import cli, inputs, prices
from korvane.render.formats import format_number
from korvane.render.html import render_html
from korvane.render.terminal import render_text
from korvane.render.text import safe
from korvane.verdict import Rule, judge
from vectors import CORPUS, record, response, write

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
BASELINE, CANDIDATE, PRICING = (str(EXAMPLES / n) for n in ["baseline.agentlog", "candidate.agentlog",
                                                             "pricing.json"])
REAL = str(CORPUS / "tau2-airline-t0-gpt-5.4.agentlog")
DIFF = ["diff", BASELINE, CANDIDATE, "--pricing", PRICING]


def run(argv, capsys):
    """Runs the command line in-process: (status, stdout, stderr)."""
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


def parse(path):
    return korvane.parse_agentlog(pathlib.Path(path).read_bytes())


def rounded(value):
    """value with every float rounded: sums may differ in the last bits between runs."""
    if isinstance(value, float):
        return round(value, 9)
    if isinstance(value, list):
        return [rounded(v) for v in value]
    return {k: rounded(v) for k, v in value.items()} if isinstance(value, dict) else value


# --- diff ------------------------------------------------------------------------

def test_diff_of_the_example_pair_reports_a_regression(capsys):
    status, out, err = run(DIFF + ["--seed", "0x2a"], capsys)
    assert (status, err) == (1, "")
    for label in ["semantic similarity", "tool-call trajectory", "refusal / safety", "verbosity",
                  "latency", "cost", "reasoning depth", "llm-judge score", "format conformance"]:
        assert re.search(rf"^{re.escape(label)}\s", out, re.M), label
    assert "base-0001" in out and "cand-0001" in out and "verdict: regression" in out
    assert re.search(r"^cost\s.*\bsevere\b", out, re.M)
    assert run(DIFF + ["--seed", "42"], capsys) == (status, out, err)  # the seed makes it reproducible


def test_example_pair_shows_each_designed_regression():
    """The written example trips every kind of finding the README promises
    for it: severe rows, structural divergences, errors."""
    report = korvane.compute_diff_report(parse(BASELINE), parse(CANDIDATE),
                                         json.loads(pathlib.Path(PRICING).read_text()), seed=1)
    severities = {row["axis"]: row["severity"] for row in report["rows"]}
    assert all(severities[a] == "severe" for a in ["semantic", "trajectory", "safety", "verbosity", "latency",
                                                    "cost", "conformance"]), severities
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
    assert status == 0 and "none: the traces do not diverge" in out
    assert out.endswith("verdict: no regression, exit status 0\n")


def test_json_output_is_the_report(tmp_path, capsys):
    # The pricing file may start with a byte order mark.
    pricing_path = write(tmp_path / "p.json", b"\xef\xbb\xbf" + pathlib.Path(PRICING).read_bytes())
    status, out, _ = run(["diff", BASELINE, CANDIDATE, "--pricing", pricing_path, "--seed", 3, "--json"], capsys)
    assert status == 1
    report = json.loads(out)
    expected = korvane.compute_diff_report(parse(BASELINE), parse(CANDIDATE),
                                           json.loads(pathlib.Path(PRICING).read_text()), seed=3)
    verdict, pricing = report.pop("verdict"), report.pop("pricing")
    assert rounded(report) == rounded(expected) and list(report) == list(expected)
    assert verdict["status"] == "regression" and verdict["exit_status"] == 1
    assert pricing == {"priced": {m: pricing_path for m in ["orbit-mini-2025-01", "orbit-pro-2025-03"]},
                       "unpriced": []}


@pytest.mark.parametrize("tokens, entry, cost", [
    (1000, [0.001, 0.002], 1.4),
    (1000, [0.001, 0.002, 0, 0, 0, 0, 0], 1.4),
    (1000, {"input": 0.001, "output": 0.002, "note": "ignored"}, 1.4),
    # Finite prices can still make a cost overflow: the output stays strict JSON.
    (1e308, [1e308, 1e308], None),
])
def test_pricing_forms_reach_the_cost_row(tmp_path, capsys, tokens, entry, cost):
    b = write(tmp_path / "b.agentlog", [response(usage={"input_tokens": tokens, "output_tokens": tokens / 5})])
    pricing = write(tmp_path / "p.json", json.dumps({"m": entry}).encode())
    status, out, _ = run(["diff", b, b, "--pricing", pricing, "--seed", 1, "--json"], capsys)
    row = json.loads(out, parse_constant=lambda name: pytest.fail(f"{name} in output"))["rows"][5]
    assert status == 0 and row["n"] == 1 and "no_pricing" not in row["flags"]
    assert row["baseline_median"] == pytest.approx(cost)


def test_html_report_is_written_and_escapes_trace_text(tmp_path, capsys):
    hostile = '<script>alert("id")</script>'
    b = write(tmp_path / "b.agentlog", [dict(response("a"), id=hostile)])
    c = write(tmp_path / "c.agentlog", [response("b")])
    page = tmp_path / "report.html"
    status, out, err = run(["diff", b, c, "--seed", 1, "--html", page], capsys)
    assert status in (0, 1) and f"wrote {page}" in err and "verdict" in out  # the summary is still printed
    text = page.read_text(encoding="utf-8")
    assert text.startswith("<!DOCTYPE html>") and "<svg" in text
    assert hostile not in text and html.escape(hostile) in text
    assert not re.search(r"<(script|link)\b|\bsrc=|@import|url\(", text)


# --- bad input -------------------------------------------------------------------

MISSING = "korvane: cannot read missing.agentlog: No such file"


@pytest.mark.parametrize("args, message", [
    (["diff", "missing.agentlog", BASELINE], MISSING),
    (["diff", BASELINE, "missing.agentlog"], MISSING),
    (["diff", BASELINE, str(EXAMPLES)], f"korvane: cannot read {EXAMPLES}: Is a directory"),
    (["validate", "missing.agentlog"], MISSING),
    (["id", "missing.agentlog"], MISSING),
    (["diff", BASELINE, BASELINE, "--pricing", "missing.json"], "korvane: cannot read missing.json: No such file"),
])
def test_unreadable_input_is_one_line_and_status_2(capsys, args, message):
    status, out, err = run(args, capsys)
    assert (status, out) == (2, "") and err.startswith(message) and err.count("\n") == 1


def test_oversized_trace_is_refused_before_it_is_read(monkeypatch, capsys):
    monkeypatch.setattr(inputs, "MAX_TRACE_BYTES", 100)
    size = pathlib.Path(BASELINE).stat().st_size
    assert run(["validate", BASELINE], capsys)[::2] == (
        2, f"korvane: {BASELINE}: file of {size} bytes exceeds the trace limit of 100 bytes\n")


def test_oversized_stream_is_refused_after_the_limit(monkeypatch, capsys):
    # A pipe has no size to check first: at most one byte past the limit is read.
    monkeypatch.setattr(inputs, "MAX_TRACE_BYTES", 100)
    read, write_end = os.pipe()
    with os.fdopen(write_end, "wb") as pipe:
        pipe.write(b"x" * 4096)
    path = f"/dev/fd/{read}"
    try:
        assert run(["validate", path], capsys)[::2] == (
            2, f"korvane: {path}: input exceeds the trace limit of 100 bytes\n")
    finally:
        os.close(read)


def test_internal_failure_is_one_line_and_never_the_regression_status(monkeypatch, capsys):
    def fail(*args, **kwargs):
        raise RuntimeError("boom")
    monkeypatch.setattr(korvane, "compute_diff_report", fail)
    assert run(["diff", BASELINE, BASELINE], capsys) == (2, "", "korvane: internal error: RuntimeError: boom\n")


def test_html_report_of_a_file_name_that_is_not_utf8(tmp_path, capsys):
    name = os.fsdecode(b"b\xff.agentlog")
    trace = tmp_path / name
    trace.write_bytes(pathlib.Path(BASELINE).read_bytes())
    page = tmp_path / "report.html"
    status, _, _ = run(["diff", trace, trace, "--seed", 1, "--html", page], capsys)
    assert status == 0 and "b\\udcff.agentlog" in page.read_text(encoding="utf-8")


@pytest.mark.parametrize("command", [["diff", BASELINE], ["validate"], ["id"]])
def test_invalid_trace_gives_the_reader_message_and_hint(tmp_path, capsys, command):
    bad = write(tmp_path / "bad.agentlog",
                b'{"version":"0.1","id":"a","kind":"chat_response","ts":"t","payload":null}\n{"version":1}\n')
    assert run(command + [bad], capsys) == (2, "", (
        f"korvane: {bad}: parse error on line 2: invalid type: integer `1`, expected a string at line 1 column 12\n"
        "hint: verify the record matches the envelope schema (SPEC §3)\n"))


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
    (b'{"m": [1' + b"0" * 5000 + b', 2]}', "pricing file is not valid JSON: Exceeds the limit"),
    (b"[" * 100000 + b"]" * 100000, "pricing file is not valid JSON: maximum recursion depth exceeded"),
])
def test_bad_pricing_file(tmp_path, capsys, content, message):
    pricing = write(tmp_path / "pricing.json", content)
    status, out, err = run(["diff", BASELINE, BASELINE, "--pricing", pricing], capsys)
    assert (status, out) == (2, "") and err.count("\n") == 1
    assert err.startswith(f"korvane: {pricing}: {message}"), err


@pytest.mark.parametrize("args", [
    [], ["frobnicate"], ["diff", BASELINE], ["validate"], ["id", BASELINE, BASELINE], ["diff", "-", "-"],
    *(["diff", BASELINE, BASELINE, "--seed", seed] for seed in ["-1", str(1 << 64), "1.5"]),
    *(["diff", BASELINE, BASELINE, *more] for more in [["--fail-on", "speed"], ["--fail-on", ","],
                                                      ["--fail-severity", "none"], ["--pricing", PRICING] * 2]),
    ["suite", BASELINE, "--resume"], ["suite", BASELINE, BASELINE, "--ship"], ["suite", BASELINE, "--jobs", "0"],
])
def test_usage_errors_exit_2(capsys, args):
    status, out, err = run(args, capsys)
    assert (status, out) == (2, "") and err


@pytest.mark.parametrize("args", [["diff", "-", BASELINE, "--seed", 1], ["diff", BASELINE, "-", "--seed", 1],
                                  ["validate", "-"], ["id", "-"]])
def test_dash_reads_the_trace_from_standard_input(monkeypatch, capsys, args):
    expected = run([BASELINE if a == "-" else a for a in args], capsys)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(pathlib.Path(BASELINE).read_bytes())))
    status, out, err = run(args, capsys)
    assert (status, out.replace("standard input", BASELINE), err) == expected


@pytest.mark.parametrize("command, what", [(["diff", BASELINE, BASELINE, "--pricing", PRICING], "pricing file"),
                                           (["suite", PRICING], "manifest")])
def test_tables_over_the_limit_are_refused_unread(monkeypatch, capsys, command, what):
    monkeypatch.setattr(inputs, "MAX_TABLE_BYTES", 10)
    size = pathlib.Path(PRICING).stat().st_size
    assert run(command, capsys)[::2] == (2, f"korvane: {PRICING}: file of {size} bytes exceeds the {what} limit of 10 "
                                            "bytes\n")


def test_echoed_values_are_escaped_and_cut(tmp_path, capsys):
    assert run(["validate", "\x1b[31mred\x07"], capsys)[2] == (
        "korvane: cannot read \\x1b[31mred\\x07: No such file or directory\n")
    huge = write(tmp_path / "huge.agentlog", json.dumps(dict(record(None), kind="\x1b]0;" + "k" * 10**6)).encode())
    seed = "\x1b]0;" + "9" * 10**6
    for command in (["validate", huge], ["diff", BASELINE, BASELINE, "--seed", seed]):
        status, _, err = run(command, capsys)
        lines = err.splitlines()
        assert status == 2 and "\x1b" not in err and "\\x1b]0;" in err and "characters cut]" in err
        assert max(map(len, lines)) < 1000 and lines[-1].startswith(("hint: ", "korvane: diff: argument --seed"))


@pytest.mark.parametrize("stdout, reason", [("/dev/full", "No space left on device"), (None, "it is closed")])
def test_unwritable_standard_output_is_one_line(stdout, reason):
    with open(stdout or os.devnull, "w") as sink:
        done = subprocess.run([sys.executable, "-m", "korvane", "id", BASELINE], stdout=sink, stderr=subprocess.PIPE,
                              text=True, timeout=120, preexec_fn=None if stdout else lambda: os.close(1))
    assert (done.returncode, done.stderr) == (2, f"korvane: cannot write to standard output: {reason}\n")


@pytest.mark.parametrize("candidate, status, lines", [
    ([], 2, "verdict: nothing to compare, exit status 2\n  neither trace has a response\n"),
    (None, 1, "verdict: regression, exit status 1\n  the candidate has no response where the baseline has 2\n"),
])
def test_missing_responses_decide_the_verdict(tmp_path, capsys, candidate, status, lines):
    empty = write(tmp_path / "empty.agentlog", [record({}, kind="metadata")])
    base = empty if candidate == [] else write(tmp_path / "b.agentlog", [response("a"), response("b")])
    result = run(["diff", base, empty, "--seed", 1], capsys)
    assert result[0] == status and result[1].endswith(lines)


def test_pricing_auto_prices_the_named_models_and_a_file_overrides(tmp_path, capsys):
    usage = {"input_tokens": 1000, "output_tokens": 100}
    trace = write(tmp_path / "t.agentlog", [response(model=m, usage=usage) for m in ["gpt-4o", "claude-opus-4-6", "x-9"]])
    mine = write(tmp_path / "mine.json", b'{"claude-opus-4-6": [1, 2]}')
    status, out, _ = run(["diff", trace, trace, "--pricing", "auto", "--pricing", mine, "--json", "--seed", 1], capsys)
    source = f"genai-prices {genai_prices.__version__}"
    assert json.loads(out)["pricing"] == {"priced": {"claude-opus-4-6": mine, "gpt-4o": source}, "unpriced": ["x-9"]}
    for model in ["gpt-4o", "anthropic/claude-sonnet-4-5"]:
        per_token = prices.auto_price(model)
        for kind in ["input", "output"]:
            expected = genai_prices.calc_price(genai_prices.Usage(**{f"{kind}_tokens": 7000}), model.split("/")[-1])
            assert per_token[kind] * 7000 == pytest.approx(float(expected.total_price))


def test_version(capsys):
    version = f"korvane {korvane.__version__} (trace format {korvane.SPEC_VERSION})\n"
    assert run(["--version"], capsys)[:2] == (0, version)


# --- validate, id, progress, entry points ------------------------------------------

def test_validate_counts_records_by_kind_and_goes_on_after_a_bad_file(tmp_path, capsys):
    bad, empty = write(tmp_path / "bad.agentlog", b"\n\xff\n"), write(tmp_path / "empty.agentlog", b"")
    status, out, err = run(["validate", bad, empty, BASELINE, REAL], capsys)
    assert (status, err) == (2, f"korvane: {bad}: io error on line 2: stream did not contain valid UTF-8\n"
                                "hint: check that the file is readable and not truncated mid-line\n")
    lines = iter(out.splitlines())
    for path in [empty, BASELINE, REAL]:
        records = parse(path)
        counts = collections.Counter(r["kind"] for r in records)
        assert next(lines) == f"{path}: valid, {len(records)} records"
        assert [next(lines).split() for _ in cli.KINDS] == [[k, str(counts[k])] for k in cli.KINDS]


def test_id_prints_the_content_id_of_each_payload(capsys):
    status, out, _ = run(["id", BASELINE], capsys)
    assert status == 0 and out.splitlines() == [korvane.content_id(r["payload"]) for r in parse(BASELINE)]


def test_progress_is_announced_for_large_input_or_after_a_second(monkeypatch, capsys):
    monkeypatch.setattr(cli, "LARGE_READ_BYTES", 0)
    monkeypatch.setattr(cli, "LARGE_DIFF_RESPONSES", 0)
    assert run(["diff", BASELINE, CANDIDATE, "--seed", 1], capsys)[2].splitlines() == [
        f"korvane: reading {BASELINE} (0.0 MB) …", f"korvane: reading {CANDIDATE} (0.0 MB) …",
        "korvane: diffing 12 baseline and 12 candidate responses …"]
    assert run(["diff", "--quiet", BASELINE, CANDIDATE, "--seed", 1], capsys)[2] == ""
    clock = iter([0.0, 0.5, 1.5])
    monkeypatch.setattr(cli.time, "monotonic", lambda: next(clock))
    stream = io.StringIO()
    progress = cli.Stages(cli.Console(None, stream), True)
    progress.stage("early", False)
    progress.stage("late", False)
    assert stream.getvalue() == "korvane: late …\n"


@pytest.mark.parametrize("launcher", ["module", "script"])
def test_entry_points(launcher):
    command = [sys.executable, "-m", "korvane"]
    if launcher == "script":
        command = [str(pathlib.Path(sys.executable).parent / "korvane")]
        assert pathlib.Path(command[0]).exists(), "the korvane script is not installed next to this interpreter"
    done = subprocess.run(command + DIFF + ["--seed", "1"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 1 and "verdict: regression" in done.stdout
    done = subprocess.run(command + ["validate", "no/such/file"], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == "korvane: cannot read no/such/file: No such file or directory\n"


# --- renderings ------------------------------------------------------------------

AXIS = {axis: i for i, axis in enumerate(samples.AXES)}
LATENCY_UP = samples.row("latency", 1000.0, 2000.0, 800.0, 1200.0, "severe", 5)
LATENCY_MODERATE = samples.row("latency", 1000.0, 1200.0, 100.0, 300.0, "moderate", 5)
VERBOSITY_UP = samples.row("verbosity", 100.0, 200.0, 80.0, 120.0, "severe", 5)
COST_DOWN = samples.row("cost", 0.02, 0.01, -0.012, -0.008, "severe", 5)
RESTORE = samples.recommendation("error", "restore", 2, "Restore f(x) at turn 2.",
                                 "candidate dropped tool call(s): `f(x)`", "trajectory", 1.0)
RESTATES_COST = samples.recommendation(
    "error", "review", 0, "Review the candidate: cost axis shifted with severity severe.",
    "Aggregate signal crosses the `severe` threshold (cost: delta -0.010, CI [-0.012, -0.008]).", "cost", 0.8)


def refusal(baseline, candidate):
    return samples.recommendation("error", "review", 3, "Review refusal behaviour at turn 3: candidate may be "
                                  "over-refusing.", f"stop_reason changed: `{baseline}` → `{candidate}`", "safety", 0.5)


@pytest.mark.parametrize("rows, recommendations, responses, rule, status, improved", [
    ((), (), (5, 5), {}, "pass", False),
    ((LATENCY_UP,), (), (5, 5), {}, "regression", False),
    ((samples.row("latency", 2000.0, 1000.0, -1200.0, -800.0, "severe", 5),), (), (5, 5), {}, "pass", True),
    ((samples.row("semantic", 1.0, 0.5, -0.6, -0.4, "severe", 5),), (), (5, 5), {}, "regression", False),
    ((samples.row("conformance", 0.5, 1.0, 0.3, 0.7, "severe", 5),), (), (5, 5), {}, "pass", True),
    ((VERBOSITY_UP,), (), (5, 5), {}, "pass", False),
    ((VERBOSITY_UP,), (), (5, 5), {"fail_on": "verbosity"}, "regression", False),
    ((LATENCY_UP,), (), (5, 5), {"fail_on": "verbosity,cost"}, "pass", False),
    ((LATENCY_MODERATE,), (), (5, 5), {}, "pass", False),
    ((LATENCY_MODERATE,), (), (5, 5), {"fail_severity": "moderate"}, "regression", False),
    ((samples.row("latency", 1000.0, None, None, None, "none", 5),), (), (5, 5), {"fail_severity": "minor"}, "pass",
     False),
    ((), (RESTORE,), (5, 5), {}, "regression", False),
    ((COST_DOWN,), (RESTATES_COST,), (5, 5), {}, "pass", True),
    ((), (refusal("content_filter", "end_turn"),), (5, 5), {}, "pass", True),
    ((), (refusal("end_turn", "content_filter"),), (5, 5), {}, "regression", False),
    ((), (), (5, 0), {}, "regression", False),
    ((), (), (5, 2), {}, "regression", False),
    ((), (), (5, 3), {}, "pass", False),
    ((), (), (0, 0), {}, "nothing to compare", False),
    ((), (), (0, 3), {}, "nothing to compare", False),
])
def test_verdict_counts_only_changes_the_worse_way(rows, recommendations, responses, rule, status, improved):
    report = samples.clean()
    for row in rows:
        report["rows"][AXIS[row["axis"]]] = row
    report["recommendations"] = list(recommendations)
    verdict = judge(report, *responses, Rule.parse(**rule))
    assert (verdict.status, bool(verdict.improvements)) == (status, improved)
    assert verdict.exit_status == {"pass": 0, "regression": 1, "nothing to compare": 2}[status]
    page = render_html(report, verdict=verdict)
    assert f'class="verdict {"pass" if status == "pass" else "fail"}"' in page


def test_text_summary_has_every_section():
    out = render_text(samples.regressed(), "b.agentlog", "c.agentlog")
    positions = [out.index(s) for s in ["First divergence", "Divergences, most serious first", "Recommendations",
                                        "Most regressed response pairs", "verdict: regression, exit status 1"]]
    assert positions == sorted(positions)
    assert "candidate called `book_flight(flight_id,passenger)` 2 time(s)" in out
    assert out.endswith("""verdict: regression, exit status 1
  semantic similarity worse: -0.58 [-0.71, -0.33], severe
  tool-call trajectory worse: +0.50 [0, +1.00], severe
  refusal / safety worse: +0.250 [0, +0.500], severe
  latency worse: +1415 [+1120, +1560], severe
  cost worse: +0.00739 [+0.00656, +0.00883], severe
  error recommendation: Review unexpected addition at turn 0: lookup(q).
  not gated: verbosity worse: +45.5 [+33.0, +58.0], severe
""")
    assert "pair 2: regression score 6.50, dominant axis cost" in out
    assert re.search(r"^format conformance\s+1\.00\s+n/a\s+n/a\s+\[n/a, n/a\]\s+not measurable\s+7", out, re.M)
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
    assert page.count('class="axis-row"') == 9 and page.count('data-tone="severe"') == 6
    assert page.count('<circle class="delta"') == 7  # not judge (no data), not conformance (n/a)
    for heading in ["Axes", "First divergence", "Divergences", "Recommendations", "Most regressed response pairs"]:
        assert f"<h2>{heading}</h2>" in page
    assert "b&lt;1&gt;.agentlog" in page and "<script>" not in page
    assert samples.HOSTILE not in page and html.escape(samples.HOSTILE) in page
    assert "No divergences." in render_html(samples.clean())


@pytest.mark.parametrize("value, signed, text", [
    (None, False, "n/a"), (0.0, True, "0"), (-0.0, False, "0"), (1.5, True, "+1.50"),
    (-12.25, False, "-12.2"), (2195.4, False, "2195"), (0.25, False, "0.250"),
    (0.000827, False, "0.000827"), (1e-9, True, "+0.00000000100"),
])
def test_format_number(value, signed, text):
    assert format_number(value, signed) == text


number = st.one_of(st.none(), st.floats(allow_nan=False, allow_infinity=False))


@st.composite
def reports(draw):
    report = samples.regressed()
    for row in report["rows"]:
        for key in ["baseline_median", "candidate_median", "delta", "ci95_low", "ci95_high"]:
            row[key] = draw(number)
        row["n"] = draw(st.integers(0, 2**64 - 1))
    for d in report["divergences"] + [report["first_divergence"]]:
        d["explanation"], d["confidence"] = draw(st.text()), draw(number)
    for rec in report["recommendations"]:
        rec["message"], rec["rationale"] = draw(st.text()), draw(st.text())
    for score in (s for pair in report["drill_down"] for s in pair["axis_scores"]):
        score["baseline_value"] = draw(number)
        score["normalized_delta"] = draw(st.one_of(st.none(), st.floats(0, 4)))
    report["baseline_trace_id"] = draw(st.text())
    return report


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(reports())
def test_renderers_take_any_report(report):
    text = render_text(report, color=True)
    assert not re.search(r"[\x00-\x08\x0b-\x1a\x1c-\x1f\x7f]", text)
    assert safe(report["divergences"][0]["explanation"]) in text
    page = render_html(report)
    assert html.escape(report["baseline_trace_id"]) in page and "<script" not in page
    assert html.escape(report["recommendations"][0]["message"]) in page
    assert not re.search(r'(?:cx|x|width)="[^"]*(?:nan|inf)', page)
