"""Running a suite: the results file, resuming, chunking the tasks for an
engine, progress, and stopping cleanly.

Every finished task is appended to the results file as one JSON line and
flushed at once, so an interrupted or killed run keeps what it finished.
With resume, the lines of an earlier run whose task is in the plan, that
did not fail to run, and that were made with the same settings are kept
and their tasks skipped; everything else is dropped and redone (a cut-off
last line too). Without a results file the lines go to a temporary file,
removed when the SuiteResult that reads it is closed."""

from __future__ import annotations

import json
import os
import tempfile
import weakref
from typing import IO, Callable, Generator, Iterator, Protocol, Sequence

from korvane._files import atomic_output
from korvane.errors import InputError
from korvane.progress import Progress
from korvane.suite.discovery import Plan, Task
from korvane.suite.task import Job, Settings, TaskSummary, ship

ENGINES = ("process", "ray", "dask")
# Chunks per worker slot at least, so that the last ones finish together.
CHUNKS_PER_SLOT = 8
# Chunks a cluster engine keeps submitted per worker slot: enough to keep
# every slot busy while results come back, few enough to bound memory.
IN_FLIGHT_PER_SLOT = 2
# Tasks per chunk at most on a cluster engine: a Ray or Dask task costs
# milliseconds of scheduling, so chunks of a few hundred diffs (about a
# second of work) keep that small.
CLUSTER_MAX_CHUNK = 256


class Engine(Protocol):
    """Runs the per-task function over chunks of jobs. `slots` is how many
    chunks run at once, `max_chunk` the most tasks a chunk should hold (a
    round trip to a worker costs more on a cluster than through a pipe),
    `start_seconds` and `stop_seconds` what starting and closing it took."""

    name: str
    slots: int
    max_chunk: int
    start_seconds: float
    stop_seconds: float

    def map(self, chunks: Iterator[Sequence[Job]],
            settings: Settings) -> Iterator[list[TaskSummary]]: ...

    def close(self) -> None: ...


def open_engine(name: str, jobs: int | None = None, address: str | None = None) -> Engine:
    """The engine by name. `jobs` is the number of local workers (the CPU
    count by default); Ray and Dask take the cluster at `address`, or start
    one here."""
    workers = jobs or os.cpu_count() or 1
    if name == "process":
        from korvane.suite.process_engine import ProcessEngine
        return ProcessEngine(workers)
    if name == "ray":
        from korvane.suite.ray_engine import RayEngine
        return RayEngine(address, workers)
    if name == "dask":
        from korvane.suite.dask_engine import DaskEngine
        return DaskEngine(address, workers)
    raise ValueError(f"unknown engine {name!r}; use one of {', '.join(ENGINES)}")


def chunked(tasks: Sequence[Task], slots: int, max_chunk: int,
            shipped: bool) -> Iterator[list[Job]]:
    """Jobs in chunks of 1 to max_chunk tasks, at least CHUNKS_PER_SLOT per
    slot; with `shipped`, each chunk's traces are read here just before it
    is sent."""
    size = max(1, min(max_chunk, len(tasks) // (slots * CHUNKS_PER_SLOT)))
    for start in range(0, len(tasks), size):
        part = tasks[start:start + size]
        yield [ship(t) for t in part] if shipped else [Job(t) for t in part]


class ResultsFile:
    """The results file of a run, read back by offset."""

    def __init__(self, path: str | None, resume: bool, plan: Plan, fingerprint: str) -> None:
        self.temporary = path is None
        # Removes a temporary file now (and at the latest when this object
        # is collected); does nothing for the user's file.
        self.remove: Callable[[], object] = lambda: None
        if path is None:
            fd, path = tempfile.mkstemp(prefix="korvane-suite-", suffix=".jsonl")
            os.close(fd)
            self.remove = weakref.finalize(self, _remove, path)
        self.path = path
        self.kept: list[int] = []  # offsets of the lines kept from an earlier run
        self.done: set[str] = set()
        try:
            if resume and os.path.exists(path):
                self._keep_finished({t.task for t in plan.tasks}, fingerprint)
            self._handle: IO[bytes] = open(path, "ab" if resume else "wb")
        except OSError as error:
            raise InputError(f"cannot write {path}: {error.strerror or error}") from None

    def _keep_finished(self, planned: set[str], fingerprint: str) -> None:
        """Keeps the useful lines of an earlier run, rewriting the file
        without the others."""
        kept: list[bytes] = []
        dropped = False
        with open(self.path, "rb") as handle:
            for line in handle:
                try:
                    summary = json.loads(line) if line.endswith(b"\n") else None
                except ValueError:
                    summary = None
                if (isinstance(summary, dict) and summary.get("task") in planned
                        and summary.get("settings") == fingerprint
                        and summary.get("status") not in (None, "error")
                        and summary["task"] not in self.done):
                    self.done.add(summary["task"])
                    kept.append(line)
                else:
                    dropped = True
        if dropped:
            with atomic_output(self.path, "wb") as out:
                out.writelines(kept)
        offset = 0
        for line in kept:
            self.kept.append(offset)
            offset += len(line)

    def append(self, summary: TaskSummary) -> int:
        """Writes one summary as a line, flushed; returns its offset."""
        line = json.dumps(summary, ensure_ascii=False, allow_nan=False).encode("utf-8",
                                                                              "backslashreplace")
        try:
            offset = self._handle.tell()
            self._handle.write(line + b"\n")
            self._handle.flush()
        except OSError as error:
            raise InputError(f"cannot write {self.path}: {error.strerror or error}") from None
        return offset

    def read(self, offset: int) -> TaskSummary:
        return read_summary(self.path, offset)

    def close(self) -> None:
        self._handle.close()


def read_summary(path: str, offset: int) -> TaskSummary:
    """The summary whose line starts at offset in a results file."""
    with open(path, "rb") as handle:
        handle.seek(offset)
        summary: TaskSummary = json.loads(handle.readline())
    return summary


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def execute(plan: Plan, settings: Settings, results: ResultsFile, *, jobs: int | None = None,
            engine: str = "process", address: str | None = None, ship_traces: bool = False,
            progress: Progress | None = None,
            on_start: Callable[[Engine], None] | None = None
            ) -> Generator[tuple[TaskSummary, int], None, None]:
    """Every task's summary with the offset of its line: first those kept
    from an earlier run, then the others as they finish. Closing the
    iterator early (or an exception, Ctrl-C included) stops the engine and
    its workers at once."""
    for offset in results.kept:
        yield results.read(offset), offset
        if progress is not None:
            progress.update()
    todo = [t for t in plan.tasks if t.task not in results.done]
    if not todo:
        return
    runner = open_engine(engine, jobs, address)
    try:
        if on_start is not None:
            on_start(runner)
        chunks = chunked(todo, runner.slots, runner.max_chunk, ship_traces)
        for summaries in runner.map(chunks, settings):
            for summary in summaries:
                yield summary, results.append(summary)
                if progress is not None:
                    progress.update()
    finally:
        runner.close()
