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
from typing import Any, NamedTuple

from korvane._trace_writer import make_record, rfc3339
from korvane.importers.envelope import count, disjoint_usage, tool_use
from korvane.importers.openai import STOP_REASONS, chat_content

MODEL_OPERATIONS = frozenset({"chat", "text_completion", "generate_content", "completion"})
# Messages of the older event form, by event name.
MESSAGE_EVENTS = {"gen_ai.system.message": "system", "gen_ai.user.message": "user",
                  "gen_ai.assistant.message": "assistant", "gen_ai.tool.message": "tool"}


@dataclasses.dataclass(slots=True)
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


# Attributes that tell about a whole trace, and the metadata member each
# gives (the first found wins).
TRACE_ATTRIBUTES = (("gen_ai.agent.name", "agent"), ("agent.name", "agent"),
                    ("gen_ai.conversation.id", "task_id"), ("session.id", "task_id"))


def trace_info(span: Span) -> dict[str, Any]:
    """What a span tells about its whole trace, for the metadata record."""
    attrs, info = span.attributes, dict[str, Any]()
    for key, name in TRACE_ATTRIBUTES:
        if key in attrs and name not in info and isinstance(attrs[key], str):
            info[name] = attrs[key]
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


def _genai_messages(attrs: dict[str, Any], events: list[tuple[str, int, dict[str, Any]]]
                    ) -> tuple[list[Any], list[Any]]:
    inputs, outputs = _as_list(attrs.get("gen_ai.input.messages")), \
        _as_list(attrs.get("gen_ai.output.messages"))
    for name, _, event in events:
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

# GenAI attributes that the request and response take (besides the
# gen_ai.request.* and gen_ai.usage.* families).
_GENAI_MODEL_KEYS = frozenset({
    "gen_ai.operation.name", "gen_ai.response.model", "gen_ai.input.messages",
    "gen_ai.output.messages", "gen_ai.system_instructions", "gen_ai.tool.definitions",
    "gen_ai.response.finish_reasons", "gen_ai.response.id"})
_OPENINFERENCE_MODEL_KEYS = frozenset({
    "openinference.span.kind", "llm.model_name", "llm.invocation_parameters"})
_OPENINFERENCE_MODEL_PREFIXES = ("llm.input_messages.", "llm.output_messages.",
                                 "llm.token_count.", "llm.tools.")
_GENAI_TOOL_KEYS = ("gen_ai.tool.name", "gen_ai.tool.call.id", "gen_ai.tool.call.arguments",
                    "gen_ai.tool.call.result")
_OPENINFERENCE_TOOL_KEYS = ("tool.name", "tool_call.id", "input.value", "output.value")

class _ModelCall(NamedTuple):
    """What a model span says: the chat_request payload, the response's
    model, content, finish reason and usage (None when the span has none),
    and the attributes none of them takes."""
    request: dict[str, Any]
    model: Any
    content: list[Any]
    finish: Any
    usage: dict[str, int] | None
    rest: dict[str, Any]


def _genai_model(attrs: dict[str, Any], span: Span) -> _ModelCall:
    params: dict[str, Any] = {}
    usage: dict[str, Any] = {}
    rest: dict[str, Any] = {}
    for key, value in attrs.items():
        if key.startswith("gen_ai.request."):
            params[key[15:]] = value
        elif key.startswith("gen_ai.usage."):
            usage[key[13:]] = value
        elif key not in _GENAI_MODEL_KEYS:
            rest[key] = value
    model = params.pop("model", None)
    inputs, outputs = _genai_messages(attrs, span.events)
    request: dict[str, Any] = {"model": model, "messages": inputs}
    tools = _as_list(attrs.get("gen_ai.tool.definitions"))
    if tools:
        request["tools"] = tools
    if params:
        request["params"] = params
    content, finish = _output_blocks(outputs)
    reasons = _as_list(attrs.get("gen_ai.response.finish_reasons"))
    envelope_usage = None
    if usage:
        def tokens(name: str) -> int:
            return count(usage.get(name))
        envelope_usage = disjoint_usage(
            tokens("input_tokens") or tokens("prompt_tokens"), tokens("cache_read.input_tokens"),
            tokens("cache_creation.input_tokens"), 0,
            tokens("output_tokens") or tokens("completion_tokens"),
            tokens("reasoning.output_tokens"))
    return _ModelCall(request, attrs.get("gen_ai.response.model", model), content,
                      reasons[0] if reasons else finish, envelope_usage, rest)


def _openinference_model(attrs: dict[str, Any]) -> _ModelCall:
    """As _genai_model, for an OpenInference LLM span."""
    rest = {k: v for k, v in attrs.items() if k not in _OPENINFERENCE_MODEL_KEYS
            and not k.startswith(_OPENINFERENCE_MODEL_PREFIXES)}
    model = attrs.get("llm.model_name")
    inputs = [m.get("message", m) if isinstance(m, dict) else m
              for m in _unflatten(attrs, "llm.input_messages.")]
    request: dict[str, Any] = {"model": model, "messages": inputs}
    tools = [json_value((t.get("tool") or {}).get("json_schema")) if isinstance(t, dict) else t
             for t in _unflatten(attrs, "llm.tools.")]
    if tools:
        request["tools"] = tools
    params = json_value(attrs.get("llm.invocation_parameters"))
    if params:
        request["params"] = params

    envelope_usage = None
    if "llm.token_count.prompt" in attrs or "llm.token_count.completion" in attrs:
        def tokens(name: str) -> int:
            return count(attrs.get(f"llm.token_count.{name}"))
        envelope_usage = disjoint_usage(
            tokens("prompt"), tokens("prompt_details.cache_read"),
            tokens("prompt_details.cache_write"), 0, tokens("completion"),
            tokens("completion_details.reasoning"))
    return _ModelCall(request, model, _openinference_output(_unflatten(attrs, "llm.output_messages.")),
                      None, envelope_usage, rest)


def _model_records(span: Span, parent: str) -> list[dict[str, Any]]:
    attrs = span.attributes
    call = (_openinference_model(attrs) if "openinference.span.kind" in attrs
            else _genai_model(attrs, span))
    response: dict[str, Any] = {"model": call.model, "content": call.content}
    if call.finish is not None:
        response["stop_reason"] = STOP_REASONS.get(call.finish, call.finish)
    elif span.error is None:
        # No finish reason recorded: infer it from the content.
        response["stop_reason"] = "tool_use" if any(
            isinstance(b, dict) and b.get("type") == "tool_use" for b in call.content) \
            else "end_turn"
    if call.usage is not None:
        response["usage"] = call.usage
    response["latency_ms"] = (span.end_ns - span.start_ns) / 1e6
    meta: dict[str, Any] = {}
    for key, name in (("gen_ai.response.id", "response_id"),
                      ("gen_ai.response.finish_reasons", "finish_reasons")):
        if key in attrs:
            meta[name] = attrs[key]
    request_id = f"{span.span_id}-request"
    return [make_record(request_id, "chat_request", rfc3339(span.start_ns), parent, call.request,
                        _meta(span, call.rest)),
            _last(span, request_id, f"{span.span_id}-response", "chat_response", response, meta)]


def _tool_records(span: Span, parent: str) -> list[dict[str, Any]]:
    attrs = span.attributes
    keys = (_OPENINFERENCE_TOOL_KEYS if "openinference.span.kind" in attrs
            else _GENAI_TOOL_KEYS)
    name, call_id, arguments, output = (attrs.get(k) for k in keys)
    rest = {k: v for k, v in attrs.items() if k not in keys
            and k not in ("openinference.span.kind", "gen_ai.operation.name")}
    call: dict[str, Any] = {"id": call_id} if call_id is not None else {}
    call.update(name=name if name is not None else span.name, input=json_value(arguments))
    result = {"tool_use_id": call_id} if call_id is not None else {}
    result.update(name=call["name"], input=call["input"], output=output)
    call_record = f"{span.span_id}-call"
    return [make_record(call_record, "tool_call", rfc3339(span.start_ns), parent, call,
                        _meta(span, rest)),
            _last(span, call_record, f"{span.span_id}-result", "tool_result", result, {})]


def _last(span: Span, first_id: str, record_id: str, kind: str, payload: Any,
          meta: dict[str, Any]) -> dict[str, Any]:
    """The record that ends a span: its response or result, or an error
    record when the span's status is ERROR."""
    end = rfc3339(span.end_ns)
    if span.error is None:
        return make_record(record_id, kind, end, first_id, payload, meta)
    return make_record(f"{span.span_id}-error", "error", end, first_id,
                       {"type": span.attributes.get("error.type", "error"),
                        "message": span.error, "origin": f"span {span.name}"})


def span_records(span: Span, parent: str) -> list[dict[str, Any]]:
    """The records of one span; the request or call hangs under `parent`."""
    kind = kind_of(span)
    if kind == "model":
        return _model_records(span, parent)
    if kind == "tool":
        return _tool_records(span, parent)
    return []


def _meta(span: Span, rest: dict[str, Any]) -> dict[str, Any]:
    meta: dict[str, Any] = {"span_id": span.span_id, "span_name": span.name}
    if rest:
        meta["attributes"] = rest
    if span.events:
        events = [{"name": n, "time": rfc3339(t), "attributes": a} for n, t, a in span.events
                  if n not in MESSAGE_EVENTS
                  and not n.startswith(("gen_ai.choice", "gen_ai.content."))
                  and "gen_ai.input.messages" not in a]
        if events:
            meta["events"] = events
    return meta
