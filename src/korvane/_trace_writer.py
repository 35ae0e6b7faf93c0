"""Encoding records as .agentlog lines that the reader will accept.

Every record korvane writes goes through `encode_records`, which turns
records into lines with `write_agentlog` and then checks what `parse_agentlog` would
refuse: a line longer than the reader's limit, or nesting deeper than its
limit. A value the reader would refuse is therefore an error when it is
written, never a trace that cannot be read back."""

from __future__ import annotations

import functools
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

# Every byte but the opening brackets of arrays and objects.
_NOT_OPENING = bytes(sorted(set(range(256)) - set(b"{[")))


def encode_records(records: list[dict[str, Any]]) -> bytes:
    """The records as .agentlog lines, or ValueError saying why the reader
    would refuse one (a value that is not JSON, a line too long, nesting
    too deep)."""
    data = korvane.write_agentlog(records)
    # Fewer bytes than the line limit, and fewer opening brackets than the
    # nesting limit (counting those inside strings too), fit whatever the
    # lines. Deleting all other bytes counts both brackets in one pass.
    if len(data) <= MAX_LINE_BYTES and len(data.translate(None, _NOT_OPENING)) <= MAX_DEPTH:
        return data
    if len(records) > 1:
        return b"".join(encode_records([record]) for record in records)
    record_id = records[0].get("id")
    if len(data) > MAX_LINE_BYTES:
        raise ValueError(f"record {record_id!r} is {len(data)} bytes long, over the "
                         f"reader's line limit of {MAX_LINE_BYTES} bytes")
    try:
        korvane.parse_agentlog(data)
    except ValueError as error:
        reason = str(error).partition("\n")[0].removeprefix("parse error on line 1: ")
        raise ValueError(f"record {record_id!r} cannot be read back: {reason}") from None
    return data


def encode_input(records: list[dict[str, Any]], where: str) -> bytes:
    """encode_records for records converted from an input file: a value the
    reader would refuse is bad input, an InputError naming `where`."""
    try:
        return encode_records(records)
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


@functools.lru_cache(maxsize=1024)
def _utc_day(days: int) -> str:
    return time.strftime("%Y-%m-%dT", time.gmtime(days * 86400))


# Numbers written with two and three digits: table look-ups are several
# times faster than formatting, and every record has a time.
_TWO_DIGITS = tuple(f"{n:02d}" for n in range(60))
_THREE_DIGITS = tuple(f"{n:03d}" for n in range(1000))


def rfc3339(nanos: int) -> str:
    """A time in nanoseconds since the epoch as UTC in RFC 3339 with
    milliseconds, e.g. 2025-05-02T09:00:00.000Z."""
    seconds, millis = divmod(nanos // 1_000_000, 1000)
    days, second = divmod(seconds, 86400)
    minute, second = divmod(second, 60)
    return f"{_utc_day(days)}{_TWO_DIGITS[minute // 60]}:{_TWO_DIGITS[minute % 60]}:" \
        f"{_TWO_DIGITS[second]}.{_THREE_DIGITS[millis]}Z"
