"""Encoding records as .agentlog lines that the reader will accept.

Every record korvane writes goes through `encode_record`, which turns it into
one line with `write_agentlog` and then checks what `parse_agentlog` would
refuse: a line longer than the reader's limit, or nesting deeper than its
limit. A value the reader would refuse is therefore an error when it is
written, never a trace that cannot be read back."""

from __future__ import annotations

import time
from typing import Any

import korvane
from korvane.errors import InputError

# The reader's limits: bytes of one line (its line feed included), nesting
# of arrays and objects in one line (the record object counts), bytes of a
# whole trace.
MAX_LINE_BYTES = 16 << 20
MAX_DEPTH = 127
MAX_TRACE_BYTES = 1 << 30


def encode_record(record: dict[str, Any]) -> bytes:
    """The record as one .agentlog line, or ValueError saying why the reader
    would refuse it (a value that is not JSON, a line too long, nesting too
    deep)."""
    line = korvane.write_agentlog([record])
    if len(line) > MAX_LINE_BYTES:
        raise ValueError(f"record {record.get('id')!r} is {len(line)} bytes long, over the "
                         f"reader's line limit of {MAX_LINE_BYTES} bytes")
    # Fewer brackets than the limit, counting those inside strings too, cannot
    # nest too deeply; only lines with more are parsed to find out.
    if line.count(b"{") + line.count(b"[") > MAX_DEPTH:
        try:
            korvane.parse_agentlog(line)
        except ValueError as error:
            reason = str(error).partition("\n")[0].removeprefix("parse error on line 1: ")
            raise ValueError(f"record {record.get('id')!r} cannot be read back: "
                             f"{reason}") from None
    return line


def encode_input(record: dict[str, Any], where: str) -> bytes:
    """encode_record for a record converted from an input file: a value the
    reader would refuse is bad input, an InputError naming `where`."""
    try:
        return encode_record(record)
    except ValueError as error:
        raise InputError(f"{where}: {error}") from None


def make_record(record_id: str, kind: str, ts: str, parent: str | None, payload: Any,
                meta: dict[str, Any] | None = None) -> dict[str, Any]:
    """A record dict in envelope order."""
    record: dict[str, Any] = {"version": korvane.SPEC_VERSION, "id": record_id, "kind": kind,
                              "ts": ts, "parent": parent}
    if meta:
        record["meta"] = meta
    record["payload"] = payload
    return record


def rfc3339(nanos: int) -> str:
    """A time in nanoseconds since the epoch as UTC in RFC 3339 with
    milliseconds, e.g. 2025-05-02T09:00:00.000Z."""
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(nanos // 10**9)) + \
        f".{nanos // 10**6 % 1000:03d}Z"
