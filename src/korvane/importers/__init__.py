"""Converting traces people already have into .agentlog files.

    korvane import otel traces.jsonl -o run.agentlog
    korvane import otel collector-output.json -o traces/      # one file per trace
    korvane import openai calls.jsonl -o run.agentlog

Formats: "otel" (OTLP JSON from the collector's file exporter, GenAI or
OpenInference spans; one trace per OTLP trace id: korvane.importers.otel),
"openai" and "anthropic" (API logs: JSON Lines of {"request": ...,
"response": ..., "latency_ms": ...} pairs, the request being the keyword
arguments of the SDK call and the response its model_dump(); one trace per
input file: korvane.importers.api_log).

This module is the entry point and writes the output. OUT is a file when the
input holds one trace, else a directory (existing, or named with a trailing
slash) that gets one `<trace>.agentlog` per trace. Bad input raises
InputError naming the file and the line (or the span) and nothing is
written; every output file is written whole or not at all."""

from __future__ import annotations

import os
import sys
from typing import IO, Callable, TextIO

from korvane._files import atomic_output
from korvane.errors import InputError
from korvane.progress import Progress

FORMATS = ("otel", "openai", "anthropic")

# What a mapping raises on input of an unexpected shape (a number where an
# object belongs, say).
SHAPE_ERRORS = (AttributeError, TypeError, KeyError, IndexError)

# A trace to write: its name (the output file's, in a directory) and the
# function that writes its lines to an open file.
Trace = tuple[str, Callable[[IO[bytes]], None]]


def import_traces(format: str, inputs: list[str], out: str,
                  stream: TextIO | None = sys.stderr, quiet: bool = False) -> list[str]:
    """Convert `inputs` to .agentlog and return the paths written."""
    if format not in FORMATS:
        raise InputError(f"unknown import format {format!r}: expected one of {', '.join(FORMATS)}")
    for path in inputs:
        if not os.path.isfile(path):
            raise InputError(f"{path}: no such file")
    total = sum(os.path.getsize(p) for p in inputs)
    with Progress(total >> 20, "MB", stream or sys.stderr,
                  enabled=stream is not None and not quiet and total >= 64 << 20,
                  description="korvane import") as progress:
        counter = ByteCounter(progress)
        if format == "otel":
            from korvane.importers.otel import OtlpTraces
            with OtlpTraces() as traces:
                for path in inputs:
                    traces.read(path, counter)
                return _write_all(list(traces.traces()), out, "OTLP trace ids")
        from korvane.importers.api_log import read_log
        logs = [read_log(path, format, counter) for path in inputs]
        names = [name for name, _ in logs]
        if len(set(names)) != len(names):
            raise InputError("two input files have the same name: each gives <name>.agentlog")
        return _write_all(logs, out, "input files")


def shape_error(where: str, error: Exception) -> InputError:
    """The InputError for one of SHAPE_ERRORS raised on input at `where`."""
    return InputError(f"{where}: unexpected shape of a value ({type(error).__name__}: {error})")


class ByteCounter:
    """Counts the bytes read into the progress display, a megabyte at a time."""

    def __init__(self, progress: Progress) -> None:
        self.progress = progress
        self.pending = 0

    def __call__(self, count: int) -> None:
        self.pending += count
        if self.pending >= 1 << 20:
            self.progress.update(self.pending >> 20)
            self.pending &= (1 << 20) - 1


def _write_all(traces: list[Trace], out: str, unit: str) -> list[str]:
    directory = out.endswith(("/", os.sep)) or os.path.isdir(out)
    if not directory and len(traces) != 1:
        raise InputError(f"the input holds {len(traces)} traces (by {unit}): give a directory as "
                         f"-o (an existing one, or a name ending in '/') to get one file per trace")
    if directory:
        os.makedirs(out, exist_ok=True)
    written: list[str] = []
    try:
        for name, write in traces:
            target = os.path.join(out, f"{name}.agentlog") if directory else out
            with atomic_output(target) as handle:
                write(handle)
            written.append(target)
    except BaseException as error:
        # All or nothing: the files already written go too.
        for path in written:
            os.unlink(path)
        if isinstance(error, OSError):
            raise InputError(f"cannot write {out}: {error.strerror or error}") from None
        raise
    return written
