"""End-to-end speed and memory of `korvane.suite.run` on a generated suite
(gen_suite.py: pairs of the size of the corpus's real pairs).

    python bench/suite_bench.py [--tasks 10000] [--small 2500] [--runs 3]
                                [--engines process,ray,dask] [--profile 500] [--dir DIR]

Each run is a fresh child process that reads, diffs and adds up every
task and writes the results file (seed 1, the default rule). Rows:
  - process engine, --jobs 1 and --jobs 2: tasks per second over the
    whole run (discovery, start-up, work, aggregation, shutdown);
  - Ray and Dask on a local cluster of 2 workers: the same, with the
    engine's own start-up and shutdown on a line of their own and the run
    without them, against the whole run of --jobs 2;
  - CPU seconds of the run and the workers it reaped (all of its
    processes but Ray's, which outlive it): on a busy machine the wall
    times stretch, this much less;
  - peak memory of the whole run: the proportional set size (PSS, shared
    pages split between the processes that map them) of the child and all
    its descendants, sampled every 50 ms, at --small tasks and at --tasks,
    so that growth with the number of tasks shows.
Figures are medians over --runs runs, the configurations taking turns.
First, where one task's time goes, in CPU time per task over --profile
tasks run one after another in this process: reading both files, parsing,
the diff, the verdict and the summary, pickling the summary in a worker and
unpickling it in the parent, encoding and writing its line, adding it up.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BENCH = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import gen_suite  # noqa: E402


def child(args: argparse.Namespace) -> None:
    """One run, printed as JSON: seconds in all, of start-up, tasks."""
    import korvane.suite

    engines: list[korvane.suite.Engine] = []

    begin = time.perf_counter()
    result = korvane.suite.run(args.suite, args.candidate, seed=1, jobs=args.jobs,
                               engine=args.engine, out=args.out, on_start=engines.append)
    total = time.perf_counter() - begin
    # CPU time of this process and of the workers it started and reaped
    # (Ray's processes outlive the run and are not counted).
    cpu = sum(getattr(resource.getrusage(who), field) for who in (resource.RUSAGE_SELF,
              resource.RUSAGE_CHILDREN) for field in ("ru_utime", "ru_stime"))
    print(json.dumps({"total": total, "start": engines[0].start_seconds,
                      "stop": engines[0].stop_seconds, "cpu": cpu,
                      "tasks": len(result.tasks), "status": result.status}))


def profile(root: pathlib.Path, count: int) -> None:
    """Per-stage CPU time of `count` tasks, each stage timed on its own."""
    import pickle

    import korvane
    from korvane.suite import aggregate, discovery, runner, task
    from korvane.verdict import count_responses, judge

    names = [f"task-{k:05d}.agentlog" for k in range(count)]
    clock = time.process_time
    spent: dict[str, float] = dict.fromkeys(["read", "parse", "diff", "verdict and summary",
                                             "pickle and unpickle", "encode and write the line",
                                             "add up"], 0.0)
    settings = task.Settings(seed=1)
    plan = discovery.Plan((), ())
    results = runner.ResultsFile(None, False, plan, settings.fingerprint)
    adder = aggregate.Aggregator(plan, settings)
    for name in names:
        t0 = clock()
        data = [(root / side / name).read_bytes() for side in ("baseline", "candidate")]
        t1 = clock()
        base, cand = (korvane.parse_agentlog(d) for d in data)
        t2 = clock()
        report = korvane.compute_diff_report(base, cand, None, 1)
        t3 = clock()
        responses = (count_responses(base), count_responses(cand))
        summary: task.TaskSummary = {"task": name, "baseline": "", "candidate": ""}
        task.summarise(summary, report, responses, judge(report, *responses), None)
        t4 = clock()
        summary = pickle.loads(pickle.dumps([summary], pickle.HIGHEST_PROTOCOL))[0]
        t5 = clock()
        offset = results.append(summary)
        t6 = clock()
        adder.add(summary, offset)
        t7 = clock()
        for stage, seconds in zip(spent, [t1 - t0, t2 - t1, t3 - t2, t4 - t3, t5 - t4, t6 - t5,
                                          t7 - t6]):
            spent[stage] += seconds
    results.close()
    results.remove()
    total = sum(spent.values())
    print(f"where a task's time goes ({count} tasks, CPU time per task)")
    for stage, seconds in spent.items():
        print(f"  {stage:<28} {seconds / count * 1e3:>7.3f} ms  {100 * seconds / total:>4.0f}%")
    print(f"  {'in all':<28} {total / count * 1e3:>7.3f} ms")
    print()


def _descendants(root: int) -> list[int]:
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(parent, []).append(int(entry))
    out, todo = [], [root]
    while todo:
        pid = todo.pop()
        out.append(pid)
        todo += children.get(pid, [])
    return out


def _pss(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def measure(command: list[str]) -> tuple[dict, int]:
    """The child's JSON line and the peak PSS of its process tree."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    peak = 0
    done = threading.Event()

    def sample() -> None:
        nonlocal peak
        while not done.is_set():
            peak = max(peak, sum(_pss(pid) for pid in _descendants(process.pid)))
            time.sleep(0.05)

    sampler = threading.Thread(target=sample)
    sampler.start()
    out, _ = process.communicate()
    done.set()
    sampler.join()
    if process.returncode not in (0,):
        raise SystemExit(f"run failed ({process.returncode}): {' '.join(command)}")
    return json.loads(out.strip().splitlines()[-1]), peak


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tasks", type=int, default=10_000)
    parser.add_argument("--small", type=int, default=2_500)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--engines", default="process,ray,dask")
    parser.add_argument("--profile", type=int, default=500, metavar="TASKS")
    parser.add_argument("--dir", type=pathlib.Path,
                        default=pathlib.Path(tempfile.gettempdir()) / "korvane-suite-bench")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--suite", help=argparse.SUPPRESS)
    parser.add_argument("--candidate", help=argparse.SUPPRESS)
    parser.add_argument("--jobs", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--engine", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return

    root = gen_suite.generate(args.dir / f"suite-{args.tasks}", args.tasks, seed=1)
    small = args.dir / f"first-{args.small}.jsonl"
    small.write_text("".join(json.dumps({"task": f"task-{k:05d}",
                                         "baseline": str(root / "baseline" / f"task-{k:05d}.agentlog"),
                                         "candidate": str(root / "candidate" / f"task-{k:05d}.agentlog")}) + "\n"
                             for k in range(args.small)))
    out = str(args.dir / "results.jsonl")
    full = [str(root / "baseline"), str(root / "candidate")]
    configs = [("process", 1, full), ("process", 2, full), ("process", 2, [str(small)])]
    configs += [(engine, 2, full) for engine in args.engines.split(",") if engine != "process"]

    profile(root, args.profile)
    # The configurations take turns, run after run, so that a change in the
    # machine's load falls on all of them alike.
    rows: dict[int, list[tuple[dict, int]]] = {i: [] for i in range(len(configs))}
    for _ in range(args.runs):
        for i, (engine, jobs, suite) in enumerate(configs):
            command = [sys.executable, str(pathlib.Path(__file__)), "--child", "--engine", engine,
                       "--jobs", str(jobs), "--out", out, "--suite", suite[0]]
            rows[i].append(measure(command + (["--candidate", suite[1]] if len(suite) > 1 else [])))

    def median(i: int, key: str) -> float:
        return statistics.median(r[0][key] for r in rows[i])

    print(f"suite of {args.tasks} generated task pairs; medians of {args.runs} runs, taken in turns")
    print(f"{'run':<34} {'seconds':>8} {'tasks/s':>8} {'peak PSS':>10} {'CPU s':>7}")
    for i, (engine, jobs, suite) in enumerate(configs):
        total, tasks = median(i, "total"), rows[i][0][0]["tasks"]
        name = (f"process, --jobs {jobs}" if engine == "process" else f"{engine}, 2 workers")
        name += f", {tasks} tasks" if len(suite) == 1 else ""
        peak = max(r[1] for r in rows[i])
        cpu = "n/a" if engine == "ray" else f"{median(i, 'cpu'):.1f}"
        print(f"{name:<34} {total:>8.2f} {tasks / total:>8.0f} {peak / 2**20:>7.0f} MiB {cpu:>7}")
        if engine != "process":
            work = statistics.median(r[0]["total"] - r[0]["start"] - r[0]["stop"] for r in rows[i])
            print(f"{f'  {engine} start-up, shutdown':<34} {median(i, 'start'):>8.2f} "
                  f"{median(i, 'stop'):>8.2f}")
            print(f"{f'  {engine} without them':<34} {work:>8.2f} {tasks / work:>8.0f}"
                  f"   {work / median(1, 'total'):.2f}x the time of --jobs 2")
    print(f"--jobs 2 against --jobs 1: {median(0, 'total') / median(1, 'total'):.2f}x")


if __name__ == "__main__":
    main()
