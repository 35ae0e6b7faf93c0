"""Suites: pairing by task id, the per-task verdicts and the suite-level
intervals added up, resume, interrupt, a dying worker, and the JUnit and
Markdown outputs."""

import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import time

import pytest
import xmlschema

import korvane.suite
from korvane.errors import InputError
from korvane.render.markdown import render_markdown
from korvane.suite import aggregate, discovery, task
from korvane.suite.process_engine import ProcessEngine
from test_cli import run
from vectors import CORPUS, DATA, PAIRS, meta, response, write

def test_pairing_by_task_id_keeps_unmatched_traces(sides):
    base, cand = sides
    plan = korvane.suite.discover(base, cand)
    assert [(t.task, t.baseline, t.candidate) for t in plan.tasks] == [
        *((p["task_id"], f"{base}/deep/b{k}.agentlog", f"{cand}/c{3 - k}.agentlog") for k, p in enumerate(PAIRS[:4])),
        ("bad.agentlog", f"{base}/bad.agentlog", f"{cand}/bad.agentlog"),
        ("gone", f"{base}/gone.agentlog", f"{cand}/gone.agentlog"),
        ("void", f"{base}/void.agentlog", f"{cand}/void.agentlog")]
    assert [(u.task, u.side) for u in plan.unmatched] == [("lonely.agentlog", "baseline"), ("new.agentlog", "candidate")]


@pytest.mark.parametrize("lines, error", [
    ([{"task": "t", "baseline": "b.agentlog"}, {"task": "t", "candidate": "c.agentlog"}], 'pairs.jsonl:2: task "t" appears twice'),
    ([{"baseline": "b.agentlog"}], 'pairs.jsonl:1: "task" must be a non-empty string'),
    ([{"task": "t", "baseline": 7}], 'pairs.jsonl:1: "baseline" must be a path'),
    (["t"], "pairs.jsonl:1: a manifest line must be a JSON object"),
])
def test_manifest(tmp_path, lines, error):
    manifest = tmp_path / "pairs.jsonl"
    manifest.write_text("\n".join(json.dumps(line) for line in lines) + "\n\n")
    with pytest.raises(InputError, match=error):
        korvane.suite.discover(str(manifest))


def test_one_manifest_names_both_sides_relative_to_itself(tmp_path):
    (tmp_path / "m").mkdir()
    manifest = tmp_path / "m" / "pairs.jsonl"
    manifest.write_text('{"task": 7, "baseline": "x.agentlog", "candidate": "../y.agentlog"}\n'
                        '{"task": "only-b", "baseline": "z.agentlog"}\n')
    plan = korvane.suite.discover(str(manifest))
    assert plan.tasks == (discovery.Task("7", f"{tmp_path}/m/x.agentlog", f"{tmp_path}/m/../y.agentlog"),)
    assert plan.unmatched == (discovery.Unmatched("only-b", "baseline", f"{tmp_path}/m/z.agentlog"),)


def test_two_traces_of_one_task_on_one_side_are_refused(tmp_path):
    for name in ["a", "b"]:
        write(tmp_path / f"{name}.agentlog", [meta("same")])
    with pytest.raises(InputError, match=f'task id "same" is named by two baseline traces, {tmp_path}/a.agentlog and'):
        korvane.suite.discover(str(tmp_path), str(tmp_path))


@pytest.mark.parametrize("values, probabilities", [
    ([1.0, 2.0, 3.0], {1.0: 7 / 27, 2.0: 13 / 27, 3.0: 7 / 27}),  # at least two of three draws decide
    ([0.0, 1.0], {0.0: 1 / 4, 0.5: 1 / 2, 1.0: 1 / 4}),  # even count: the mean of the two middle draws
])
def test_resampled_median_follows_the_bootstrap_distribution(values, probabilities):
    rng = random.Random(5)
    draws = [aggregate.resample_median(values, rng) for _ in range(30000)]
    for value, p in probabilities.items():
        assert draws.count(value) / len(draws) == pytest.approx(p, abs=0.012)


def summary(name, latency, status="pass"):
    rows = [{"axis": "latency", "delta": latency, "change": "regressed" if latency > 100 else "unchanged"}]
    return {"task": name, "status": status, "rows": rows, "weight": 1.0, "reasons": []}


@pytest.mark.parametrize("deltas, extra, allowed, reasons", [
    # A resample's median is the smallest value with probability 0.058 (three of five draws or more), so the
    # 2.5% and 97.5% points are the extremes.
    ([10, 20, 30, 40, 50], [], 0, ["latency: the interval [+10.0, +50.0] of the median per-task delta lies wholly on "
                                   "the worse side"]),
    ([-10, 20, -30, 40, 50], [], 0, []),
    ([-10, -20, -30], [summary("e", 0, "error")], 0, ["1 task failed: 1 could not be diffed"]),
    ([-10, -20, -30], [summary("e", 0, "error"), summary("n", 0, "nothing to compare")], 2, []),
])
def test_suite_fails_on_failing_tasks_or_a_wholly_worse_interval(deltas, extra, allowed, reasons):
    plan = discovery.Plan((), ())
    aggregator = aggregate.Aggregator(plan, task.Settings(seed=3), max_failing_tasks=allowed)
    for k, delta in enumerate(deltas):
        aggregator.add(summary(f"t{k}", delta), 0)
    for item in extra:
        aggregator.add(item, 0)
    result = aggregator.result(type("Spool", (), {"path": "", "temporary": False})())
    latency = next(a for a in result.axes if a.axis == "latency")
    assert latency.median == sorted(deltas)[len(deltas) // 2]
    assert list(result.reasons) == reasons and result.exit_status == (1 if reasons else 0)


def test_suite_report_outputs(sides, tmp_path, capsys):
    out, junit, markdown = (tmp_path / n for n in ["results.jsonl", "suite.xml", "suite.md"])
    for side in sides:  # a task id XML cannot hold as it is
        write(pathlib.Path(side) / "odd.agentlog", [meta("\x1b[31m<&>\x00"), response("same")])
    status, text, _ = run(["suite", *sides, "--seed", 7, "--jobs", 2, "-q", "--out", out, "--json",
                           "--junit", junit, "--markdown", markdown], capsys)
    report = json.loads(text)
    assert status == 1 and report["counts"] == {"tasks": 8, "pass": 1, "regression": 5, "nothing to compare": 1,
                                                "error": 1, "unmatched": 2}
    assert report["failed"] == [
        {"task": "bad.agentlog", "status": "error", "reasons": [
            f"{sides[1]}/bad.agentlog: parse error on line 1: expected ident at line 1 column 2\n"
            "hint: verify the record matches the envelope schema (SPEC §3)"]},
        {"task": "void", "status": "nothing to compare", "reasons": ["neither trace has a response"]}]
    gone = next(t for t in report["ranked"] if t["task"] == "gone")
    assert gone["reasons"][0] == "the candidate has no response where the baseline has 2"
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    assert sorted(t["task"] for t in lines) == sorted(t["task"] for t in report["tasks"]) and len(lines) == 8
    # The same seed gives the same results, whatever the number of workers.
    run(["suite", *sides, "--seed", 7, "--jobs", 1, "-q", "--out", tmp_path / "again.jsonl"], capsys)
    strip = lambda path: sorted(json.dumps({**json.loads(x), "seconds": 0}) for x in path.read_text().splitlines())
    assert strip(out) == strip(tmp_path / "again.jsonl")

    xmlschema.XMLSchema(str(DATA / "junit-10.xsd")).validate(str(junit))
    xml = junit.read_text()
    assert xml.count("<testcase ") == 8 + 2 + 6  # tasks, unmatched, gated axes
    assert '<testsuites name="korvane suite" tests="16" failures=' in xml and 'errors="1" ' in xml
    assert 'name="\\x1b[31m&lt;&amp;&gt;\\x00"' in xml
    assert '<skipped type="missing baseline"' in xml and '<failure type="missing candidate"' in xml
    md = markdown.read_text()
    assert md.startswith("## korvane suite: regression\n") and "| gone | regression |" in md
    assert md.index("Most regressed tasks") < md.index("Failed tasks") < md.index("Unmatched tasks")


def test_markdown_stays_short_and_inert(sides):
    result = korvane.suite.run(*sides, seed=1, jobs=1)
    hostile = "<img src=x onerror=alert(1)> | `tick` [link](http://x) *" + "w" * 5000
    result.tasks = tuple(t._replace(task=f"{hostile}{k}") for k, t in enumerate(result.tasks * 300))
    md = render_markdown(result)
    assert len(md) <= 60_000 and "more, left out to keep this comment short" in md
    assert "<img" not in md and "\\| \\`tick\\` \\[link\\](http://x) \\*" in md
    result.close()
    assert not os.path.exists(result.results_path)


def test_resume_redoes_only_what_is_missing_failed_or_made_otherwise(sides, tmp_path, monkeypatch, capsys):
    out = tmp_path / "results.jsonl"
    run(["suite", *sides, "--seed", 1, "--jobs", 1, "-q", "--out", out], capsys)
    lines = out.read_text().splitlines(keepends=True)
    # Drop the first task, cut the last line short; the error task is redone too.
    out.write_text("".join(lines[1:-1]) + lines[-1][:20])
    done = []
    real = task.run_task
    monkeypatch.setattr(task, "run_task", lambda job, settings: done.append(job.task.task) or real(job, settings))
    assert run(["suite", *sides, "--seed", 1, "--jobs", 1, "-q", "--out", out, "--resume"], capsys)[0] == 1
    first, last = json.loads(lines[0])["task"], json.loads(lines[-1])["task"]
    assert sorted(done) == sorted({first, last, "bad.agentlog"})
    assert sorted(json.loads(x)["task"] for x in out.read_text().splitlines()) == sorted(json.loads(x)["task"] for x in lines)
    done.clear()
    run(["suite", *sides, "--seed", 2, "--jobs", 1, "-q", "--out", out, "--resume"], capsys)
    assert len(done) == 7  # another seed: nothing earlier is kept


def test_a_worker_that_dies_costs_only_its_own_task(sides):
    plan = korvane.suite.discover(*sides)
    engine = ProcessEngine(2)
    try:
        victim = engine._pool[0].process.pid
        chunks = iter([[task.Job(t) for t in plan.tasks[:3]], [task.Job(t) for t in plan.tasks[3:]]])
        os.kill(victim, signal.SIGKILL)
        summaries = [s for chunk in engine.map(chunks, task.Settings(seed=1)) for s in chunk]
    finally:
        engine.close()
    assert sorted(s["task"] for s in summaries) == sorted(t.task for t in plan.tasks)
    assert not any("worker process" in s.get("error", "") for s in summaries)  # its chunk was retried


def test_interrupt_stops_every_worker_keeps_finished_results_and_resume_finishes(tmp_path):
    big = max(PAIRS, key=lambda p: (CORPUS / p["candidate"]).stat().st_size)
    manifest = tmp_path / "pairs.jsonl"
    manifest.write_text("".join(json.dumps({"task": k, "baseline": str(CORPUS / big["baseline"]),
                                            "candidate": str(CORPUS / big["candidate"])}) + "\n" for k in range(400)))
    out = tmp_path / "results.jsonl"
    command = [sys.executable, "-m", "korvane", "suite", str(manifest), "--jobs", "2", "--out", str(out), "--seed", "1"]
    suite = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    while not out.exists() or out.read_text().count("\n") < 2:
        assert suite.poll() is None, suite.communicate()
        time.sleep(0.05)
    workers = [p for p in os.listdir("/proc") if p.isdigit() and _parent(p) == suite.pid
               and b"spawn_main" in pathlib.Path(f"/proc/{p}/cmdline").read_bytes()]
    suite.send_signal(signal.SIGINT)
    _, err = suite.communicate(timeout=60)
    done = out.read_text().count("\n")
    assert suite.returncode == 130 and len(workers) == 2 and 0 < done < 400
    assert f"korvane: interrupted after {done} of 400 tasks; the finished results are in {out}" in err
    assert not any(os.path.exists(f"/proc/{pid}") for pid in workers)  # ended and reaped
    assert all(json.loads(line)["status"] == "regression" for line in out.read_text().splitlines())
    finished = subprocess.run(command + ["--resume", "-q"], capture_output=True, text=True, timeout=600)
    assert finished.returncode == 1 and sorted(json.loads(x)["task"] for x in out.read_text().splitlines()) == sorted(
        map(str, range(400)))


def _parent(pid):
    try:
        return int(pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError):
        return None


def test_a_suite_without_pairs_has_nothing_to_compare(tmp_path, capsys):
    for side in ["b", "c"]:
        (tmp_path / side).mkdir()
    assert run(["suite", tmp_path / "b", tmp_path / "c"], capsys)[1].endswith(
        "verdict: nothing to compare, exit status 2\n  no task has both a baseline and a candidate trace\n")
