"""OpenTelemetry spans of LLM calls and tool runs as .agentlog records.

Two attribute conventions are recognised, span by span: the OpenTelemetry
GenAI semantic conventions (gen_ai.operation.name, gen_ai.*) and
OpenInference (openinference.span.kind, llm.*, tool.*). A model call span
becomes a chat_request and a chat_response, a tool span a tool_call and a
tool_result, and a span whose status is ERROR adds an error record; other
spans (agents, chains, retrievers) give no records, only the trace's
metadata (agent name, conversation id). Attributes that no envelope member
takes are kept in the record's meta under "attributes". The table of the
mapping is in docs/recording.md.

Both the OTLP JSON importer (korvane.importers.otel) and the span exporter
(korvane.otel) go through `span_records`, on spans in the neutral form
`Span`."""

from __future__ import annotations

import dataclasses
import json
from typing import Any

from korvane._trace_writer import make_record, rfc3339
from korvane.importers.envelope import count, disjoint_usage, tool_use
from korvane.importers.openai import STOP_REASONS, chat_content

MODEL_OPERATIONS = frozenset({"chat", "text_completion", "generate_content", "completion"})
# Messages of the older event form, by event name.
MESSAGE_EVENTS = {"gen_ai.system.message": "system", "gen_ai.user.message": "user",
                  "gen_ai.assistant.message": "assistant", "gen_ai.tool.message": "tool"}


@dataclasses.dataclass
class Span:
    """A finished span: hex ids, times in nanoseconds since the epoch,
    attributes as JSON values, events as (name, time, attributes), and the
    status message when the status is ERROR (None otherwise)."""
    trace_id: str
    span_id: str
    parent_id: str | None
    name: str
    start_ns: int
    end_ns: int
    attributes: dict[str, Any]
    events: list[tuple[str, int, dict[str, Any]]]
    error: str | None = None


def json_value(value: Any) -> Any:
    """An attribute that holds JSON text, decoded; other values as they are."""
    if isinstance(value, str) and value[:1] in ("[", "{"):
        try:
            return json.loads(value)
        except (ValueError, RecursionError):
            return value
    return value


def _unflatten(attributes: dict[str, Any], prefix: str) -> list[Any]:
    """Dotted attributes under `prefix` (llm.input_messages.0.message.role)
    as a list of nested dicts, numeric path parts giving list positions."""
    root: dict[Any, Any] = {}
    for key, value in attributes.items():
        if not key.startswith(prefix):
            continue
        node = root
        parts = [int(p) if p.isdigit() else p for p in key[len(prefix):].split(".")]
        for part in parts[:-1]:
            node = node.setdefault(part, {})
            if not isinstance(node, dict):
                break
        else:
            node[parts[-1]] = value

    def listify(node: Any) -> Any:
        if not isinstance(node, dict):
            return node
        if node and all(isinstance(k, int) for k in node):
            return [listify(node[k]) for k in sorted(node)]
        return {str(k): listify(v) for k, v in node.items()}
    result = listify(root)
    return result if isinstance(result, list) else []


def kind_of(span: Span) -> str | None:
    """"model", "tool", "agent" or None for a span of no interest."""
    attrs = span.attributes
    openinference = attrs.get("openinference.span.kind")
    if isinstance(openinference, str):
        return {"LLM": "model", "TOOL": "tool", "AGENT": "agent"}.get(openinference.upper())
    operation = attrs.get("gen_ai.operation.name")
    if operation in MODEL_OPERATIONS:
        return "model"
    if operation == "execute_tool":
        return "tool"
    if operation in ("invoke_agent", "create_agent"):
        return "agent"
    if operation is None and "gen_ai.request.model" in attrs:
        return "model"
    return None


def trace_info(span: Span) -> dict[str, Any]:
    """What a span tells about its whole trace, for the metadata record."""
    attrs, info = span.attributes, dict[str, Any]()
    for key, name in (("gen_ai.agent.name", "agent"), ("agent.name", "agent"),
                      ("gen_ai.conversation.id", "task_id"), ("session.id", "task_id")):
        if isinstance(attrs.get(key), str):
            info.setdefault(name, attrs[key])
    return info


# --- Message parts -----------------------------------------------------------

def _part_block(part: Any) -> Any:
    """A GenAI message part as a content block."""
    if not isinstance(part, dict):
        return {"type": "text", "text": part} if isinstance(part, str) else part
    kind = part.get("type")
    if kind == "text":
        return {"type": "text", "text": part.get("content", "")}
    if kind == "tool_call":
        arguments = part.get("arguments")
        if isinstance(arguments, dict):
            return {"type": "tool_use", "id": part.get("id"), "name": part.get("name"),
                    "input": arguments}
        return tool_use(part.get("id"), part.get("name"), arguments)
    if kind == "reasoning":
        return {"type": "thinking", "thinking": part.get("content", "")}
    return part


def _output_blocks(messages: list[Any]) -> tuple[list[Any], Any]:
    """Content blocks and finish reason of the first output message, in the
    GenAI parts form or the older role/content/tool_calls form."""
    if not messages or not isinstance(messages[0], dict):
        return [], None
    message = messages[0]
    if "parts" in message:
        return [_part_block(p) for p in message.get("parts") or []], message.get("finish_reason")
    inner: dict[str, Any] = message["message"] if isinstance(message.get("message"), dict) \
        else message
    content = json_value(inner.get("content"))
    if isinstance(content, list):
        # The older event form: content blocks such as {"text": ...}.
        inner = {**inner, "content": None}
        blocks = [{"type": "text", "text": c["text"]} for c in content
                  if isinstance(c, dict) and isinstance(c.get("text"), str)]
    else:
        blocks = []
    return blocks + chat_content(inner)[0], message.get("finish_reason")


def _as_list(value: Any) -> list[Any]:
    value = json_value(value)
    if isinstance(value, list):
        return value
    return [] if value is None else [value]


def _genai_messages(span: Span) -> tuple[list[Any], list[Any]]:
    attrs = span.attributes
    inputs, outputs = _as_list(attrs.get("gen_ai.input.messages")), \
        _as_list(attrs.get("gen_ai.output.messages"))
    for name, _, event in span.events:
        if "gen_ai.input.messages" in event or "gen_ai.output.messages" in event:
            inputs = inputs or _as_list(event.get("gen_ai.input.messages"))
            outputs = outputs or _as_list(event.get("gen_ai.output.messages"))
        elif name in MESSAGE_EVENTS:
            message = {k: json_value(v) for k, v in event.items()}
            message.setdefault("role", MESSAGE_EVENTS[name])
            inputs.append(message)
        elif name == "gen_ai.choice":
            outputs.append({k: json_value(v) for k, v in event.items()})
        elif name == "gen_ai.content.prompt":
            inputs = inputs or _as_list(event.get("gen_ai.prompt"))
        elif name == "gen_ai.content.completion":
            outputs = outputs or _as_list(event.get("gen_ai.completion"))
    system = attrs.get("gen_ai.system_instructions")
    if system is not None:
        inputs = [{"role": "system", "parts": _as_list(system)}] + inputs
    return inputs, outputs


def _openinference_output(messages: list[Any]) -> list[Any]:
    if not messages or not isinstance(messages[0], dict):
        return []
    message = messages[0].get("message") or {}
    blocks: list[Any] = []
    if isinstance(message.get("content"), str) and message["content"]:
        blocks.append({"type": "text", "text": message["content"]})
    for item in message.get("contents") or []:
        part = (item or {}).get("message_content") or {}
        if part.get("type", "text") == "text" and isinstance(part.get("text"), str):
            blocks.append({"type": "text", "text": part["text"]})
    for item in message.get("tool_calls") or []:
        call = (item or {}).get("tool_call") or {}
        function = call.get("function") or {}
        blocks.append(tool_use(call.get("id"), function.get("name"), function.get("arguments")))
    return blocks


# --- Records -------------------------------------------------------------------

_GENAI_MODEL_KEYS = ("gen_ai.operation.name", "gen_ai.request.model", "gen_ai.response.model",
                     "gen_ai.input.messages", "gen_ai.output.messages",
                     "gen_ai.system_instructions", "gen_ai.tool.definitions",
                     "gen_ai.response.finish_reasons", "gen_ai.response.id")


def _model_records(span: Span, parent: str) -> tuple[dict[str, Any], dict[str, Any], set[str]]:
    """chat_request payload, chat_response payload and the attribute keys used."""
    attrs = span.attributes
    if "openinference.span.kind" in attrs:
        used = {k for k in attrs if k.startswith(("llm.input_messages.", "llm.output_messages.",
                                                  "llm.token_count.", "llm.tools."))}
        used |= {"openinference.span.kind", "llm.model_name", "llm.invocation_parameters"}
        model = attrs.get("llm.model_name")
        inputs = [m.get("message", m) if isinstance(m, dict) else m
                  for m in _unflatten(attrs, "llm.input_messages.")]
        tools = [json_value((t.get("tool") or {}).get("json_schema")) if isinstance(t, dict) else t
                 for t in _unflatten(attrs, "llm.tools.")]
        params = json_value(attrs.get("llm.invocation_parameters"))
        content = _openinference_output(_unflatten(attrs, "llm.output_messages."))
        finish: Any = None
        def tokens(name: str) -> int:
            return count(attrs.get(f"llm.token_count.{name}"))
        usage = disjoint_usage(tokens("prompt"), tokens("prompt_details.cache_read"),
                               tokens("prompt_details.cache_write"), 0, tokens("completion"),
                               tokens("completion_details.reasoning"))
        has_usage = "llm.token_count.prompt" in attrs or "llm.token_count.completion" in attrs
        response_model = model
    else:
        used = set(_GENAI_MODEL_KEYS) | {k for k in attrs if k.startswith("gen_ai.usage.")}
        used |= {k for k in attrs if k.startswith("gen_ai.request.")}
        model = attrs.get("gen_ai.request.model")
        inputs, outputs = _genai_messages(span)
        tools = _as_list(attrs.get("gen_ai.tool.definitions"))
        params = {k.removeprefix("gen_ai.request."): v for k, v in attrs.items()
                  if k.startswith("gen_ai.request.") and k != "gen_ai.request.model"}
        content, finish = _output_blocks(outputs)
        reasons = _as_list(attrs.get("gen_ai.response.finish_reasons"))
        finish = reasons[0] if reasons else finish
        def tokens(name: str) -> int:
            return count(attrs.get(f"gen_ai.usage.{name}"))
        usage = disjoint_usage(tokens("input_tokens") or tokens("prompt_tokens"),
                               tokens("cache_read.input_tokens"),
                               tokens("cache_creation.input_tokens"), 0,
                               tokens("output_tokens") or tokens("completion_tokens"),
                               tokens("reasoning.output_tokens"))
        has_usage = any(k.startswith("gen_ai.usage.") for k in attrs)
        response_model = attrs.get("gen_ai.response.model", model)
    request: dict[str, Any] = {"model": model, "messages": inputs}
    if tools:
        request["tools"] = tools
    if params:
        request["params"] = params
    response: dict[str, Any] = {"model": response_model, "content": content}
    if finish is not None:
        response["stop_reason"] = STOP_REASONS.get(finish, finish)
    elif span.error is None:
        # No finish reason recorded: infer it from the content.
        response["stop_reason"] = "tool_use" if any(
            isinstance(b, dict) and b.get("type") == "tool_use" for b in content) else "end_turn"
    if has_usage:
        response["usage"] = usage
    response["latency_ms"] = (span.end_ns - span.start_ns) / 1e6
    return request, response, used


def _tool_payloads(span: Span) -> tuple[dict[str, Any], Any, set[str]]:
    attrs = span.attributes
    if "openinference.span.kind" in attrs:
        keys = ("tool.name", "tool_call.id", "input.value", "output.value")
    else:
        keys = ("gen_ai.tool.name", "gen_ai.tool.call.id", "gen_ai.tool.call.arguments",
                "gen_ai.tool.call.result")
    name, call_id, arguments, result = (attrs.get(k) for k in keys)
    arguments = json_value(arguments)
    call: dict[str, Any] = {"id": call_id} if call_id is not None else {}
    call.update(name=name if name is not None else span.name, input=arguments)
    return call, result, set(keys) | {"openinference.span.kind", "gen_ai.operation.name"}


def span_records(span: Span, parent: str) -> list[dict[str, Any]]:
    """The records of one span; the request or call hangs under `parent`."""
    kind = kind_of(span)
    if kind not in ("model", "tool"):
        return []
    start, end = rfc3339(span.start_ns), rfc3339(span.end_ns)
    base = span.span_id
    records = []
    if kind == "model":
        request, response, used = _model_records(span, parent)
        first = make_record(f"{base}-request", "chat_request", start, parent, request,
                            _meta(span, used))
        last_id, last_kind, last_payload = f"{base}-response", "chat_response", response
        meta: dict[str, Any] = {}
        for key, name in (("gen_ai.response.id", "response_id"),
                          ("gen_ai.response.finish_reasons", "finish_reasons")):
            if key in span.attributes:
                meta[name] = span.attributes[key]
    else:
        call, result, used = _tool_payloads(span)
        first = make_record(f"{base}-call", "tool_call", start, parent, call, _meta(span, used))
        last_id, last_kind, meta = f"{base}-result", "tool_result", {}
        last_payload = {"tool_use_id": call.get("id"), "name": call["name"],
                        "input": call["input"], "output": result}
        if last_payload["tool_use_id"] is None:
            del last_payload["tool_use_id"]
    records.append(first)
    if span.error is not None:
        error_type = span.attributes.get("error.type", "error")
        records.append(make_record(f"{base}-error", "error", end, first["id"],
                                   {"type": error_type, "message": span.error,
                                    "origin": f"span {span.name}"}))
    else:
        records.append(make_record(last_id, last_kind, end, first["id"], last_payload, meta))
    return records


def _meta(span: Span, used: set[str]) -> dict[str, Any]:
    meta: dict[str, Any] = {"span_id": span.span_id, "span_name": span.name}
    rest = {k: v for k, v in span.attributes.items() if k not in used}
    if rest:
        meta["attributes"] = rest
    events = [{"name": n, "time": rfc3339(t), "attributes": a} for n, t, a in span.events
              if n not in MESSAGE_EVENTS and not n.startswith(("gen_ai.choice", "gen_ai.content."))
              and "gen_ai.input.messages" not in a]
    if events:
        meta["events"] = events
    return meta
