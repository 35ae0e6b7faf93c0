"""API logs: JSON Lines of model calls as an application logged them.

Each line is one call: {"request": ..., "response": ..., "latency_ms": ...,
"ts": ...}, the request being the keyword arguments of the SDK call and the
response its model_dump(); "latency_ms" and "ts" are optional ("ts"
defaults to the response's creation time). The "openai" format maps lines
with korvane.importers.openai (Chat Completions or Responses), "anthropic"
with korvane.importers.anthropic (Messages); the reading, the record ids
and the parents are the same for both. One input file is one trace, named
after the file, read while it is written out."""

from __future__ import annotations

import json
import os
from typing import IO, Any, Callable

from korvane._trace_writer import encode_input, make_record, rfc3339
from korvane.errors import InputError
from korvane.importers import SHAPE_ERRORS, Trace, anthropic, openai, shape_error

MAPPINGS = {"openai": openai, "anthropic": anthropic}


def read_log(path: str, format: str, progress: Callable[[int], None]) -> Trace:
    """The API log at `path` as a trace of the named format."""
    name = os.path.splitext(os.path.basename(path))[0]
    mapping = MAPPINGS[format]

    def write(out: IO[bytes]) -> None:
        try:
            handle = open(path, "rb")
        except OSError as error:
            raise InputError(f"cannot read {path}: {error.strerror or error}") from None
        with handle:
            last_ts, parent, count = rfc3339(0), f"{name}-00001", 1
            for number, raw in enumerate(handle, 1):
                progress(len(raw))
                if not raw.strip():
                    continue
                where = f"{path}:{number}"
                entry = _entry(raw, where)
                ts = entry.get("ts")
                ts = ts if isinstance(ts, str) else _created(entry["response"], last_ts)
                if count == 1:
                    out.write(_metadata(name, format, path, ts))
                request_id, response_id = f"{name}-{count + 1:05d}", f"{name}-{count + 2:05d}"
                try:
                    request = mapping.request_payload(entry["request"])
                    payload, meta = mapping.response_payload(entry["response"])
                except SHAPE_ERRORS as error:
                    raise shape_error(where, error) from None
                latency = entry.get("latency_ms")
                if isinstance(latency, (int, float)) and not isinstance(latency, bool):
                    payload["latency_ms"] = latency
                meta["line"] = number
                out.write(encode_input([
                    make_record(request_id, "chat_request", ts, parent, request),
                    make_record(response_id, "chat_response", ts, request_id, payload, meta)],
                    where))
                count, last_ts, parent = count + 2, ts, response_id
            if count == 1:
                out.write(_metadata(name, format, path, last_ts))
    return name, write


def _metadata(name: str, format: str, path: str, ts: str) -> bytes:
    return encode_input([make_record(f"{name}-00001", "metadata", ts, None,
                                     {"task_id": None, "agent": None,
                                      "source": f"{format} API log",
                                      "file": os.path.basename(path)})], path)


def _entry(raw: bytes, where: str) -> dict[str, Any]:
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
    # Seconds since the epoch, before the year 10000 (RFC 3339's last).
    if isinstance(created, (int, float)) and not isinstance(created, bool) \
            and 0 < created < 253402300800:
        return rfc3339(int(created * 10**9))
    return fallback
