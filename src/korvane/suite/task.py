"""The work of one task, the same on every engine: read both traces (or
take the bytes shipped with the job), parse, diff, judge, and reduce the
report to a summary small enough to send back and write as one JSON line.
A task never raises for bad input: its summary says "error" and why."""

from __future__ import annotations

import hashlib
import json
import time
from dataclasses import dataclass, field
from functools import cached_property
from typing import TYPE_CHECKING, Any, Literal, Mapping, Sequence, TypedDict

import korvane
from korvane import prices
from korvane.errors import InputError
from korvane.inputs import parse_trace, read_trace_bytes
from korvane.suite.discovery import Task
from korvane.verdict import Change, Rule, Verdict, count_responses, judge

if TYPE_CHECKING:
    from korvane._core import AxisRow, DiffReport, Divergence

TaskStatus = Literal["pass", "regression", "nothing to compare", "error"]


class SummaryRow(TypedDict):
    """An axis row of the report with the verdict's class of it."""

    axis: str
    baseline_median: float | None
    candidate_median: float | None
    delta: float | None
    ci95_low: float | None
    ci95_high: float | None
    severity: str
    n: int
    flags: list[str]
    change: Change


class TaskSummary(TypedDict, total=False):
    """One line of the results file. Always present: task, baseline,
    candidate, status, seconds and settings; an "error" task adds error,
    any other adds the rest."""

    task: str
    baseline: str
    candidate: str
    status: TaskStatus
    error: str
    responses: list[int]
    pair_count: int
    rows: list[SummaryRow]
    first_divergence: Divergence | None
    reasons: list[str]
    improvements: list[str]
    notes: list[str]
    weight: float
    pricing: dict[str, Any]
    seconds: float
    settings: str


@dataclass(frozen=True)
class Settings:
    """What every task of a suite shares: the seed of each diff, the
    verdict's rule and the prices (a table from files, genai-prices when
    auto_pricing)."""

    seed: int | None = None
    rule: Rule = field(default_factory=Rule)
    pricing: Mapping[str, Any] | None = None
    pricing_name: str = "pricing file"
    auto_pricing: bool = False

    @cached_property
    def fingerprint(self) -> str:
        """Names these settings in the results file: a rerun with other
        settings redoes the tasks instead of mixing results."""
        text = json.dumps([self.seed, sorted(self.rule.fail_on), self.rule.fail_severity,
                           self.pricing, self.auto_pricing], sort_keys=True)
        return hashlib.sha256(text.encode()).hexdigest()[:16]


@dataclass(frozen=True)
class Job:
    """A task as sent to a worker: the pair's paths, and with --ship the
    bytes of both traces (or the reason they could not be read)."""

    task: Task
    data: tuple[bytes, bytes] | None = None
    read_error: str | None = None


def _read_pair(task: Task) -> tuple[bytes, bytes]:
    return read_trace_bytes(task.baseline), read_trace_bytes(task.candidate)


def ship(task: Task) -> Job:
    """The job with both traces read here, for workers that cannot reach the
    paths."""
    try:
        return Job(task, _read_pair(task))
    except InputError as error:
        return Job(task, read_error=str(error))


def _summary_row(row: AxisRow, change: Change) -> SummaryRow:
    return {"axis": row["axis"], "baseline_median": row["baseline_median"],
            "candidate_median": row["candidate_median"], "delta": row["delta"],
            "ci95_low": row["ci95_low"], "ci95_high": row["ci95_high"],
            "severity": row["severity"], "n": row["n"], "flags": list(row["flags"]),
            "change": change}


def _diff(job: Job, settings: Settings, summary: TaskSummary) -> None:
    task = job.task
    if job.read_error is not None:
        raise InputError(job.read_error)
    data = job.data if job.data is not None else _read_pair(task)
    baseline = parse_trace(data[0], task.baseline)
    candidate = parse_trace(data[1], task.candidate)
    pricing = prices.for_traces(baseline, candidate, settings.pricing, settings.pricing_name,
                                settings.auto_pricing)
    report = korvane.compute_diff_report(baseline, candidate,
                                         pricing.table if pricing else None, settings.seed)
    responses = (count_responses(baseline), count_responses(candidate))
    summarise(summary, report, responses, judge(report, *responses, settings.rule), pricing)


def summarise(summary: TaskSummary, report: DiffReport, responses: tuple[int, int],
              verdict: Verdict, pricing: prices.Pricing | None) -> None:
    """Fills the summary of a task from its report and verdict."""
    summary.update({
        "status": verdict.status,
        "responses": list(responses),
        "pair_count": report["pair_count"],
        "rows": [_summary_row(r, c) for r, c in zip(report["rows"], verdict.changes)],
        "first_divergence": report["first_divergence"],
        "reasons": list(verdict.reasons),
        "improvements": list(verdict.improvements),
        "notes": list(verdict.notes),
        "weight": verdict.weight,
    })
    if pricing is not None:
        summary["pricing"] = pricing.describe()


def failed(task: Task, settings: Settings, error: str, seconds: float = 0.0) -> TaskSummary:
    """The summary of a task that could not be diffed."""
    return {"task": task.task, "baseline": task.baseline, "candidate": task.candidate,
            "status": "error", "error": error, "seconds": round(seconds, 6),
            "settings": settings.fingerprint}


def run_task(job: Job, settings: Settings) -> TaskSummary:
    """The summary of one task; bad input gives status "error"."""
    start = time.perf_counter()
    task = job.task
    summary: TaskSummary = {"task": task.task, "baseline": task.baseline,
                            "candidate": task.candidate}
    try:
        _diff(job, settings, summary)
    except InputError as error:
        return failed(task, settings, str(error), time.perf_counter() - start)
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as error:
        # A fault of korvane or of the machine (the module's internal
        # failure derives from BaseException): this task fails, the suite
        # goes on.
        return failed(task, settings, f"internal error: {type(error).__name__}: {error}",
                      time.perf_counter() - start)
    summary["seconds"] = round(time.perf_counter() - start, 6)
    summary["settings"] = settings.fingerprint
    return summary


def run_chunk(jobs: Sequence[Job], settings: Settings) -> list[TaskSummary]:
    """The summaries of several tasks, in job order: the unit of work that
    engines send to a worker, so that small tasks share one round trip."""
    return [run_task(job, settings) for job in jobs]
