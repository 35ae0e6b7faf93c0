"""What a suite adds up to: per axis, how many tasks regressed, improved or
stayed, the median of the per-task deltas with a seeded paired bootstrap
95% interval over tasks; the tasks ranked by how much they regressed; the
failed and unmatched tasks; and the suite's verdict.

Only a compact record of each task is kept (its line in the results file
holds the rest, reasons included), so memory grows by a few hundred bytes
a task, the plan's paths included."""

from __future__ import annotations

import random
import statistics
from array import array
from collections import Counter
from dataclasses import asdict, dataclass, field
from typing import Any, NamedTuple, Sequence

from korvane.render.formats import axis_label, summary_numbers
from korvane.suite.discovery import Plan, Unmatched, task_key
from korvane.suite.runner import ResultsFile, read_summary
from korvane.suite.task import Settings, TaskStatus, TaskSummary
from korvane.verdict import AXES, EXIT_STATUS, WORSE_SIGN, Status

# Resamples of the suite-level bootstrap, as for each diff's rows.
BOOTSTRAP_RESAMPLES = 1000
# Interval bounds closer to 0 than this count as 0.
EPSILON = 1e-9

_LETTERS = {"regressed": "r", "improved": "i", "unchanged": "u", "not measurable": "n"}


class TaskRecord(NamedTuple):
    """What the suite keeps of one task. `changes` holds one letter per
    axis of verdict.AXES (r, i, u, n: regressed, improved, unchanged, not
    measurable); `offset` is where its line starts in the results file."""

    task: str
    status: TaskStatus
    weight: float
    changes: str
    seconds: float
    offset: int


@dataclass(frozen=True)
class AxisSummary:
    """One axis over the suite. `median`, `low` and `high` are None when no
    task measured the axis; `worse` is true when the whole interval lies on
    the axis's worse side."""

    axis: str
    regressed: int
    improved: int
    unchanged: int
    not_measurable: int
    median: float | None
    low: float | None
    high: float | None
    gated: bool
    worse: bool

    @property
    def better(self) -> bool:
        """True when the whole interval lies on the axis's better side."""
        if self.low is None or self.high is None:
            return False
        sign = WORSE_SIGN[self.axis]
        return max(self.low * sign, self.high * sign) < -EPSILON


def resample_median(ordered: Sequence[float], rng: random.Random) -> float:
    """The median of one bootstrap resample of `ordered` (sorted ascending).

    Resampling n values means drawing n uniform numbers U in [0, 1) and
    taking ordered[floor(n·U)]; the k-th smallest value of the resample is
    then ordered[floor(n·U(k))], where U(k), the k-th smallest of the n
    draws, follows Beta(k, n − k + 1). It is drawn directly, in constant
    time instead of n draws and a sort; the next order statistic is the
    least of the n − k draws above U(k)."""
    n = len(ordered)
    k = (n + 1) // 2
    u = rng.betavariate(k, n - k + 1)
    lower = ordered[min(int(u * n), n - 1)]
    if n % 2:
        return lower
    above = u + (1.0 - u) * (1.0 - rng.random() ** (1.0 / (n - k)))
    return (lower + ordered[min(int(above * n), n - 1)]) / 2


def percentile(ordered: Sequence[float], q: float) -> float:
    """Linear interpolation between the two nearest ranks, as the diff's
    intervals are taken."""
    pos = (len(ordered) - 1) * q
    lo = int(pos)
    hi = min(lo + 1, len(ordered) - 1)
    if lo == pos:
        return ordered[lo]
    f = pos - lo
    return (1 - f) * ordered[lo] + f * ordered[hi]


def median_interval(deltas: Sequence[float], seed: int | None) -> tuple[float, float, float]:
    """The median of the deltas and its paired bootstrap 95% interval over
    tasks (each task's delta is a paired difference, so resampling tasks
    resamples the pairs)."""
    ordered = sorted(deltas)
    rng = random.Random(seed)
    stats = sorted(resample_median(ordered, rng) for _ in range(BOOTSTRAP_RESAMPLES))
    return statistics.median(ordered), percentile(stats, 0.025), percentile(stats, 0.975)


@dataclass
class SuiteResult:
    """A finished (or resumed and finished) suite. The records are in task
    order; each task's whole summary is one line of `results_path`."""

    status: Status
    reasons: tuple[str, ...]
    axes: tuple[AxisSummary, ...]
    tasks: tuple[TaskRecord, ...]
    unmatched: tuple[Unmatched, ...]
    settings: Settings
    max_failing_tasks: int
    results_path: str
    pricing: dict[str, Any] = field(default_factory=dict)
    # The results file when it is a temporary one, kept alive (and removed
    # by close()) with this result.
    spool: ResultsFile | None = field(default=None, repr=False)

    def close(self) -> None:
        """Removes the results file if it is a temporary one."""
        if self.spool is not None:
            self.spool.remove()

    @property
    def exit_status(self) -> int:
        return EXIT_STATUS[self.status]

    def counts(self) -> Counter[str]:
        """How many tasks ended with each status (0 for a status none has)."""
        return Counter(t.status for t in self.tasks)

    def ranked(self) -> list[TaskRecord]:
        """The tasks that ran, most regressed first."""
        ran = [t for t in self.tasks if t.status in ("pass", "regression")]
        return sorted(ran, key=lambda t: (t.status != "regression", -t.weight, task_key(t.task)))

    def failed(self) -> list[TaskRecord]:
        """The tasks that could not be judged: errors and nothing to compare."""
        return [t for t in self.tasks if t.status in ("error", "nothing to compare")]

    def missing(self) -> list[Unmatched]:
        """Baseline tasks the candidate has no trace for: they fail."""
        return [u for u in self.unmatched if u.side == "baseline"]

    def task_reasons(self, record: TaskRecord) -> list[str]:
        """Why the task regressed or failed (its error), from its line."""
        summary = self.summary(record)
        return summary.get("reasons") or ([summary["error"]] if "error" in summary else [])

    def summary(self, record: TaskRecord) -> TaskSummary:
        """The task's whole summary, read back from the results file."""
        return read_summary(self.results_path, record.offset)

    def to_json(self) -> dict[str, Any]:
        """Everything but the per-task summaries, as JSON values."""
        counts = self.counts()
        return {
            "status": self.status,
            "exit_status": self.exit_status,
            "reasons": list(self.reasons),
            "rule": {"fail_on": sorted(self.settings.rule.fail_on),
                     "fail_severity": self.settings.rule.fail_severity,
                     "max_failing_tasks": self.max_failing_tasks},
            "seed": self.settings.seed,
            "counts": {"tasks": len(self.tasks),
                       **{status: counts[status]
                          for status in ("pass", "regression", "nothing to compare", "error")},
                       "unmatched": len(self.unmatched)},
            "axes": [asdict(a) for a in self.axes],
            "ranked": [{"task": t.task, "status": t.status, "weight": t.weight,
                        "reasons": self.task_reasons(t)} for t in self.ranked()],
            "failed": [{"task": t.task, "status": t.status, "reasons": self.task_reasons(t)}
                       for t in self.failed()],
            "unmatched": [asdict(u) for u in self.unmatched],
            "pricing": self.pricing,
            "results": None if self.spool is not None else self.results_path,
        }


class Aggregator:
    """Adds up task summaries as they arrive, in any order."""

    def __init__(self, plan: Plan, settings: Settings, max_failing_tasks: int = 0) -> None:
        self.plan = plan
        self.settings = settings
        self.max_failing_tasks = max_failing_tasks
        self.records: list[TaskRecord] = []
        self._deltas = {axis: array("d") for axis in AXES}
        self._pricing: dict[str, dict[str, Any]] = {"priced": {}, "unpriced": {}}

    def add(self, summary: TaskSummary, offset: int) -> TaskRecord:
        rows = {row["axis"]: row for row in summary.get("rows", ())}
        letters = "".join(_LETTERS[rows[a]["change"]] if a in rows else "n" for a in AXES)
        if summary["status"] in ("pass", "regression"):
            for axis, letter in zip(AXES, letters):
                delta = rows[axis]["delta"] if axis in rows else None
                if letter != "n" and delta is not None:
                    self._deltas[axis].append(delta)
        record = TaskRecord(summary["task"], summary["status"], summary.get("weight", 0.0),
                            letters, summary.get("seconds", 0.0), offset)
        self.records.append(record)
        pricing = summary.get("pricing")
        if pricing:
            self._pricing["priced"].update(pricing["priced"])
            self._pricing["unpriced"].update(dict.fromkeys(pricing["unpriced"], None))
        return record

    def _axis(self, index: int, axis: str) -> AxisSummary:
        ran = [r.changes[index] for r in self.records if r.status in ("pass", "regression")]
        gated = axis in self.settings.rule.fail_on
        median = low = high = None
        worse = False
        if self._deltas[axis]:
            median, low, high = median_interval(self._deltas[axis], self.settings.seed)
            sign = WORSE_SIGN[axis]
            worse = min(low * sign, high * sign) > EPSILON
        return AxisSummary(axis, ran.count("r"), ran.count("i"), ran.count("u"), ran.count("n"),
                           median, low, high, gated, worse)

    def result(self, results: ResultsFile) -> SuiteResult:
        self.records.sort(key=lambda r: task_key(r.task))
        axes = tuple(self._axis(i, axis) for i, axis in enumerate(AXES))
        counts = Counter(r.status for r in self.records)
        missing = sum(1 for u in self.plan.unmatched if u.side == "baseline")
        failing = len(self.records) - counts["pass"] + missing
        reasons = []
        if failing > self.max_failing_tasks:
            parts = [f"{n} {what}" for n, what in [
                (counts["regression"], "regressed"),
                (counts["nothing to compare"], "had nothing to compare"),
                (counts["error"], "could not be diffed"),
                (missing, "have no candidate trace")] if n]
            allowed = (f" (--max-failing-tasks allows {self.max_failing_tasks})"
                       if self.max_failing_tasks else "")
            reasons.append(f"{failing} task{'s' if failing != 1 else ''} failed: "
                           f"{', '.join(parts)}{allowed}")
        for a in axes:
            if a.gated and a.worse:
                reasons.append(f"{axis_label(a.axis)}: the interval {summary_numbers(a)[1]} "
                               f"of the median per-task delta lies wholly on the worse side")
        pricing = {"priced": dict(sorted(self._pricing["priced"].items())),
                   "unpriced": sorted(set(self._pricing["unpriced"])
                                      - set(self._pricing["priced"]))}
        status: Status = "regression" if reasons else "pass"
        if not self.records and not missing:
            status = "nothing to compare"
            reasons.append("no task has both a baseline and a candidate trace")
        return SuiteResult(status, tuple(reasons), axes,
                           tuple(self.records), self.plan.unmatched, self.settings,
                           self.max_failing_tasks, results.path,
                           pricing if self.settings.pricing is not None
                           or self.settings.auto_pricing else {},
                           results if results.temporary else None)
