"""The Dask engine (`--engine dask`, the korvane[dask] extra): the per-task
function as Dask futures, one chunk of tasks each, on the scheduler at the
given address, or on a LocalCluster of single-threaded worker processes
started here (a diff holds the interpreter lock, so threads would not run
in parallel) and closed at the end. The workers need korvane installed and
either the trace paths (a shared file system) or the shipped bytes."""

from __future__ import annotations

import logging
import time
from typing import Any, Iterator, Sequence

from korvane._extras import require
from korvane.suite.runner import CLUSTER_MAX_CHUNK, IN_FLIGHT_PER_SLOT
from korvane.suite.task import Job, Settings, TaskSummary, run_chunk


class DaskEngine:
    name = "dask"
    max_chunk = CLUSTER_MAX_CHUNK
    stop_seconds = 0.0

    def __init__(self, address: str | None, workers: int) -> None:
        start = time.monotonic()
        distributed: Any = require("distributed", "dask", "--engine dask")
        self._distributed = distributed
        self._cluster: Any = None
        if address is None:
            self._cluster = distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True,
                dashboard_address=None, silence_logs=logging.ERROR)
            self._client: Any = distributed.Client(self._cluster)
        else:
            self._client = distributed.Client(address)
        self.slots = max(1, sum(self._client.nthreads().values()))
        self._pending: list[Any] = []
        self.start_seconds = time.monotonic() - start

    def map(self, chunks: Iterator[Sequence[Job]],
            settings: Settings) -> Iterator[list[TaskSummary]]:
        shared = self._client.scatter(settings, broadcast=True)
        finished = self._distributed.as_completed()

        def submit() -> None:
            chunk = next(chunks, None)
            if chunk is not None:
                future = self._client.submit(run_chunk, list(chunk), shared, pure=False)
                self._pending.append(future)
                finished.add(future)

        for _ in range(self.slots * IN_FLIGHT_PER_SLOT):
            submit()
        for future in finished:
            self._pending.remove(future)
            submit()
            summaries: list[TaskSummary] = future.result()
            yield summaries

    def close(self) -> None:
        start = time.monotonic()
        if self._pending:
            self._client.cancel(self._pending, force=True)
        self._pending = []
        self._client.close()
        if self._cluster is not None:
            self._cluster.close()
        self.stop_seconds = time.monotonic() - start
