"""OTLP JSON trace files: read as a stream of spans, grouped by trace.

Both forms the OpenTelemetry collector's file exporter writes are read: one
JSON document per line, and one (possibly pretty-printed, possibly huge)
document. Either way the file is a sequence of top-level objects; the
reader walks into resourceSpans, scopeSpans and spans without building the
documents, and decodes one span at a time with the json module, so memory
holds one buffer of text and one span, whatever the size of the file.
OTLP/JSON ids are hexadecimal (base64 ids, as a generic protobuf-to-JSON
conversion writes them, are accepted too).

Each span's records come from korvane.importers.spans; `OtlpTraces` keeps
them per trace id, moving them to temporary files when they grow, and
writes each trace in span start order."""

from __future__ import annotations

import base64
import binascii
import functools
import heapq
import json
import os
import re
import struct
from typing import IO, Any, Callable, Iterator

from korvane._trace_writer import encode_input, make_record, rfc3339
from korvane.errors import InputError
from korvane.importers import Trace
from korvane.importers.spans import Span, span_records, trace_info

# Characters read from the file at a time (at least; a value longer than
# the buffer grows it).
CHUNK_CHARS = 1 << 20
# Bytes of records held in memory across all traces before they are moved
# to one temporary file per trace.
SPILL_BYTES = 64 << 20
# A spilled entry: start time, input order, length of the record lines.
_ENTRY = struct.Struct("<qqq")

_WHITESPACE = re.compile(r"[ \t\n\r]*")
_HEX = re.compile(r"[0-9a-fA-F]+")
_DECODER = json.JSONDecoder()
_ERROR_CODES = (2, "2", "STATUS_CODE_ERROR")


class _Scanner:
    """A cursor over JSON text read in chunks. `pos` indexes `buf`; text
    before `pos` may be dropped when more is read. `line` is the 1-based
    line of `counted`, a position at or before `pos`."""

    def __init__(self, stream: IO[str], path: str, progress: Callable[[int], None]) -> None:
        self.stream = stream
        self.path = path
        self.progress = progress
        self.buf = ""
        self.pos = 0
        self.eof = False
        self.line = 1
        self.counted = 0

    def where(self) -> int:
        self.line += self.buf.count("\n", self.counted, self.pos)
        self.counted = self.pos
        return self.line

    def error(self, message: str) -> InputError:
        return InputError(f"{self.path}:{self.where()}: {message}")

    def fill(self) -> bool:
        if self.eof:
            return False
        try:
            data = self.stream.read(max(CHUNK_CHARS, len(self.buf) - self.pos))
        except UnicodeDecodeError as error:
            raise self.error(f"not UTF-8 text ({error.reason})") from None
        if not data:
            self.eof = True
            return False
        self.progress(len(data))
        self.where()
        self.buf = self.buf[self.pos:] + data
        self.counted -= self.pos
        self.pos = 0
        return True

    def peek(self) -> str:
        """The next character that is not whitespace, "" at the end."""
        while True:
            self.pos = _WHITESPACE.match(self.buf, self.pos).end()  # type: ignore[union-attr]
            if self.pos < len(self.buf):
                return self.buf[self.pos]
            if not self.fill():
                return ""

    def expect(self, char: str, what: str) -> None:
        if self.peek() != char:
            found = self.buf[self.pos:self.pos + 20] if self.pos < len(self.buf) else "end of file"
            raise self.error(f"expected {what}, found {found!r}")
        self.pos += 1

    def value(self) -> Any:
        self.peek()
        while True:
            try:
                value, end = _DECODER.raw_decode(self.buf, self.pos)
            except json.JSONDecodeError as error:
                # Cut off by the end of the buffer: read more and try again.
                if (error.pos >= len(self.buf) - 8 or error.msg.startswith("Unterminated")) \
                        and self.fill():
                    continue
                self.pos = min(error.pos, len(self.buf))
                raise self.error(f"invalid JSON: {error.msg}") from None
            if end == len(self.buf) and not isinstance(value, (dict, list, str)) and self.fill():
                continue  # a number or literal may go on in the next chunk
            self.pos = end
            return value

    def members(self) -> Iterator[str]:
        """The keys of the object at the cursor; the caller reads each value."""
        self.expect("{", "an object")
        if self.peek() == "}":
            self.pos += 1
            return
        while True:
            if self.peek() != '"':
                raise self.error("expected a key")
            key = self.value()
            self.expect(":", "':'")
            yield key
            char = self.peek()
            self.pos += 1
            if char == "}":
                return
            if char != ",":
                self.pos -= 1
                raise self.error("expected ',' or '}'")

    def elements(self) -> Iterator[None]:
        """One step per element of the array at the cursor; the caller reads it."""
        self.expect("[", "an array")
        if self.peek() == "]":
            self.pos += 1
            return
        while True:
            yield
            char = self.peek()
            self.pos += 1
            if char == "]":
                return
            if char != ",":
                self.pos -= 1
                raise self.error("expected ',' or ']'")


def any_value(value: Any) -> Any:
    """An OTLP AnyValue as a plain JSON value."""
    if not isinstance(value, dict) or not value:
        return None
    (kind, inner), = list(value.items())[:1]
    if kind == "intValue":
        return int(inner)
    if kind == "doubleValue":
        return float(inner)
    if kind == "arrayValue":
        return [any_value(v) for v in (inner or {}).get("values") or []]
    if kind == "kvlistValue":
        return attributes((inner or {}).get("values"))
    return inner


def attributes(pairs: Any) -> dict[str, Any]:
    if not isinstance(pairs, list):
        return {}
    return {p["key"]: any_value(p.get("value")) for p in pairs
            if isinstance(p, dict) and isinstance(p.get("key"), str)}


def _hex_id(value: Any, size: int) -> str | None:
    if not isinstance(value, str) or not value:
        return None
    if len(value) == 2 * size and _HEX.fullmatch(value):
        return value.lower()
    try:
        raw = base64.b64decode(value, validate=True)
    except (binascii.Error, ValueError):
        return None
    return raw.hex() if len(raw) == size else None


def decode_span(raw: Any, where: str) -> Span:
    """A span of OTLP JSON as a Span, or InputError naming `where`."""
    if not isinstance(raw, dict):
        raise InputError(f"{where}: a span must be an object")
    span_id = _hex_id(raw.get("spanId"), 8)
    if span_id is None:
        raise InputError(f"{where}: span without a valid spanId: {raw.get('spanId')!r}")
    trace_id = _hex_id(raw.get("traceId"), 16)
    if trace_id is None:
        raise InputError(f"{where}: span {span_id}: invalid traceId {raw.get('traceId')!r}")
    try:
        start = int(raw.get("startTimeUnixNano") or 0)
        end = int(raw.get("endTimeUnixNano") or start)
        events = [(e.get("name", ""), int(e.get("timeUnixNano") or 0), attributes(e.get("attributes")))
                  for e in raw.get("events") or []]
        attrs = attributes(raw.get("attributes"))
    except (TypeError, ValueError, AttributeError) as error:
        raise InputError(f"{where}: span {span_id}: {error}") from None
    status = raw.get("status") or {}
    error_message = status.get("message", "") if status.get("code") in _ERROR_CODES else None
    return Span(trace_id, span_id, _hex_id(raw.get("parentSpanId"), 8), str(raw.get("name", "")),
                start, end, attrs, events, error_message)


def read_spans(stream: IO[str], path: str, progress: Callable[[int], None] = lambda n: None
               ) -> Iterator[tuple[Span, dict[str, Any]]]:
    """Each span of an OTLP JSON file with its resource attributes."""
    scan = _Scanner(stream, path, progress)
    while scan.peek():
        if scan.peek() != "{":
            raise scan.error("expected an OTLP JSON object with \"resourceSpans\"")
        for key in scan.members():
            if key != "resourceSpans":
                scan.value()
                continue
            for _ in scan.elements():
                resource: dict[str, Any] = {}
                for key2 in scan.members():
                    if key2 == "resource":
                        value = scan.value()
                        resource = attributes(value.get("attributes")) if isinstance(value, dict) else {}
                    elif key2 == "scopeSpans":
                        for _ in scan.elements():
                            for key3 in scan.members():
                                if key3 != "spans":
                                    scan.value()
                                    continue
                                for _ in scan.elements():
                                    scan.peek()
                                    line = scan.where()
                                    yield decode_span(scan.value(), f"{path}:{line}"), resource
                    else:
                        scan.value()


class OtlpTraces:
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
                lines = b"".join(encode_input(r, where) for r in records)
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
        return encode_input(make_record(trace_id, "metadata", rfc3339(info["start"]), None, payload),
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
