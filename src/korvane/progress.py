"""Progress of long work on standard error.

On a terminal the bar is tqdm's when the `korvane[progress]` extra is
installed, else a one-line bar of our own redrawn in place; elsewhere (a CI
log, a file) a plain line is printed at most every LOG_INTERVAL seconds, so
logs stay short. Both show the count done, the rate and the time left."""

from __future__ import annotations

import time
from typing import Any, TextIO

# Seconds between redraws on a terminal and between lines in a log.
TTY_INTERVAL = 0.2
LOG_INTERVAL = 10.0


def _duration(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60:02d}:{rest % 60:02d}"


class Progress:
    """Counts units of work done out of `total` (None when unknown).

    Use as a context manager, or call close(); update() is cheap enough to
    call once per unit."""

    def __init__(self, total: int | None, unit: str, stream: TextIO, enabled: bool = True,
                 description: str = "korvane") -> None:
        self.total = total
        self.unit = unit
        self.stream = stream
        self.description = description
        self.done = 0
        self.enabled = enabled
        self._start = self._last = time.monotonic()
        isatty = getattr(stream, "isatty", None)
        self._tty = bool(isatty and isatty())
        self._bar: Any = None
        if enabled and self._tty:
            try:
                from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
            except ImportError:
                pass
            else:
                self._bar = tqdm(total=total, unit=f" {unit}", file=stream, desc=description,
                                 mininterval=TTY_INTERVAL, dynamic_ncols=True)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def update(self, n: int = 1) -> None:
        self.done += n
        if not self.enabled:
            return
        if self._bar is not None:
            self._bar.update(n)
            return
        now = time.monotonic()
        if now - self._last >= (TTY_INTERVAL if self._tty else LOG_INTERVAL):
            self._last = now
            self._draw(now, final=False)

    def line(self) -> str:
        """The status text: done/total, percentage, rate and time left."""
        elapsed = max(time.monotonic() - self._start, 1e-9)
        rate = self.done / elapsed
        if self.total:
            left = (self.total - self.done) / rate if rate > 0 else float("inf")
            eta = _duration(left) if left != float("inf") else "?"
            return (f"{self.description}: {self.done}/{self.total} {self.unit} "
                    f"({100 * self.done / self.total:.0f}%), {rate:.1f} {self.unit}/s, "
                    f"{eta} left")
        return f"{self.description}: {self.done} {self.unit}, {rate:.1f} {self.unit}/s"

    def _draw(self, now: float, final: bool) -> None:
        if self._tty:
            end = "\n" if final else ""
            self.stream.write(f"\r\x1b[K{self.line()}{end}")
        else:
            self.stream.write(self.line() + "\n")
        self.stream.flush()

    def close(self) -> None:
        if not self.enabled:
            return
        self.enabled = False
        if self._bar is not None:
            self._bar.close()
        elif self._tty or time.monotonic() - self._start >= LOG_INTERVAL:
            self._draw(time.monotonic(), final=True)
