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
them per trace id, moving them to a temporary file when they grow, and
writes each trace in span start order."""

from __future__ import annotations

import base64
import binascii
import functools
import json
import os
import re
import tempfile
from typing import IO, Any, Callable, Iterator

from korvane._trace_writer import encode_input, make_record, rfc3339
from korvane.errors import InputError
from korvane.importers import SHAPE_ERRORS, Trace, shape_error
from korvane.importers.spans import Span, span_records, trace_info

# Characters read from the file at a time (at least; a value longer than
# the buffer grows it).
CHUNK_CHARS = 1 << 20
# Bytes of records held in memory across all traces before they are moved
# to a temporary file.
SPILL_BYTES = 64 << 20
# Bytes of record lines joined into one write of the output.
WRITE_CHUNK_BYTES = 1 << 20
# Characters a value may take at least before the buffer's end is reached:
# fewer left, and the buffer is refilled before decoding, so that a value
# is rarely cut off (and decoded twice).
READ_AHEAD_CHARS = 1 << 16

_WHITESPACE = re.compile(r"[ \t\n\r]*")
_HEX = re.compile(r"[0-9a-fA-F]+")
_DECODER = json.JSONDecoder()
_ERROR_CODES = (2, "2", "STATUS_CODE_ERROR")


class _Scanner:
    """A cursor over JSON text read in chunks. `pos` indexes `buf`; text
    before `pos` may be dropped when more is read. `line` is the 1-based
    line of `counted`, a position at or before `pos`. `start` is where the
    last value read began."""

    def __init__(self, stream: IO[str], path: str, progress: Callable[[int], None]) -> None:
        self.stream = stream
        self.path = path
        self.progress = progress
        self.buf = ""
        self.pos = 0
        self.start = 0
        self.eof = False
        self.line = 1
        self.counted = 0

    def error(self, message: str, at: int | None = None) -> InputError:
        """Bad input at `at` (the cursor by default), with its line."""
        at = self.pos if at is None else at
        line = self.line + self.buf.count("\n", self.counted, at)
        return InputError(f"{self.path}:{line}: {message}")

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
        self.line += self.buf.count("\n", self.counted, self.pos)
        self.buf = self.buf[self.pos:] + data
        self.counted = self.pos = 0
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
        if len(self.buf) - self.pos < READ_AHEAD_CHARS:
            self.fill()
        while True:
            try:
                value, end = _DECODER.raw_decode(self.buf, self.pos)
            except json.JSONDecodeError as error:
                # Cut off by the end of the buffer: read more and try again.
                if (error.pos >= len(self.buf) - 8 or error.msg.startswith("Unterminated")) \
                        and self.fill():
                    continue
                raise self.error(f"invalid JSON: {error.msg}", min(error.pos, len(self.buf))) \
                    from None
            except RecursionError:
                raise self.error("invalid JSON: nested too deeply") from None
            if end == len(self.buf) and not isinstance(value, (dict, list, str)) and self.fill():
                continue  # a number or literal may go on in the next chunk
            self.start, self.pos = self.pos, end
            return value

    def members(self) -> Iterator[str]:
        """The keys of the object at the cursor; the caller reads each value."""
        if self._opens("{", "}", "an object"):
            while True:
                if self.peek() != '"':
                    raise self.error("expected a key")
                key = self.value()
                self.expect(":", "':'")
                yield key
                if self._closes("}"):
                    return

    def elements(self) -> Iterator[None]:
        """One step per element of the array at the cursor; the caller reads it."""
        if self._opens("[", "]", "an array"):
            while True:
                yield
                if self._closes("]"):
                    return

    def _opens(self, opening: str, closing: str, what: str) -> bool:
        """Past the opening bracket: whether the object or array has items
        (if not, past its closing bracket too)."""
        self.expect(opening, what)
        if self.peek() == closing:
            self.pos += 1
            return False
        return True

    def _closes(self, closing: str) -> bool:
        """Past the separator after an item: whether it was the closing
        bracket (else a comma)."""
        char = self.peek()
        if char == closing or char == ",":
            self.pos += 1
            return char == closing
        raise self.error(f"expected ',' or '{closing}'")


def any_value(value: Any) -> Any:
    """An OTLP AnyValue as a plain JSON value."""
    if not isinstance(value, dict) or not value:
        return None
    kind, inner = next(iter(value.items()))
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
    """OTLP key-value pairs as a dict (pairs without a string key are
    skipped). String values, the most common, take the short way."""
    result: dict[str, Any] = {}
    if not isinstance(pairs, list):
        return result
    for pair in pairs:
        if type(pair) is dict:
            key, value = pair.get("key"), pair.get("value")
            if type(key) is str:
                text = value.get("stringValue") if type(value) is dict else None
                result[key] = text if type(text) is str else any_value(value)
    return result


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


def _nanos(value: Any, default: int) -> int:
    """A time in nanoseconds since the epoch (OTLP JSON writes it as a
    string); ValueError when it is out of the unsigned 64-bit range."""
    nanos = int(value) if value else default
    if not 0 <= nanos < 1 << 64:
        raise ValueError(f"time out of range: {value!r}")
    return nanos


def decode_span(raw: Any) -> Span:
    """A span of OTLP JSON as a Span, or ValueError saying what is wrong."""
    if type(raw) is not dict:
        raise ValueError("a span must be an object")
    span_id = _hex_id(raw.get("spanId"), 8)
    if span_id is None:
        raise ValueError(f"span without a valid spanId: {raw.get('spanId')!r}")
    trace_id = _hex_id(raw.get("traceId"), 16)
    if trace_id is None:
        raise ValueError(f"span {span_id}: invalid traceId {raw.get('traceId')!r}")
    try:
        start = _nanos(raw.get("startTimeUnixNano"), 0)
        end = _nanos(raw.get("endTimeUnixNano"), start)
        events = [(e.get("name", ""), _nanos(e.get("timeUnixNano"), 0),
                   attributes(e.get("attributes"))) for e in raw.get("events") or ()]
        attrs = attributes(raw.get("attributes"))
    except (TypeError, ValueError, AttributeError) as error:
        raise ValueError(f"span {span_id}: {error}") from None
    status = raw.get("status") or {}
    error_message = status.get("message", "") if status.get("code") in _ERROR_CODES else None
    return Span(trace_id, span_id, _hex_id(raw.get("parentSpanId"), 8), str(raw.get("name", "")),
                start, end, attrs, events, error_message)


def read_spans(stream: IO[str], path: str, progress: Callable[[int], None] = lambda n: None
               ) -> Iterator[tuple[Span, dict[str, Any]]]:
    """Each span of an OTLP JSON file with its resource attributes. The
    resource dict is shared by the spans of one resourceSpans entry and is
    complete once they have all been read (its "resource" may come after
    its "scopeSpans")."""
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
                        if isinstance(value, dict):
                            resource.update(attributes(value.get("attributes")))
                    elif key2 == "scopeSpans":
                        for _ in scan.elements():
                            for key3 in scan.members():
                                if key3 != "spans":
                                    scan.value()
                                    continue
                                for _ in scan.elements():
                                    raw = scan.value()
                                    try:
                                        span = decode_span(raw)
                                    except ValueError as error:
                                        raise scan.error(str(error), scan.start) from None
                                    yield span, resource
                    else:
                        scan.value()


class _TraceInfo:
    """What a trace's metadata record needs, gathered from its spans, and
    the ids of its spans (each may appear once)."""
    __slots__ = ("source", "start", "resource", "spans", "facts", "span_ids")

    def __init__(self, source: str, start: int, resource: dict[str, Any]) -> None:
        self.source = source
        self.start = start
        self.resource = resource
        self.spans = 0
        self.facts: dict[str, Any] = {}     # agent, task_id, root_span
        self.span_ids: set[str] = set()


class OtlpTraces:
    """The records of each trace, keyed by trace id, with what the trace's
    metadata record needs. Record lines stay in memory up to SPILL_BYTES in
    all, then move to one temporary file, of which only an index stays in
    memory; a trace is put in order (by span start, then input order) only
    when it is written. A context manager: leaving it removes the file."""

    def __init__(self) -> None:
        # Per trace: (start, input order, record lines) of spans in memory,
        # and (start, input order, offset, length) of spans in the file.
        self.pending: dict[str, list[tuple[int, int, bytes]]] = {}
        self.spilled: dict[str, list[tuple[int, int, int, int]]] = {}
        self.info: dict[str, _TraceInfo] = {}
        self.held = 0           # bytes of the lines in pending
        self.order = 0
        self.spill: IO[bytes] | None = None

    def __enter__(self) -> OtlpTraces:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.spill is not None:
            self.spill.close()

    def read(self, path: str, progress: Callable[[int], None]) -> None:
        try:
            handle = open(path, encoding="utf-8", newline="")
        except OSError as error:
            raise InputError(f"cannot read {path}: {error.strerror or error}") from None
        with handle:
            for span, resource in read_spans(handle, path, progress):
                trace_id = span.trace_id
                info = self.info.get(trace_id)
                if info is None:
                    info = self.info[trace_id] = _TraceInfo(path, span.start_ns, resource)
                if span.span_id in info.span_ids:
                    # Its records would repeat the ids of the first one's.
                    raise InputError(f"{path}: span {span.span_id} appears twice in trace "
                                     f"{trace_id}: span ids must be unique")
                info.span_ids.add(span.span_id)
                info.spans += 1
                if span.start_ns < info.start:
                    info.start = span.start_ns
                if "agent" not in info.facts or "task_id" not in info.facts:
                    for key, value in trace_info(span).items():
                        info.facts.setdefault(key, value)
                if span.parent_id is None:
                    info.facts.setdefault("root_span", span.name)
                where = f"{path}: span {span.span_id}"
                try:
                    records = span_records(span, trace_id)
                except SHAPE_ERRORS as error:
                    raise shape_error(where, error) from None
                if not records:
                    continue
                lines = encode_input(records, where)
                self.order += 1
                self.pending.setdefault(trace_id, []).append((span.start_ns, self.order, lines))
                self.held += len(lines)
                if self.held > SPILL_BYTES:
                    self._spill()

    def _spill(self) -> None:
        if self.spill is None:
            self.spill = tempfile.TemporaryFile(prefix="korvane-import-",
                                                buffering=WRITE_CHUNK_BYTES)
        offset = self.spill.seek(0, os.SEEK_END)
        for trace_id, entries in self.pending.items():
            index = self.spilled.setdefault(trace_id, [])
            for start, order, lines in entries:
                self.spill.write(lines)
                index.append((start, order, offset, len(lines)))
                offset += len(lines)
        self.pending.clear()
        self.held = 0

    def traces(self) -> Iterator[Trace]:
        for trace_id, info in self.info.items():
            yield trace_id, functools.partial(self._write_trace, trace_id, info)

    def _metadata(self, trace_id: str, info: _TraceInfo) -> bytes:
        facts = info.facts
        payload = {"task_id": facts.get("task_id"), "agent": facts.get("agent"),
                   "source": "otlp", "trace_id": trace_id, "root_span": facts.get("root_span"),
                   "spans": info.spans, "resource": info.resource}
        return encode_input([make_record(trace_id, "metadata", rfc3339(info.start), None,
                                         payload)], f"{info.source}: trace {trace_id}")

    def _write_trace(self, trace_id: str, info: _TraceInfo, out: IO[bytes]) -> None:
        out.write(self._metadata(trace_id, info))
        chunk: list[bytes] = []
        size = 0
        for lines in self._lines_in_order(trace_id):
            # Lines go out a chunk at a time: one system call per chunk, not
            # one per span.
            chunk.append(lines)
            size += len(lines)
            if size >= WRITE_CHUNK_BYTES:
                out.write(b"".join(chunk))
                chunk.clear()
                size = 0
        out.write(b"".join(chunk))

    def _lines_in_order(self, trace_id: str) -> Iterator[bytes]:
        """The record lines of each span of the trace, by start time and
        then input order."""
        in_memory = self.pending.get(trace_id, [])
        spilled = self.spilled.get(trace_id)
        if spilled is None:
            for _, _, lines in sorted(in_memory, key=lambda e: (e[0], e[1])):
                yield lines
            return
        assert self.spill is not None
        self.spill.flush()
        fd = self.spill.fileno()
        # Entries in memory get offset -1 and their place in `in_memory`.
        entries = spilled + [(start, order, -1, i) for i, (start, order, _) in enumerate(in_memory)]
        for _, _, offset, length in sorted(entries):
            yield in_memory[length][2] if offset < 0 else os.pread(fd, length, offset)
