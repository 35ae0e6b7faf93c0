"""The OpenAI API's objects as .agentlog records: Chat Completions and Responses.

The mapping works on JSON-shaped dicts (the SDK's model_dump() form), so the
recorder's client wrapper and the API-log importer share it, and it needs
only the standard library.

Usage: OpenAI's input count includes the tokens read from and written to
the prompt cache, and its output count includes the reasoning tokens; the
envelope's counts are disjoint, so those are subtracted (docs/recording.md
has the table)."""

from __future__ import annotations

from typing import Any

from korvane.importers.envelope import count, disjoint_usage, make_request, tool_use

# OpenAI finish reasons in the envelope's stop-reason words; others are kept.
STOP_REASONS = {"stop": "end_turn", "tool_calls": "tool_use", "function_call": "tool_use",
                "length": "max_tokens", "content_filter": "content_filter",
                "max_output_tokens": "max_tokens"}


# --- Chat Completions ------------------------------------------------------------

def chat_request(args: dict[str, Any]) -> dict[str, Any]:
    return make_request(args, list(args.get("messages") or []), ("model", "messages", "tools"))


def chat_usage(usage: dict[str, Any]) -> dict[str, int]:
    prompt = usage.get("prompt_tokens_details") or {}
    completion = usage.get("completion_tokens_details") or {}
    return disjoint_usage(count(usage.get("prompt_tokens")), count(prompt.get("cached_tokens")),
                          count(prompt.get("cache_write_tokens")), 0,
                          count(usage.get("completion_tokens")),
                          count(completion.get("reasoning_tokens")))


def chat_content(message: dict[str, Any]) -> tuple[list[dict[str, Any]], bool]:
    content: list[dict[str, Any]] = []
    reasoning = message.get("reasoning_content") or message.get("reasoning")
    if isinstance(reasoning, str) and reasoning:
        content.append({"type": "thinking", "thinking": reasoning})
    text = message.get("content")
    if isinstance(text, str) and text:
        content.append({"type": "text", "text": text})
    elif isinstance(text, list):
        content.extend({"type": "text", "text": part.get("text", "")} for part in text
                       if isinstance(part, dict) and part.get("type") == "text")
    refusal = message.get("refusal")
    if isinstance(refusal, str) and refusal:
        content.append({"type": "text", "text": refusal})
    for call in message.get("tool_calls") or []:
        function = call.get("function") or {}
        if call.get("type", "function") == "function":
            content.append(tool_use(call.get("id"), function.get("name"), function.get("arguments")))
        else:
            content.append(call)
    legacy = message.get("function_call")
    if isinstance(legacy, dict):
        content.append(tool_use(None, legacy.get("name"), legacy.get("arguments")))
    return content, bool(refusal)


def chat_response(response: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """A chat.completion as a chat_response payload and its meta."""
    choices = response.get("choices") or [{}]
    content, refused = chat_content(choices[0].get("message") or {})
    finish = choices[0].get("finish_reason")
    payload: dict[str, Any] = {"model": response.get("model"), "content": content,
                               "stop_reason": "refusal" if refused
                               else STOP_REASONS.get(finish, finish)}
    meta: dict[str, Any] = {"response_id": response.get("id"), "finish_reason": finish}
    if response.get("usage"):
        payload["usage"] = chat_usage(response["usage"])
        meta["usage"] = response["usage"]
    if len(choices) > 1:
        payload["alternatives"] = [chat_content(c.get("message") or {})[0] for c in choices[1:]]
    return payload, meta


class ChatChunks:
    """Builds a chat.completion from the chunks of a stream."""

    def __init__(self) -> None:
        self.head: dict[str, Any] = {}
        self.choices: dict[int, dict[str, Any]] = {}

    def add(self, chunk: dict[str, Any]) -> None:
        for key in ("id", "model", "created", "usage", "system_fingerprint"):
            if chunk.get(key) is not None:
                self.head[key] = chunk[key]
        for choice in chunk.get("choices") or []:
            state = self.choices.setdefault(choice.get("index", 0), {
                "content": [], "refusal": [], "reasoning": [], "calls": {}, "finish": None})
            delta = choice.get("delta") or {}
            for key, parts in (("content", "content"), ("refusal", "refusal"),
                               ("reasoning_content", "reasoning")):
                if isinstance(delta.get(key), str):
                    state[parts].append(delta[key])
            for call in delta.get("tool_calls") or []:
                entry = state["calls"].setdefault(call.get("index", 0),
                                                  {"id": None, "name": [], "arguments": []})
                entry["id"] = call.get("id") or entry["id"]
                function = call.get("function") or {}
                entry["name"].append(function.get("name") or "")
                entry["arguments"].append(function.get("arguments") or "")
            if choice.get("finish_reason"):
                state["finish"] = choice["finish_reason"]

    def response(self) -> dict[str, Any]:
        choices = []
        for index in sorted(self.choices):
            state = self.choices[index]
            message: dict[str, Any] = {"role": "assistant",
                                       "content": "".join(state["content"]) or None,
                                       "refusal": "".join(state["refusal"]) or None,
                                       "reasoning_content": "".join(state["reasoning"]) or None}
            calls = [state["calls"][i] for i in sorted(state["calls"])]
            if calls:
                message["tool_calls"] = [
                    {"id": c["id"], "type": "function",
                     "function": {"name": "".join(c["name"]), "arguments": "".join(c["arguments"])}}
                    for c in calls]
            choices.append({"index": index, "message": message, "finish_reason": state["finish"]})
        return {**self.head, "object": "chat.completion", "choices": choices}


# --- Responses -------------------------------------------------------------------

def responses_request(args: dict[str, Any]) -> dict[str, Any]:
    messages: list[Any] = []
    if args.get("instructions"):
        messages.append({"role": "system", "content": args["instructions"]})
    given = args.get("input")
    if isinstance(given, str):
        messages.append({"role": "user", "content": given})
    elif isinstance(given, list):
        messages.extend(given)
    return make_request(args, messages, ("model", "input", "instructions", "tools"))


def responses_usage(usage: dict[str, Any]) -> dict[str, int]:
    details = usage.get("input_tokens_details") or {}
    write = count(details.get("cache_write_tokens"))
    write_long = count((details.get("cache_write_tokens_details") or {}).get("ttl_12h_tokens"))
    return disjoint_usage(count(usage.get("input_tokens")), count(details.get("cached_tokens")),
                          max(write - write_long, 0), write_long,
                          count(usage.get("output_tokens")),
                          count((usage.get("output_tokens_details") or {}).get("reasoning_tokens")))


def _texts(parts: Any) -> str:
    return "\n".join(part["text"] for part in parts or []
                     if isinstance(part, dict) and isinstance(part.get("text"), str))


def responses_response(response: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """A Responses API response as a chat_response payload and its meta."""
    content: list[dict[str, Any]] = []
    refused = called = False
    for item in response.get("output") or []:
        kind = item.get("type")
        if kind == "message":
            for part in item.get("content") or []:
                if part.get("type") == "output_text":
                    block = {"type": "text", "text": part.get("text", "")}
                    if part.get("annotations"):
                        block["annotations"] = part["annotations"]
                    content.append(block)
                elif part.get("type") == "refusal":
                    refused = True
                    content.append({"type": "text", "text": part.get("refusal", "")})
                else:
                    content.append(part)
        elif kind == "function_call":
            called = True
            content.append(tool_use(item.get("call_id"), item.get("name"), item.get("arguments")))
        elif kind == "reasoning":
            content.append({"type": "thinking", "thinking":
                            _texts(item.get("summary")) or _texts(item.get("content"))})
        else:
            content.append(item)
    reason = (response.get("incomplete_details") or {}).get("reason")
    status = response.get("status")
    stop = ("refusal" if refused else STOP_REASONS.get(reason, reason) if reason
            else "tool_use" if called else "end_turn" if status in ("completed", None) else status)
    payload: dict[str, Any] = {"model": response.get("model"), "content": content,
                               "stop_reason": stop}
    meta: dict[str, Any] = {"response_id": response.get("id"), "status": status}
    if response.get("usage"):
        payload["usage"] = responses_usage(response["usage"])
        meta["usage"] = response["usage"]
    return payload, meta


class ResponseEvents:
    """Keeps the response carried by a stream's last response.* event
    (response.completed, .incomplete or .failed hold the whole response)."""

    def __init__(self) -> None:
        self.last: dict[str, Any] = {}

    def add(self, event: dict[str, Any]) -> None:
        if isinstance(event.get("response"), dict):
            self.last = event["response"]

    def response(self) -> dict[str, Any]:
        return self.last


def response_payload(response: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """chat_response payload and meta of either API's response, told apart
    by its "object"."""
    if response.get("object") == "response" or "output" in response:
        return responses_response(response)
    return chat_response(response)


def request_payload(args: dict[str, Any]) -> dict[str, Any]:
    """chat_request payload of either API's call, told apart by its "input"."""
    return responses_request(args) if "input" in args else chat_request(args)
