"""Suites: diff many task pairs, a baseline and a candidate trace of each
benchmark task, on every core or on a cluster, and add the diffs up.

    result = korvane.suite.run("baseline/", "candidate/", seed=1, jobs=4)
    result.status, result.axes, result.ranked()[:10]

    for summary in korvane.suite.stream("pairs.jsonl", seed=1):
        ...  # one dict per task, as each finishes

Each side is a directory of .agentlog traces (searched recursively) or a
manifest; one manifest can also name both sides (korvane.suite.discovery).
The per-task work runs in worker processes ("process", the default), on
Ray ("ray", the korvane[ray] extra) or on Dask ("dask", korvane[dask]);
every engine runs the same function and gives the same results. Scripts
that use the process engine must guard their entry point with
`if __name__ == "__main__":`, as for any use of multiprocessing."""

from __future__ import annotations

import sys
from contextlib import closing
from typing import Any, Callable, Iterator, Mapping

from korvane import prices
from korvane.progress import Progress
from korvane.suite.aggregate import AxisSummary, SuiteResult, TaskRecord, Aggregator
from korvane.suite.discovery import Plan, Task, Unmatched, discover
from korvane.suite.runner import ENGINES, Engine, ResultsFile, execute
from korvane.suite.task import Settings, TaskSummary
from korvane.verdict import Rule

__all__ = ["run", "stream", "discover", "Plan", "Task", "Unmatched", "Settings", "Rule",
           "SuiteResult", "AxisSummary", "TaskRecord", "TaskSummary", "Interrupted", "ENGINES",
           "Engine"]


class Interrupted(KeyboardInterrupt):
    """Ctrl-C (or SIGTERM in the command line) stopped the suite after
    `done` of `total` tasks; the finished ones are in `results`."""

    def __init__(self, done: int, total: int, results: str | None) -> None:
        super().__init__(f"interrupted after {done} of {total} tasks")
        self.done, self.total, self.results = done, total, results


def _prepare(baseline: str | Plan, candidate: str | None, seed: int | None,
             pricing: Mapping[str, Any] | None, pricing_name: str, auto_pricing: bool,
             rule: Rule | None, out: str | None, resume: bool
             ) -> tuple[Plan, Settings, ResultsFile]:
    if auto_pricing:
        prices.auto_source()  # a missing korvane[prices] extra fails here, not in every task
    plan = baseline if isinstance(baseline, Plan) else discover(baseline, candidate)
    settings = Settings(seed, rule or Rule(), pricing, pricing_name, auto_pricing)
    return plan, settings, ResultsFile(out, resume, plan, settings.fingerprint)


def stream(baseline: str | Plan, candidate: str | None = None, *, seed: int | None = None,
           pricing: Mapping[str, Any] | None = None, pricing_name: str = "pricing file",
           auto_pricing: bool = False, rule: Rule | None = None, jobs: int | None = None,
           engine: str = "process", address: str | None = None, ship: bool = False,
           out: str | None = None, resume: bool = False) -> Iterator[TaskSummary]:
    """Each task's summary as it finishes (with resume, first those an
    earlier run finished). Arguments as for run()."""
    plan, settings, results = _prepare(baseline, candidate, seed, pricing, pricing_name,
                                       auto_pricing, rule, out, resume)
    try:
        with closing(execute(plan, settings, results, jobs=jobs, engine=engine,
                             address=address, ship_traces=ship)) as items:
            for summary, _ in items:
                yield summary
    finally:
        results.close()


def run(baseline: str | Plan, candidate: str | None = None, *, seed: int | None = None,
        pricing: Mapping[str, Any] | None = None, pricing_name: str = "pricing file",
        auto_pricing: bool = False, rule: Rule | None = None, jobs: int | None = None,
        engine: str = "process", address: str | None = None, ship: bool = False,
        out: str | None = None, resume: bool = False, max_failing_tasks: int = 0,
        progress: bool = False,
        on_start: Callable[[Engine], None] | None = None) -> SuiteResult:
    """Diffs every task pair and adds the results up.

    baseline, candidate: the two sides (directories or manifests), or one
        manifest naming both, or a Plan from discover().
    seed: the seed of every task's diff and of the suite's own bootstrap.
    pricing: a price table (as compute_diff_report takes it) for every
        task, named pricing_name in the report; auto_pricing adds
        genai-prices entries for the models each task names (the table's
        entries win).
    rule: the verdict's rule (korvane.verdict.Rule).
    jobs, engine, address, ship: where the work runs: `jobs` local workers
        (the CPU count by default) of the "process" engine, or a Ray or
        Dask cluster at `address` (started here when None); `ship` sends the
        traces' bytes instead of their paths.
    out, resume: the results file (JSON Lines, one summary per task,
        written as tasks finish); with resume, tasks it already holds are
        not redone.
    max_failing_tasks: failing tasks the suite tolerates.
    progress: show progress on standard error; on_start hears the engine
        once it has started.

    Ctrl-C stops every worker and raises Interrupted (a KeyboardInterrupt)
    once the finished results are written."""
    plan, settings, results = _prepare(baseline, candidate, seed, pricing, pricing_name,
                                       auto_pricing, rule, out, resume)
    aggregator = Aggregator(plan, settings, max_failing_tasks)
    try:
        with Progress(len(plan.tasks), "tasks", sys.stderr, enabled=progress) as bar, \
                closing(execute(plan, settings, results, jobs=jobs, engine=engine,
                                address=address, ship_traces=ship, progress=bar,
                                on_start=on_start)) as items:
            for summary, offset in items:
                aggregator.add(summary, offset)
    except KeyboardInterrupt:
        results.close()
        raise Interrupted(len(aggregator.records), len(plan.tasks),
                          None if results.temporary else results.path) from None
    except BaseException:
        results.close()
        raise
    results.close()
    return aggregator.result(results)
