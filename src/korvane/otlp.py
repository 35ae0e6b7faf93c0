"""Reading OTLP JSON trace files as a stream of spans, in bounded memory.

Both forms the OpenTelemetry collector's file exporter writes are read: one
JSON document per line, and one (possibly pretty-printed, possibly huge)
document. Either way the file is a sequence of top-level objects; the
reader walks into resourceSpans, scopeSpans and spans without building the
documents, and decodes one span at a time with the json module, so memory
holds one buffer of text and one span, whatever the size of the file.

`read_spans` yields each span in the neutral form of korvane.genai.Span;
OTLP/JSON ids are hexadecimal (base64 ids, as a generic protobuf-to-JSON
conversion writes them, are accepted too)."""

from __future__ import annotations

import base64
import binascii
import json
import re
from typing import IO, Any, Callable, Iterator

from korvane.errors import InputError
from korvane.genai import Span

# Characters read from the file at a time (at least; a value longer than
# the buffer grows it).
CHUNK_CHARS = 1 << 20

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
