"""The Anthropic Messages API in .agentlog terms.

A Message's content blocks (text, tool_use, thinking, ...) and stop reasons
are already the envelope's, so they are kept as they are. The mapping works
on JSON-shaped dicts (the SDK's model_dump() form), so the client wrapper
and the API-log importer share it and it needs only the standard library;
the anthropic package is needed only to wrap a client.

Usage: Anthropic's input_tokens excludes the cache reads and writes, which
it reports apart; output_tokens includes the thinking tokens, which are
subtracted when the response breaks them out (docs/recording.md has the
table)."""

from __future__ import annotations

import json
import time
from typing import Any

from korvane.openai_sdk import _count, disjoint_usage


def messages_request(args: dict[str, Any]) -> dict[str, Any]:
    messages: list[Any] = []
    if args.get("system"):
        messages.append({"role": "system", "content": args["system"]})
    messages.extend(args.get("messages") or [])
    payload: dict[str, Any] = {"model": args.get("model"), "messages": messages}
    if args.get("tools"):
        payload["tools"] = args["tools"]
    params = {k: v for k, v in args.items() if k not in ("model", "messages", "system", "tools")}
    if params:
        payload["params"] = params
    return payload


def messages_usage(usage: dict[str, Any]) -> dict[str, int]:
    created = usage.get("cache_creation")
    if isinstance(created, dict):
        write_short = _count(created.get("ephemeral_5m_input_tokens"))
        write_long = _count(created.get("ephemeral_1h_input_tokens"))
    else:
        # Without the breakdown, writes went to the default 5-minute cache.
        write_short, write_long = _count(usage.get("cache_creation_input_tokens")), 0
    cached = _count(usage.get("cache_read_input_tokens"))
    thinking = _count((usage.get("output_tokens_details") or {}).get("thinking_tokens"))
    # input_tokens leaves the cache out already: add it back to the total.
    return disjoint_usage(_count(usage.get("input_tokens")) + cached + write_short + write_long,
                          cached, write_short, write_long,
                          _count(usage.get("output_tokens")), thinking)


def messages_response(message: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """A Message as a chat_response payload and its meta."""
    content = [{k: v for k, v in block.items() if v is not None}
               for block in message.get("content") or [] if isinstance(block, dict)]
    payload: dict[str, Any] = {"model": message.get("model"), "content": content,
                               "stop_reason": message.get("stop_reason")}
    meta: dict[str, Any] = {"response_id": message.get("id")}
    if message.get("stop_sequence") is not None:
        meta["stop_sequence"] = message["stop_sequence"]
    if message.get("usage"):
        payload["usage"] = messages_usage(message["usage"])
        meta["usage"] = message["usage"]
    return payload, meta


class MessageEvents:
    """Builds a Message from the raw events of a stream."""

    def __init__(self) -> None:
        self.message: dict[str, Any] = {"content": []}
        self.partial_json: dict[int, list[str]] = {}

    def add(self, event: dict[str, Any]) -> None:
        kind = event.get("type")
        if kind == "message_start":
            self.message = dict(event.get("message") or {})
            self.message["content"] = list(self.message.get("content") or [])
        elif kind == "content_block_start":
            self.message["content"].append(dict(event.get("content_block") or {}))
        elif kind == "content_block_delta":
            index, delta = event.get("index", 0), event.get("delta") or {}
            blocks = self.message["content"]
            if not 0 <= index < len(blocks):
                return
            block, dtype = blocks[index], delta.get("type")
            if dtype == "text_delta":
                block["text"] = block.get("text", "") + delta.get("text", "")
            elif dtype == "thinking_delta":
                block["thinking"] = block.get("thinking", "") + delta.get("thinking", "")
            elif dtype == "signature_delta":
                block["signature"] = delta.get("signature")
            elif dtype == "input_json_delta":
                self.partial_json.setdefault(index, []).append(delta.get("partial_json", ""))
            elif dtype == "citations_delta":
                block.setdefault("citations", []).append(delta.get("citation"))
        elif kind == "content_block_stop":
            parts = self.partial_json.pop(event.get("index", 0), None)
            blocks = self.message["content"]
            if parts is not None and 0 <= event.get("index", 0) < len(blocks):
                text = "".join(parts)
                try:
                    blocks[event["index"]]["input"] = json.loads(text) if text else {}
                except ValueError:
                    blocks[event["index"]].update(input={}, arguments=text)
        elif kind == "message_delta":
            delta = event.get("delta") or {}
            for key in ("stop_reason", "stop_sequence"):
                if key in delta:
                    self.message[key] = delta[key]
            usage = dict(self.message.get("usage") or {})
            usage.update({k: v for k, v in (event.get("usage") or {}).items() if v is not None})
            self.message["usage"] = usage

    def response(self) -> dict[str, Any]:
        return self.message


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
        import inspect
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
    the request on entry and the message so far on exit (or the error)."""

    def __init__(self, manager: Any, recorder: Any, call: Any) -> None:
        self._manager = manager
        self._recorder = recorder
        self._call = call
        self._stream: _HelperStream | None = None

    def _enter(self, stream: Any) -> _HelperStream:
        self._stream = _HelperStream(stream)
        return self._stream

    def _exit(self, error: BaseException | None) -> None:
        if error is not None:
            self._recorder.fail(self._call.request_id, error, "model call messages.stream")
            return
        assert self._stream is not None
        snapshot = self._stream._stream.current_message_snapshot
        payload, meta = messages_response(snapshot.to_dict(mode="json"))
        self._recorder.finish_call(self._call, payload, meta, self._stream.ended)

    def __enter__(self) -> _HelperStream:
        return self._enter(self._manager.__enter__())

    def __exit__(self, kind: Any, error: BaseException | None, traceback: Any) -> Any:
        try:
            return self._manager.__exit__(kind, error, traceback)
        finally:
            if self._stream is not None:
                self._exit(error)

    async def __aenter__(self) -> _HelperStream:
        return self._enter(await self._manager.__aenter__())

    async def __aexit__(self, kind: Any, error: BaseException | None, traceback: Any) -> Any:
        try:
            return await self._manager.__aexit__(kind, error, traceback)
        finally:
            if self._stream is not None:
                self._exit(error)


def wrap(client: Any, recorder: Any) -> Any:
    """A recording stand-in for an anthropic.Anthropic or AsyncAnthropic client."""
    from korvane import _extras
    from korvane._wrap import Api, _materialize, request_arguments, wrap_client
    _extras.require("anthropic", "anthropic", "recording Anthropic calls")
    api = Api("messages", messages_request, messages_response, MessageEvents)

    def stream_hook(method: Any) -> Any:
        def stream(*args: Any, **kwargs: Any) -> _StreamManager:
            kwargs = _materialize(kwargs)
            call = recorder.start_call(messages_request(request_arguments(kwargs)),
                                       {"api": "messages.stream"})
            return _StreamManager(method(*args, **kwargs), recorder, call)
        return stream

    return wrap_client(client, recorder, {"messages.create": api},
                       {("messages", "stream"): stream_hook})
