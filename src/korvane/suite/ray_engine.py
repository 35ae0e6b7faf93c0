"""The Ray engine (`--engine ray`, the korvane[ray] extra): the per-task
function as Ray tasks, one chunk of tasks each, on the cluster at the given
address (RAY_ADDRESS when none is given), or on a Ray instance started
here and shut down at the end. The workers need korvane installed and
either the trace paths (a shared file system) or the shipped bytes."""

from __future__ import annotations

import logging
import os
import time
from typing import Any, Iterator, Sequence

from korvane._extras import require
from korvane.suite.runner import CLUSTER_MAX_CHUNK, IN_FLIGHT_PER_SLOT
from korvane.suite.task import Job, Settings, TaskSummary, run_chunk


class RayEngine:
    name = "ray"
    max_chunk = CLUSTER_MAX_CHUNK
    stop_seconds = 0.0

    def __init__(self, address: str | None, workers: int) -> None:
        start = time.monotonic()
        self._ray: Any = require("ray", "ray", "--engine ray")
        self._owned = not self._ray.is_initialized()
        if self._owned:
            options: dict[str, Any] = {"address": address, "logging_level": logging.WARNING,
                                       "log_to_driver": False}
            if address is None and not os.environ.get("RAY_ADDRESS"):
                # A local instance: as many CPUs as local workers, no dashboard.
                options.update(num_cpus=workers, include_dashboard=False)
            self._ray.init(**options)
        self.slots = max(1, int(self._ray.cluster_resources().get("CPU", 1)))
        self._remote = self._ray.remote(num_cpus=1)(run_chunk)
        self._pending: list[Any] = []
        self.start_seconds = time.monotonic() - start

    def map(self, chunks: Iterator[Sequence[Job]],
            settings: Settings) -> Iterator[list[TaskSummary]]:
        shared = self._ray.put(settings)

        def submit() -> None:
            chunk = next(chunks, None)
            if chunk is not None:
                self._pending.append(self._remote.remote(list(chunk), shared))

        for _ in range(self.slots * IN_FLIGHT_PER_SLOT):
            submit()
        while self._pending:
            done, self._pending = self._ray.wait(self._pending, num_returns=1)
            submit()
            summaries: list[TaskSummary] = self._ray.get(done[0])
            yield summaries

    def close(self) -> None:
        start = time.monotonic()
        for ref in self._pending:
            self._ray.cancel(ref, force=True)
        self._pending = []
        if self._owned:
            self._ray.shutdown()
        self.stop_seconds = time.monotonic() - start
