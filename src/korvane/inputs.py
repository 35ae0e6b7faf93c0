"""Reading what the user names: traces (a path, or "-" for standard input),
pricing files and manifests. Each is refused before it is read when it is
larger than its limit, and every problem is an InputError that names the
file."""

from __future__ import annotations

import json
import math
import os
import stat
import sys
from typing import TYPE_CHECKING, Any, Callable, NoReturn

import korvane
from korvane._trace_writer import MAX_TRACE_BYTES
from korvane.errors import InputError

if TYPE_CHECKING:
    from korvane._core import AgentRecord

# Traces above the reader's limit (MAX_TRACE_BYTES) are refused before they
# are loaded into memory.
# Pricing files and manifests are small tables; anything larger is a
# mistake (a trace named in the wrong place) and is refused unread.
MAX_TABLE_BYTES = 64 << 20
# The name that stands for standard input where one trace is expected.
STDIN = "-"
# Bytes read at a time from a pipe.
PIPE_CHUNK = 1 << 20


def display_name(path: str) -> str:
    return "standard input" if path == STDIN else path


def read_bytes(path: str, limit: int, what: str = "input") -> bytes:
    """The whole file (or standard input for "-"), or InputError naming the
    file and the system's reason. A regular file above `limit` bytes is
    refused before it is read; a pipe is read one byte past the limit at
    most."""
    name = display_name(path)
    try:
        if path == STDIN:
            if sys.stdin is None:
                raise InputError("standard input is closed")
            return _read_limited(sys.stdin.buffer, name, limit, what)
        with open(path, "rb") as handle:
            info = os.fstat(handle.fileno())
            if stat.S_ISREG(info.st_mode):
                if info.st_size > limit:
                    raise InputError(f"{name}: file of {info.st_size} bytes exceeds the "
                                     f"{what} limit of {limit} bytes")
                data: bytes = handle.read()
                if len(data) <= limit:  # unless the file grew meanwhile
                    return data
                raise InputError(f"{name}: input exceeds the {what} limit of {limit} bytes")
            return _read_limited(handle, name, limit, what)
    except OSError as error:
        raise InputError(f"cannot read {name}: {error.strerror or error}") from None


def _read_limited(handle: Any, name: str, limit: int, what: str) -> bytes:
    """A pipe or device read to its end, one byte past the limit at most."""
    chunks, size = [], 0
    while size <= limit:
        chunk = handle.read(min(PIPE_CHUNK, limit + 1 - size))
        if not chunk:
            break
        chunks.append(chunk)
        size += len(chunk)
    if size > limit:
        raise InputError(f"{name}: input exceeds the {what} limit of {limit} bytes")
    return b"".join(chunks)


def read_trace_bytes(path: str) -> bytes:
    """A trace's bytes, refused unread above MAX_TRACE_BYTES."""
    return read_bytes(path, MAX_TRACE_BYTES, "trace")


def read_table(path: str, what: str) -> bytes:
    """A pricing file or manifest, refused unread above MAX_TABLE_BYTES."""
    return read_bytes(path, MAX_TABLE_BYTES, what)


def parse_trace(data: bytes, path: str) -> list[AgentRecord]:
    try:
        return korvane.parse_agentlog(data)
    except ValueError as error:
        # The reader's message names the line and ends with a hint line.
        raise InputError(f"{display_name(path)}: {error}") from None


def read_trace(path: str, on_read: Callable[[int], None] | None = None) -> list[AgentRecord]:
    """The records of one trace; on_read, if given, hears the size in bytes
    before parsing starts."""
    data = read_trace_bytes(path)
    if on_read is not None:
        on_read(len(data))
    return parse_trace(data, path)


# --- Pricing files ---------------------------------------------------------------

def _reject_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for key, value in pairs:
        if key in out:
            raise InputError(f"duplicate key {json.dumps(key, ensure_ascii=False)}")
        out[key] = value
    return out


def _finite_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise InputError(f"number {text} is out of range")
    return value


def _reject_constant(name: str) -> NoReturn:
    raise InputError(f"{name} is not a number")


def parse_json_text(data: bytes, name: str, what: str) -> Any:
    """A JSON value from UTF-8 bytes (a byte order mark is allowed), with
    duplicate keys, NaN and numbers out of range refused."""
    try:
        return json.loads(data.decode("utf-8-sig"), object_pairs_hook=_reject_duplicates,
                          parse_float=_finite_float, parse_constant=_reject_constant)
    except UnicodeDecodeError:
        raise InputError(f"{name}: {what} is not UTF-8 text") from None
    except json.JSONDecodeError as error:
        raise InputError(f"{name}: {what} is not valid JSON: {error}") from None
    except InputError as error:
        raise InputError(f"{name}: {error}") from None
    except (ValueError, RecursionError) as error:
        # An integer too long to convert, or nesting too deep for the decoder.
        raise InputError(f"{name}: {what} is not valid JSON: {error}") from None


def load_pricing(path: str) -> dict[str, Any]:
    """A pricing file: a JSON object mapping model names to price entries,
    each a list of 2 to 7 prices [input, output, cached_input,
    cached_write_5m, cached_write_1h, reasoning, batch_discount] or an
    object with at least "input" and "output". Every entry is checked here
    so that an error can name its model."""
    table = parse_json_text(read_table(path, "pricing file"), path, "pricing file")
    if not isinstance(table, dict):
        raise InputError(f"{path}: pricing file must hold a JSON object mapping model names "
                         f"to prices, not {type(table).__name__}")
    for model, entry in table.items():
        try:
            # An empty diff does no work beyond reading the price table.
            korvane.compute_diff_report([], [], {model: entry}, seed=0)
        except ValueError as error:
            reason = str(error).removeprefix("pricing value: ")
            raise InputError(f"{path}: model {json.dumps(model, ensure_ascii=False)}: "
                             f"{reason}") from None
    return table
