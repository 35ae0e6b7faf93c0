"""The local engine: worker processes on this machine, or the calling
process itself for one job.

Each worker is a fresh interpreter (the spawn start method: nothing of the
caller's state, threads or locks is inherited) connected by its own pipe.
It holds one chunk of tasks at a time; the next chunk is sent as soon as a
result comes back, before the result is handed on, so workers never wait
for the caller. Workers ignore SIGINT: the caller decides, and close()
ends them with SIGTERM (SIGKILL after a grace period), which stops even a
diff in the middle of native code. A worker that dies (killed for memory,
or a crash) costs only its chunk: the chunk's tasks are retried one by
one in a new worker, and a task that kills a worker alone is reported as
an error."""

from __future__ import annotations

import multiprocessing
import signal
import time
from collections import deque
from multiprocessing.connection import Connection, wait
from typing import Any, Callable, Iterator, Sequence, TypeVar

from korvane.suite.task import Job, Settings, TaskSummary, failed, run_chunk

# Seconds a worker gets to exit after SIGTERM before it is killed.
TERMINATE_GRACE = 1.0
# Tasks per chunk at most: a round trip through a pipe is cheap, and small
# chunks keep results and progress flowing and lose little to an interrupt.
MAX_CHUNK = 16

T = TypeVar("T")


def _serve(conn: Connection) -> None:
    """A worker's loop: settings first, then chunks, until the pipe closes."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    settings = Settings()
    conn.send("ready")  # the imports are done
    while True:
        try:
            message = conn.recv()
        except (EOFError, OSError):
            return
        if isinstance(message, Settings):
            settings = message
        else:
            conn.send(run_chunk(message, settings))


def _quietly(start: Callable[[], T]) -> T:
    """Calls start with SIGINT ignored, so that processes started meanwhile
    inherit that (a new interpreter keeps an ignored SIGINT ignored) and a
    Ctrl-C while they import cannot kill them with a traceback."""
    try:
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:  # not the main thread: signals are not ours to set
        return start()
    try:
        return start()
    finally:
        signal.signal(signal.SIGINT, previous)


class _Worker:
    def __init__(self, context: Any) -> None:
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_serve, args=(child,), daemon=True,
                                       name="korvane-worker")
        self.process.start()
        child.close()
        self.chunk: Sequence[Job] | None = None

    def ready(self) -> None:
        """Waits until the worker has started and imported korvane."""
        try:
            self.conn.recv()
        except (EOFError, OSError):
            raise RuntimeError(f"a worker process failed to start (exit status "
                               f"{self.process.exitcode})") from None


class ProcessEngine:
    """Runs chunks of tasks on `workers` processes (none for one worker:
    the chunks then run in the calling process, one after another)."""

    name = "process"
    max_chunk = MAX_CHUNK
    stop_seconds = 0.0

    def __init__(self, workers: int) -> None:
        self.workers = max(1, workers)
        self.slots = self.workers
        start = time.monotonic()
        self._context = multiprocessing.get_context("spawn")
        self._pool = [] if self.workers == 1 else _quietly(
            lambda: [_Worker(self._context) for _ in range(self.workers)])
        try:
            for worker in self._pool:
                worker.ready()
        except BaseException:
            self.close()
            raise
        self.start_seconds = time.monotonic() - start

    def map(self, chunks: Iterator[Sequence[Job]], settings: Settings) -> Iterator[list[TaskSummary]]:
        """The summaries of each chunk, in the order chunks finish."""
        if not self._pool:
            for chunk in chunks:
                yield run_chunk(chunk, settings)
            return
        for worker in self._pool:
            try:
                worker.conn.send(settings)
            except OSError:
                pass  # the worker died: its sentinel says so below
        retries: deque[Sequence[Job]] = deque()

        def feed(worker: _Worker) -> None:
            worker.chunk = retries.popleft() if retries else next(chunks, None)
            if worker.chunk is not None:
                try:
                    worker.conn.send(worker.chunk)
                except OSError:
                    pass  # the worker died: its sentinel says so next

        for worker in self._pool:
            feed(worker)
        while any(w.chunk is not None for w in self._pool):
            busy = [i for i, w in enumerate(self._pool) if w.chunk is not None]
            ready = set(wait([self._pool[i].conn for i in busy]
                             + [self._pool[i].process.sentinel for i in busy]))
            for i in busy:
                worker = self._pool[i]
                if worker.conn in ready:
                    try:
                        summaries = worker.conn.recv()
                    except (EOFError, OSError):
                        summaries = None  # the worker died before it answered
                    if summaries is not None:
                        feed(worker)
                        yield summaries
                        continue
                elif worker.process.sentinel not in ready:
                    continue
                lost = worker.chunk or ()
                exitcode = self._replace(i, settings)
                if len(lost) > 1:
                    retries.extend([job] for job in lost)
                elif lost:
                    yield [self._died(lost[0], settings, exitcode)]
                feed(self._pool[i])

    def _replace(self, index: int, settings: Settings) -> int | None:
        """Starts a new worker in place of a dead one; the dead one's exit
        code."""
        dead = self._pool[index]
        dead.conn.close()
        dead.process.join(TERMINATE_GRACE)
        if dead.process.is_alive():
            dead.process.kill()
            dead.process.join()
        fresh = _quietly(lambda: _Worker(self._context))
        fresh.ready()
        fresh.conn.send(settings)
        self._pool[index] = fresh
        exitcode: int | None = dead.process.exitcode
        return exitcode

    @staticmethod
    def _died(job: Job, settings: Settings, exitcode: int | None) -> TaskSummary:
        how = (f"signal {-exitcode}" if exitcode is not None and exitcode < 0
               else f"exit status {exitcode}")
        return failed(job.task, settings, f"the worker process running this task died ({how})")

    def close(self) -> None:
        """Ends every worker now; their unfinished chunks are abandoned."""
        start = time.monotonic()
        for worker in self._pool:
            worker.conn.close()
            if worker.process.is_alive():
                worker.process.terminate()
        deadline = time.monotonic() + TERMINATE_GRACE
        for worker in self._pool:
            worker.process.join(max(0.0, deadline - time.monotonic()))
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join()
        self._pool = []
        self.stop_seconds = time.monotonic() - start
