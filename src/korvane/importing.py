"""Converting traces people already have into .agentlog files.

    korvane import otel traces.jsonl -o run.agentlog
    korvane import otel collector-output.json -o traces/      # one file per trace
    korvane import openai calls.jsonl -o run.agentlog

Formats: "otel" (OTLP JSON from the collector's file exporter, GenAI or
OpenInference spans; one trace per OTLP trace id), "openai" and "anthropic"
(API logs: JSON Lines of {"request": ..., "response": ..., "latency_ms": ...}
pairs, the request being the keyword arguments of the SDK call and the
response its model_dump(); one trace per input file).

OUT is a file when the input holds one trace, else a directory (existing,
or named with a trailing slash) that gets one `<trace>.agentlog` per trace.
Bad input raises InputError naming the file and the line (or the span) and
nothing is written; every output file is written whole or not at all."""

from __future__ import annotations

import functools
import heapq
import json
import os
import struct
import sys
import tempfile
from typing import IO, Any, Callable, Iterable, Iterator, TextIO

from korvane import anthropic_sdk, openai_sdk
from korvane._files import atomic_output
from korvane._trace_writer import encode_record, make_record, rfc3339
from korvane.errors import InputError
from korvane.genai import span_records, trace_info
from korvane.otlp import read_spans
from korvane.progress import Progress

FORMATS = ("otel", "openai", "anthropic")

# Bytes of records held in memory across all traces of an OTLP import
# before they are moved to one temporary file per trace.
SPILL_BYTES = 64 << 20
# A spilled entry: start time, input order, length of the record lines.
_ENTRY = struct.Struct("<qqq")

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
        counter = _ByteCounter(progress)
        if format == "otel":
            with tempfile.TemporaryDirectory(prefix="korvane-import-") as spill_dir:
                traces = _OtlpTraces(spill_dir)
                for path in inputs:
                    traces.read(path, counter)
                return _write_all(traces.traces(), out, "OTLP trace ids")
        mapping = openai_sdk if format == "openai" else anthropic_sdk
        logs = [_api_log(path, format, mapping, counter) for path in inputs]
        names = [name for name, _ in logs]
        if len(set(names)) != len(names):
            raise InputError("two input files have the same name: each gives <name>.agentlog")
        return _write_all(logs, out, "input files")


class _ByteCounter:
    def __init__(self, progress: Progress) -> None:
        self.progress = progress
        self.pending = 0

    def __call__(self, chars: int) -> None:
        self.pending += chars
        if self.pending >= 1 << 20:
            self.progress.update(self.pending >> 20)
            self.pending &= (1 << 20) - 1


def _write_all(traces: Iterable[Trace] | list[Trace], out: str, unit: str) -> list[str]:
    traces = list(traces)
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
    except OSError as error:
        for path in written:
            os.unlink(path)
        raise InputError(f"cannot write {out}: {error.strerror or error}") from None
    except BaseException:
        for path in written:
            os.unlink(path)
        raise
    return written


def _checked(record: dict[str, Any], where: str) -> bytes:
    try:
        return encode_record(record)
    except ValueError as error:
        raise InputError(f"{where}: {error}") from None


# --- OTLP ------------------------------------------------------------------------

class _OtlpTraces:
    """The records of each trace, keyed by trace id, with what the trace's
    metadata record needs. Record lines stay in memory up to SPILL_BYTES in
    all, then go to one temporary file per trace; a trace is put in order
    (by span start, then input order) only when it is written."""

    def __init__(self, spill_dir: str) -> None:
        self.spill_dir = spill_dir
        self.pending: dict[str, list[tuple[int, int, bytes]]] = {}
        self.spilled: dict[str, str] = {}
        self.info: dict[str, dict[str, Any]] = {}
        self.held = 0
        self.order = 0

    def read(self, path: str, progress: Callable[[int], None]) -> None:
        try:
            handle = open(path, encoding="utf-8", newline="")
        except OSError as error:
            raise InputError(f"cannot read {path}: {error.strerror or error}") from None
        with handle:
            for span, resource in read_spans(handle, path, progress):
                info = self.info.get(span.trace_id)
                if info is None:
                    info = self.info[span.trace_id] = {"start": span.start_ns, "resource": resource,
                                                       "spans": 0, "source": path}
                info["spans"] += 1
                info["start"] = min(info["start"], span.start_ns)
                for key, value in trace_info(span).items():
                    info.setdefault(key, value)
                if span.parent_id is None:
                    info.setdefault("root_span", span.name)
                records = span_records(span, span.trace_id)
                if not records:
                    continue
                where = f"{path}: span {span.span_id}"
                lines = b"".join(_checked(r, where) for r in records)
                self.order += 1
                self.pending.setdefault(span.trace_id, []).append((span.start_ns, self.order, lines))
                self.held += len(lines)
                if self.held > SPILL_BYTES:
                    self._spill()

    def _spill(self) -> None:
        for trace_id, entries in self.pending.items():
            name = self.spilled.setdefault(trace_id, os.path.join(self.spill_dir, trace_id))
            with open(name, "ab") as handle:
                for start, order, lines in entries:
                    handle.write(_ENTRY.pack(start, order, len(lines)))
                    handle.write(lines)
        self.pending.clear()
        self.held = 0

    def traces(self) -> Iterator[Trace]:
        for trace_id, info in self.info.items():
            yield trace_id, functools.partial(self._write_trace, trace_id, info)

    def _metadata(self, trace_id: str, info: dict[str, Any]) -> bytes:
        payload = {"task_id": info.get("task_id"), "agent": info.get("agent"),
                   "source": "otlp", "trace_id": trace_id, "root_span": info.get("root_span"),
                   "spans": info["spans"], "resource": info["resource"]}
        return _checked(make_record(trace_id, "metadata", rfc3339(info["start"]), None, payload),
                        f"{info['source']}: trace {trace_id}")

    def _write_trace(self, trace_id: str, info: dict[str, Any], out: IO[bytes]) -> None:
        out.write(self._metadata(trace_id, info))
        in_memory = self.pending.get(trace_id, [])
        spilled = self.spilled.get(trace_id)
        if spilled is None:
            for _, _, lines in sorted(in_memory, key=lambda e: (e[0], e[1])):
                out.write(lines)
            return
        # Only the index of a spilled trace is loaded; its lines are copied
        # from the temporary file in order.
        index: list[tuple[int, int, int, int]] = []
        with open(spilled, "rb") as spill:
            while header := spill.read(_ENTRY.size):
                start, order, length = _ENTRY.unpack(header)
                index.append((start, order, spill.tell(), length))
                spill.seek(length, os.SEEK_CUR)
            memory = [(start, order, -1, i) for i, (start, order, _) in enumerate(in_memory)]
            for start, order, offset, length in heapq.merge(sorted(index), sorted(memory)):
                if offset < 0:
                    out.write(in_memory[length][2])
                else:
                    spill.seek(offset)
                    out.write(spill.read(length))


# --- API logs --------------------------------------------------------------------

def _api_log(path: str, format: str, mapping: Any, progress: Callable[[int], None]) -> Trace:
    """An API log as a trace, read as it is written."""
    name = os.path.splitext(os.path.basename(path))[0]

    def write(out: IO[bytes]) -> None:
        try:
            handle = open(path, "rb")
        except OSError as error:
            raise InputError(f"cannot read {path}: {error.strerror or error}") from None
        with handle:
            last_ts, parent, count = rfc3339(0), f"{name}-00001", 1
            for number, raw in enumerate(handle, 1):
                progress(len(raw))
                if raw.strip():
                    where = f"{path}:{number}"
                    entry = _api_entry(raw, where)
                    ts = entry.get("ts")
                    ts = ts if isinstance(ts, str) else _created(entry["response"], last_ts)
                    if count == 1:
                        out.write(_metadata(name, format, path, ts))
                    records = _api_records(entry, mapping, format, ts, parent, name, count)
                    records[1]["meta"]["line"] = number
                    out.write(b"".join(_checked(r, where) for r in records))
                    count, last_ts, parent = count + 2, ts, records[1]["id"]
            if count == 1:
                out.write(_metadata(name, format, path, last_ts))
    return name, write


def _metadata(name: str, format: str, path: str, ts: str) -> bytes:
    return _checked(make_record(f"{name}-00001", "metadata", ts, None,
                                {"task_id": None, "agent": None, "source": f"{format} API log",
                                 "file": os.path.basename(path)}), path)


def _api_records(entry: dict[str, Any], mapping: Any, format: str, ts: str, parent: str,
                 name: str, count: int) -> list[dict[str, Any]]:
    request, response = entry["request"], entry["response"]
    if format == "openai":
        request_payload = mapping.request_mapper(request)
        payload, meta = mapping.response_mapper(response)
    else:
        request_payload = mapping.messages_request(request)
        payload, meta = mapping.messages_response(response)
    latency = entry.get("latency_ms")
    if isinstance(latency, (int, float)) and not isinstance(latency, bool):
        payload["latency_ms"] = latency
    request_id, response_id = f"{name}-{count + 1:05d}", f"{name}-{count + 2:05d}"
    return [make_record(request_id, "chat_request", ts, parent, request_payload),
            make_record(response_id, "chat_response", ts, request_id, payload, meta)]


def _api_entry(raw: bytes, where: str) -> dict[str, Any]:
    try:
        entry = json.loads(raw)
    except UnicodeDecodeError:
        raise InputError(f"{where}: not UTF-8 text") from None
    except (ValueError, RecursionError) as error:
        raise InputError(f"{where}: invalid JSON: {error}") from None
    if not isinstance(entry, dict):
        raise InputError(f"{where}: expected an object with \"request\" and \"response\"")
    for key in ("request", "response"):
        if not isinstance(entry.get(key), dict):
            raise InputError(f"{where}: \"{key}\" must be an object")
    return entry


def _created(response: dict[str, Any], fallback: str) -> str:
    created = response.get("created", response.get("created_at"))
    if isinstance(created, (int, float)) and not isinstance(created, bool) and created > 0:
        return rfc3339(int(created * 10**9))
    return fallback
