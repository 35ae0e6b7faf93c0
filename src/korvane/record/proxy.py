"""Recording the model calls of an SDK client without modifying it.

`ClientProxy` stands in for a client: attribute access passes through to the
client, except along the paths of the methods to record (for example
chat.completions.create), which are replaced by recording versions. A
recorded call writes the chat_request, calls the SDK method with the same
arguments, and writes the chat_response (or an error record, and raises the
SDK's exception unchanged). A streamed call returns the SDK's stream inside
an observer that hands each event to an accumulator and writes the response
when the stream ends or is closed; the events themselves pass through
untouched."""

from __future__ import annotations

import dataclasses
import functools
import time
from collections.abc import Iterator
from typing import Any, Callable, Protocol

from korvane.record import ModelCall, Recorder

# Request arguments that steer the HTTP transport rather than the model.
TRANSPORT_ARGUMENTS = frozenset({"extra_headers", "extra_query", "timeout"})


class Accumulator(Protocol):
    def add(self, event: dict[str, Any]) -> None: ...
    def response(self) -> dict[str, Any]: ...


@dataclasses.dataclass(frozen=True)
class Api:
    """How to record one SDK method: `request` maps its keyword arguments
    (see request_arguments) to a chat_request payload, `response` maps the
    response as a dict to a chat_response payload and its meta,
    `accumulator` builds the response dict of a stream from its events."""
    name: str
    request: Callable[[dict[str, Any]], dict[str, Any]]
    response: Callable[[dict[str, Any]], tuple[dict[str, Any], dict[str, Any]]]
    accumulator: Callable[[], Accumulator]


def as_dict(value: Any) -> dict[str, Any]:
    """An SDK model object (or dict) as a JSON-shaped dict."""
    if isinstance(value, dict):
        return value
    result: dict[str, Any] = value.to_dict(mode="json")
    return result


def request_arguments(kwargs: dict[str, Any]) -> dict[str, Any]:
    """The call's arguments without transport options and the SDK's 'not
    given' markers. Values that are not JSON (SDK model objects among the
    messages) are converted only if the record cannot be written as it is
    (see Recorder.record), which saves a copy of every call's messages."""
    return {key: value for key, value in kwargs.items()
            if key not in TRANSPORT_ARGUMENTS
            and type(value).__name__ not in ("NotGiven", "Omit")}


def materialize(kwargs: dict[str, Any]) -> dict[str, Any]:
    """The arguments with iterators read into lists: an iterator (messages
    from a generator) can be read only once, and both the record and the
    SDK need it; the SDK accepts a list as well."""
    return {key: list(value) if isinstance(value, Iterator) else value
            for key, value in kwargs.items()}


class _Observer:
    """The end of one streamed call: accumulates events and writes the
    response or the error once."""

    def __init__(self, recorder: Recorder, api: Api, call: ModelCall) -> None:
        self.recorder = recorder
        self.api = api
        self.call = call
        self.accumulator = api.accumulator()
        self.last: float | None = None
        self.finished = False

    def add(self, event: Any) -> None:
        self.last = time.perf_counter()
        self.accumulator.add(as_dict(event))

    def stopped(self, error: BaseException) -> None:
        """The stream raised `error`: its end, or a failure."""
        self.finish(None if isinstance(error, (StopIteration, StopAsyncIteration)) else error)

    def finish(self, error: BaseException | None = None, complete: bool = True) -> None:
        if self.finished:
            return
        self.finished = True
        if error is not None:
            self.recorder.fail(self.call.request_id, error, f"model call {self.api.name}")
            return
        payload, meta = self.api.response(self.accumulator.response())
        if not complete:
            meta["stream_closed_early"] = True
        self.recorder.finish_call(self.call, payload, meta, self.last)


class _Observed:
    """An SDK stream and the observer of its events; every attribute but
    the iteration and closing passes through to the stream."""

    def __init__(self, stream: Any, observer: _Observer) -> None:
        self._stream = stream
        self._observer = observer

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


class ObservedStream(_Observed):
    """A synchronous SDK stream whose events are recorded as they pass."""

    def __iter__(self) -> ObservedStream:
        return self

    def __next__(self) -> Any:
        try:
            event = next(self._stream)
        except BaseException as error:
            self._observer.stopped(error)
            raise
        self._observer.add(event)
        return event

    def close(self) -> None:
        try:
            self._stream.close()
        finally:
            self._observer.finish(complete=False)

    def __enter__(self) -> ObservedStream:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class ObservedAsyncStream(_Observed):
    """An asynchronous SDK stream whose events are recorded as they pass."""

    def __aiter__(self) -> ObservedAsyncStream:
        return self

    async def __anext__(self) -> Any:
        try:
            event = await self._stream.__anext__()
        except BaseException as error:
            self._observer.stopped(error)
            raise
        self._observer.add(event)
        return event

    async def close(self) -> None:
        try:
            await self._stream.close()
        finally:
            self._observer.finish(complete=False)

    async def __aenter__(self) -> ObservedAsyncStream:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()


def _begin(recorder: Recorder, api: Api, kwargs: dict[str, Any]) -> ModelCall:
    return recorder.start_call(api.request(request_arguments(kwargs)), {"api": api.name})


def _end(recorder: Recorder, api: Api, call: ModelCall, kwargs: dict[str, Any], result: Any,
         observed: type[ObservedStream] | type[ObservedAsyncStream]) -> Any:
    """What the recorded call returns: the SDK's result, or its stream
    inside an observer."""
    end = time.perf_counter()
    if kwargs.get("stream") is True:
        return observed(result, _Observer(recorder, api, call))
    payload, meta = api.response(as_dict(result))
    recorder.finish_call(call, payload, meta, end)
    return result


def record_sync(recorder: Recorder, api: Api) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    def hook(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        def call(*args: Any, **kwargs: Any) -> Any:
            kwargs = materialize(kwargs)
            started = _begin(recorder, api, kwargs)
            try:
                result = method(*args, **kwargs)
            except BaseException as error:
                recorder.fail(started.request_id, error, f"model call {api.name}")
                raise
            return _end(recorder, api, started, kwargs, result, ObservedStream)
        return call
    return hook


def record_async(recorder: Recorder, api: Api) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    def hook(method: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(method)
        async def call(*args: Any, **kwargs: Any) -> Any:
            kwargs = materialize(kwargs)
            started = _begin(recorder, api, kwargs)
            try:
                result = await method(*args, **kwargs)
            except BaseException as error:
                recorder.fail(started.request_id, error, f"model call {api.name}")
                raise
            return _end(recorder, api, started, kwargs, result, ObservedAsyncStream)
        return call
    return hook


Hook = Callable[[Any], Any]


class ClientProxy:
    """Stands in for `target`, replacing the attributes at the dotted paths
    of `hooks` by hook(original). Clients derived with with_options() or
    copy() are wrapped the same way."""

    def __init__(self, target: Any, hooks: dict[tuple[str, ...], Hook],
                 path: tuple[str, ...] = ()) -> None:
        self.__dict__["_korvane_target"] = target
        self.__dict__["_korvane_hooks"] = hooks
        self.__dict__["_korvane_path"] = path

    def __getattr__(self, name: str) -> Any:
        target, hooks, path = self._korvane_target, self._korvane_hooks, self._korvane_path
        value = getattr(target, name)
        key = path + (name,)
        if key in hooks:
            result = hooks[key](value)
        elif any(hook[:len(key)] == key for hook in hooks):
            result = ClientProxy(value, hooks, key)
        elif not path and name in ("with_options", "copy"):
            @functools.wraps(value)
            def derive(*args: Any, **kwargs: Any) -> ClientProxy:
                return ClientProxy(value(*args, **kwargs), hooks)
            return derive
        else:
            return value
        self.__dict__[name] = result
        return result

    def __setattr__(self, name: str, value: Any) -> None:
        setattr(self._korvane_target, name, value)

    def __repr__(self) -> str:
        return f"<recorded {self._korvane_target!r}>"

    def __enter__(self) -> ClientProxy:
        self._korvane_target.__enter__()
        return self

    def __exit__(self, *exc: Any) -> Any:
        return self._korvane_target.__exit__(*exc)

    async def __aenter__(self) -> ClientProxy:
        await self._korvane_target.__aenter__()
        return self

    async def __aexit__(self, *exc: Any) -> Any:
        return await self._korvane_target.__aexit__(*exc)


def wrap_client(client: Any, recorder: Recorder, apis: dict[str, Api],
                extra: dict[tuple[str, ...], Hook] | None = None) -> Any:
    """A ClientProxy recording the methods at the dotted paths of `apis`,
    synchronously or asynchronously as the client is."""
    is_async = type(client).__name__.startswith("Async")
    record = record_async if is_async else record_sync
    hooks: dict[tuple[str, ...], Hook] = {tuple(path.split(".")): record(recorder, api)
                                          for path, api in apis.items()}
    hooks.update(extra or {})
    return ClientProxy(client, hooks)
