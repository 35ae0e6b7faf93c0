"""The Anthropic Messages API's objects as .agentlog records.

A Message's content blocks (text, tool_use, thinking, ...) and stop reasons
are already the envelope's, so they are kept as they are. The mapping works
on JSON-shaped dicts (the SDK's model_dump() form), so the recorder's client
wrapper and the API-log importer share it, and it needs only the standard
library.

Usage: Anthropic's input_tokens excludes the cache reads and writes, which
it reports apart; output_tokens includes the thinking tokens, which are
subtracted when the response breaks them out (docs/recording.md has the
table)."""

from __future__ import annotations

from typing import Any

from korvane.importers.envelope import arguments_input, count, disjoint_usage, make_request


def messages_request(args: dict[str, Any]) -> dict[str, Any]:
    """A Messages call's arguments as a chat_request payload; the system
    prompt comes first as a system message."""
    system = [{"role": "system", "content": args["system"]}] if args.get("system") else []
    return make_request(args, system + list(args.get("messages") or []),
                        ("model", "messages", "system", "tools"))


def messages_usage(usage: dict[str, Any]) -> dict[str, int]:
    created = usage.get("cache_creation")
    if isinstance(created, dict):
        write_short = count(created.get("ephemeral_5m_input_tokens"))
        write_long = count(created.get("ephemeral_1h_input_tokens"))
    else:
        # Without the breakdown, writes went to the default 5-minute cache.
        write_short, write_long = count(usage.get("cache_creation_input_tokens")), 0
    cached = count(usage.get("cache_read_input_tokens"))
    thinking = count((usage.get("output_tokens_details") or {}).get("thinking_tokens"))
    # input_tokens leaves the cache out already: add it back to the total.
    return disjoint_usage(count(usage.get("input_tokens")) + cached + write_short + write_long,
                          cached, write_short, write_long,
                          count(usage.get("output_tokens")), thinking)


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
                blocks[event["index"]].update(arguments_input("".join(parts)))
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


# The API-log importer's entry points, as in korvane.importers.openai.
request_payload = messages_request
response_payload = messages_response
