"""Recording hooks for the anthropic client: messages.create, through the
shared client proxy, and messages.stream, whose context manager and helper
stream are stood in for here. The mapping of Messages into records is
korvane.importers.anthropic's."""

from __future__ import annotations

import inspect
import time
from typing import Any

from korvane import _extras
from korvane.importers.anthropic import MessageEvents, messages_request, messages_response
from korvane.record import ModelCall, Recorder
from korvane.record.proxy import Api, materialize, request_arguments, wrap_client


class _HelperStream:
    """The stream of messages.stream(): every way of reading it (iterating,
    text_stream, get_final_message(), until_done()) marks when it ended."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        self.ended: float | None = None

    def _mark(self) -> None:
        self.ended = time.perf_counter()

    def __iter__(self) -> Any:
        yield from self._stream
        self._mark()

    def __aiter__(self) -> Any:
        return self._async_events()

    async def _async_events(self) -> Any:
        async for event in self._stream:
            yield event
        self._mark()

    @property
    def text_stream(self) -> Any:
        source = self._stream.text_stream
        if hasattr(source, "__aiter__"):
            async def texts() -> Any:
                async for text in source:
                    yield text
                self._mark()
            return texts()

        def sync_texts() -> Any:
            yield from source
            self._mark()
        return sync_texts()

    def __getattr__(self, name: str) -> Any:
        value = getattr(self._stream, name)
        if name not in ("get_final_message", "get_final_text", "until_done"):
            return value
        if inspect.iscoroutinefunction(value):
            async def finish_async(*args: Any, **kwargs: Any) -> Any:
                result = await value(*args, **kwargs)
                self._mark()
                return result
            return finish_async

        def finish(*args: Any, **kwargs: Any) -> Any:
            result = value(*args, **kwargs)
            self._mark()
            return result
        return finish


class _StreamManager:
    """Stands in for the context manager messages.stream() returns: records
    the request on entry, when the SDK sends it, then the message so far on
    exit, or the error of the request or of the block."""

    def __init__(self, manager: Any, recorder: Recorder, request: dict[str, Any]) -> None:
        self._manager = manager
        self._recorder = recorder
        self._request = request
        self._call: ModelCall | None = None
        self._stream: _HelperStream | None = None

    def _start(self) -> None:
        self._call = self._recorder.start_call(self._request, {"api": "messages.stream"})

    def _started(self, stream: Any) -> _HelperStream:
        self._stream = _HelperStream(stream)
        return self._stream

    def _fail(self, error: BaseException) -> None:
        assert self._call is not None
        self._recorder.fail(self._call.request_id, error, "model call messages.stream")

    def _exit(self, error: BaseException | None) -> None:
        if error is not None:
            self._fail(error)
            return
        assert self._stream is not None and self._call is not None
        snapshot = self._stream._stream.current_message_snapshot
        payload, meta = messages_response(snapshot.to_dict(mode="json"))
        self._recorder.finish_call(self._call, payload, meta, self._stream.ended)

    def __enter__(self) -> _HelperStream:
        self._start()
        try:
            return self._started(self._manager.__enter__())
        except BaseException as error:
            self._fail(error)
            raise

    def __exit__(self, kind: Any, error: BaseException | None, traceback: Any) -> Any:
        try:
            return self._manager.__exit__(kind, error, traceback)
        finally:
            self._exit(error)

    async def __aenter__(self) -> _HelperStream:
        self._start()
        try:
            return self._started(await self._manager.__aenter__())
        except BaseException as error:
            self._fail(error)
            raise

    async def __aexit__(self, kind: Any, error: BaseException | None, traceback: Any) -> Any:
        try:
            return await self._manager.__aexit__(kind, error, traceback)
        finally:
            self._exit(error)


def wrap(client: Any, recorder: Recorder) -> Any:
    """A recording stand-in for an anthropic.Anthropic or AsyncAnthropic client."""
    _extras.require("anthropic", "anthropic", "recording Anthropic calls")
    api = Api("messages", messages_request, messages_response, MessageEvents)

    def stream_hook(method: Any) -> Any:
        def stream(*args: Any, **kwargs: Any) -> _StreamManager:
            kwargs = materialize(kwargs)
            return _StreamManager(method(*args, **kwargs), recorder,
                                  messages_request(request_arguments(kwargs)))
        return stream

    return wrap_client(client, recorder, {"messages.create": api},
                       {("messages", "stream"): stream_hook})
