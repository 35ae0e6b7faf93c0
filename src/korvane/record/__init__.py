"""Recording a live agent run as an .agentlog trace.

    recorder = Recorder("run.agentlog", task_id="refund-42", agent="support-bot")
    client = recorder.wrap(openai.OpenAI())        # or anthropic.Anthropic()
    reply = client.chat.completions.create(model=..., messages=...)

    @recorder.tool
    def get_order(order_id: str) -> dict: ...

The recorder writes a metadata record first, then one record per event as it
happens: each record is one complete line written with a single system call,
so a process killed mid-run leaves a trace of every record written before
(`fsync=True` also forces each line to disk). Ids are the run id and a
sequence number, in file order; timestamps are RFC 3339 UTC.

Parents: a chat_response's parent is its chat_request, a tool_result's or an
error's is the call it ends; a chat_request and a tool_call hang under the
last chat_response of the same thread or asyncio task (the metadata record
before the first one).

A recording failure raises RecordingError: a value the reader would refuse
is not written; after a failed write (a full disk) the recorder refuses
further records rather than leave a trace with a silent gap. Wrapped model
calls otherwise return and raise exactly what the SDK returns and raises.

The SDK hooks live in korvane.record.openai and korvane.record.anthropic,
the client stand-in they share in korvane.record.proxy, and the mapping of
each API's objects into records in korvane.importers (shared with the
API-log importer)."""

from __future__ import annotations

import contextvars
import dataclasses
import functools
import inspect
import os
import secrets
import threading
import time
from types import EllipsisType, TracebackType
from contextlib import contextmanager
from typing import Any, Callable, Iterator, TypeVar, overload

from korvane._trace_writer import MAX_TRACE_BYTES, encode_records, make_record, rfc3339

F = TypeVar("F", bound=Callable[..., Any])
T = TypeVar("T")


class RecordingError(RuntimeError):
    """A record could not be written: the message names the trace file and
    the reason."""


def jsonable(value: Any) -> Any:
    """A JSON-shaped copy of a tool's argument or result: pydantic models by
    their model_dump(), dataclasses as dicts, tuples and sets as lists, other
    objects by str()."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, dict):
        return {str(key): jsonable(item) for key, item in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [jsonable(item) for item in value]
    dump = getattr(value, "model_dump", None)
    if callable(dump):
        return jsonable(dump(mode="json"))
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return jsonable(dataclasses.asdict(value))
    return str(value)


@dataclasses.dataclass
class ModelCall:
    """A model call in flight: its chat_request id and its start on the
    performance clock."""
    request_id: str
    start: float


class ToolCall:
    """A tool call in flight, from Recorder.tool_call(); give its outcome
    with result()."""

    def __init__(self, recorder: Recorder, call_id: str, name: str, tool_use_id: str | None,
                 input: Any) -> None:
        self.recorder = recorder
        self.id = call_id
        self.name = name
        self.tool_use_id = tool_use_id
        self.input = input
        self.done = False

    def result(self, output: Any, *, is_error: bool = False) -> None:
        """Write the tool_result record (once; later calls are ignored)."""
        if self.done:
            return
        self.done = True
        payload: dict[str, Any] = {"tool_use_id": self.tool_use_id} if self.tool_use_id else {}
        payload.update(name=self.name, input=self.input, output=output)
        if is_error:
            payload["is_error"] = True
        self.recorder.record("tool_result", payload, parent=self.id)


class Recorder:
    """Appends the records of one agent run to an .agentlog file.

    `path` is created or truncated. `task_id`, `agent` and `tags` (a dict of
    JSON values) go into the metadata record; `run_id` prefixes every record
    id (random when not given). Safe to share between threads and asyncio
    tasks; close() it, or use it as a context manager."""

    def __init__(self, path: str | os.PathLike[str], *, task_id: str | None = None,
                 agent: str | None = None, tags: dict[str, Any] | None = None,
                 run_id: str | None = None, fsync: bool = False) -> None:
        self.path = os.fspath(path)
        self.fsync = fsync
        self.run_id = run_id if run_id is not None else secrets.token_hex(4)
        self._lock = threading.Lock()
        self._count = 0
        self._size = 0          # bytes of complete lines in the file
        self._failure: str | None = None
        self._last_response: contextvars.ContextVar[str | None] = contextvars.ContextVar(
            f"korvane-recorder-{self.run_id}", default=None)
        try:
            self._fd: int | None = os.open(
                self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND | os.O_CLOEXEC,
                0o666)
        except OSError as error:
            raise RecordingError(f"cannot create trace {self.path}: "
                                 f"{error.strerror or error}") from error
        payload: dict[str, Any] = {"task_id": task_id, "agent": agent,
                                   "tags": jsonable(tags or {}),
                                   "recorder": "korvane", "run_id": self.run_id}
        self.metadata_id = self._record_id(1)     # the first record's
        self.record("metadata", payload, parent=None)

    # --- Writing ---------------------------------------------------------------

    def record(self, kind: str, payload: Any, *, parent: str | None | EllipsisType = ...,
               meta: dict[str, Any] | None = None) -> str:
        """Write one record and return its id. The parent defaults to the
        last chat_response of this thread or task."""
        if parent is ...:
            parent = self._last_response.get() or self.metadata_id
        with self._lock:
            record_id = self._record_id(self._count + 1)
            self._write(make_record(record_id, kind, rfc3339(time.time_ns()), parent, payload, meta))
        if kind == "chat_response":
            self._last_response.set(record_id)
        return record_id

    def _record_id(self, number: int) -> str:
        return f"{self.run_id}-{number:05d}"

    def write(self, record: dict[str, Any]) -> None:
        """Write a complete record dict as it is (its own id, time and parent)."""
        with self._lock:
            self._write(record)

    def _write(self, record: dict[str, Any]) -> None:
        try:
            line = encode_records([record])
        except ValueError:
            # Arbitrary objects in a payload are written by str(); what
            # still fails is a real limit of the reader.
            record["payload"] = jsonable(record["payload"])
            if record.get("meta"):
                record["meta"] = jsonable(record["meta"])
            try:
                line = encode_records([record])
            except ValueError as error:
                raise RecordingError(f"{self.path}: cannot record {record['kind']}: "
                                     f"{error}") from None
        self._write_line(line)
        self._count += 1

    def _write_line(self, line: bytes) -> None:
        if self._fd is None:
            raise RecordingError(f"{self.path}: the recorder is closed")
        if self._failure is not None:
            raise RecordingError(f"{self.path}: recording stopped after an earlier failure "
                                 f"({self._failure})")
        if self._size + len(line) > MAX_TRACE_BYTES:
            raise RecordingError(f"{self.path}: the trace would exceed the reader's limit of "
                                 f"{MAX_TRACE_BYTES} bytes")
        try:
            written = os.write(self._fd, line)
            while written < len(line):      # a short write, as on a nearly full disk
                written += os.write(self._fd, line[written:])
            if self.fsync:
                os.fsync(self._fd)
        except OSError as error:
            # Never leave part of a line: cut the file back to the last
            # complete record.
            try:
                os.ftruncate(self._fd, self._size)
            except OSError:
                pass
            self._failure = error.strerror or str(error)
            raise RecordingError(f"cannot write to trace {self.path}: {self._failure}") from error
        self._size += len(line)

    def close(self) -> None:
        with self._lock:
            if self._fd is not None:
                os.close(self._fd)
                self._fd = None

    def __enter__(self) -> Recorder:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    # --- Model calls (used by the SDK wrappers) --------------------------------

    def wrap(self, client: T) -> T:
        """A stand-in for an openai or anthropic client (sync or async) that
        records every model call; everything else passes through unchanged.
        The client itself is not modified."""
        package = type(client).__module__.partition(".")[0]
        if package == "openai":
            from korvane.record import openai
            wrapped: T = openai.wrap(client, self)
            return wrapped
        if package == "anthropic":
            from korvane.record import anthropic
            wrapped = anthropic.wrap(client, self)
            return wrapped
        raise TypeError(f"cannot record calls of {type(client).__qualname__}: "
                        f"expected an openai or anthropic client")

    def start_call(self, request: dict[str, Any], meta: dict[str, Any] | None = None) -> ModelCall:
        """Write the chat_request of a model call about to start."""
        request_id = self.record("chat_request", request, meta=meta)
        return ModelCall(request_id, time.perf_counter())

    def finish_call(self, call: ModelCall, response: dict[str, Any],
                    meta: dict[str, Any] | None = None, end: float | None = None) -> str:
        """Write the chat_response of a finished call; `end` is when its last
        byte arrived on the performance clock (now when not given)."""
        elapsed = (end if end is not None else time.perf_counter()) - call.start
        response["latency_ms"] = round(elapsed * 1e6) / 1000    # milliseconds to the microsecond
        return self.record("chat_response", response, parent=call.request_id, meta=meta)

    def fail(self, parent: str, error: BaseException, origin: str) -> str:
        """Write an error record for a call that raised."""
        return self.record("error", {"type": type(error).__name__, "message": str(error),
                                     "origin": origin}, parent=parent)

    # --- Tools -----------------------------------------------------------------

    @contextmanager
    def tool_call(self, name: str, input: Any = None, *, id: str | None = None) -> Iterator[ToolCall]:
        """Record a tool call around a block:

            with recorder.tool_call("get_order", {"order_id": "A1"}, id=block.id) as call:
                call.result(get_order("A1"))

        `id` is the model's tool-use id, when there is one. An exception in
        the block is recorded as an error record and raised again."""
        payload = {"id": id} if id else {}
        payload.update(name=name, input=input)
        call = ToolCall(self, self.record("tool_call", payload), name, id, input)
        try:
            yield call
        except BaseException as error:
            call.done = True
            self.fail(call.id, error, f"tool {name}")
            raise
        call.result(None)

    @overload
    def tool(self, function: F) -> F: ...
    @overload
    def tool(self, *, name: str | None = None) -> Callable[[F], F]: ...

    def tool(self, function: Any = None, *, name: str | None = None) -> Any:
        """Decorator recording each call of a tool function (sync or async):
        a tool_call with its arguments by name, then a tool_result with its
        return value, or an error record when it raises."""
        if function is None:
            return functools.partial(self.tool, name=name)
        tool_name = name or function.__name__
        signature = inspect.signature(function)
        skip = next(iter(signature.parameters), None) in ("self", "cls")

        def arguments(args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
            try:
                bound = signature.bind(*args, **kwargs).arguments
            except TypeError:
                return {"args": list(args), "kwargs": kwargs}
            return {k: v for i, (k, v) in enumerate(bound.items()) if not (skip and i == 0)}

        if inspect.iscoroutinefunction(function):
            @functools.wraps(function)
            async def run_async(*args: Any, **kwargs: Any) -> Any:
                with self.tool_call(tool_name, arguments(args, kwargs)) as call:
                    output = await function(*args, **kwargs)
                    call.result(output)
                    return output
            return run_async

        @functools.wraps(function)
        def run(*args: Any, **kwargs: Any) -> Any:
            with self.tool_call(tool_name, arguments(args, kwargs)) as call:
                output = function(*args, **kwargs)
                call.result(output)
                return output
        return run
