"""The parts of a chat_response that every mapping builds the same way.

`make_request` makes every chat_request payload. The envelope's six usage counts are disjoint: the cost axis prices cached,
cache-write and thinking tokens on top of input and output tokens, so an
API's inclusive totals are cut down by `disjoint_usage`. Tool calls whose
arguments arrive as JSON text become tool_use blocks through `tool_use`."""

from __future__ import annotations

import json
from typing import Any


def count(value: Any) -> int:
    """A token count as the API gave it; 0 when absent or not an integer."""
    return value if isinstance(value, int) and not isinstance(value, bool) else 0


def disjoint_usage(total_in: int, cached: int, write_short: int, write_long: int,
                   total_out: int, reasoning: int) -> dict[str, int]:
    """Envelope usage from inclusive input and output totals."""
    return {"input_tokens": max(total_in - cached - write_short - write_long, 0),
            "output_tokens": max(total_out - reasoning, 0),
            "cached_input_tokens": cached, "cached_write_5m_tokens": write_short,
            "cached_write_1h_tokens": write_long, "thinking_tokens": reasoning}


def make_request(args: dict[str, Any], messages: list[Any],
                 consumed: tuple[str, ...]) -> dict[str, Any]:
    """A chat_request payload: the model, the messages, the tools, and the
    call's other arguments (those not in `consumed`) as "params"."""
    payload: dict[str, Any] = {"model": args.get("model"), "messages": messages}
    if args.get("tools"):
        payload["tools"] = args["tools"]
    params = {k: v for k, v in args.items() if k not in consumed}
    if params:
        payload["params"] = params
    return payload


def arguments_input(arguments: Any) -> dict[str, Any]:
    """The "input" of a tool_use block from a call's JSON argument text;
    text that is not a JSON object is kept as "arguments" beside an empty
    input."""
    try:
        parsed = json.loads(arguments) if isinstance(arguments, str) and arguments else {}
    except (ValueError, RecursionError):
        parsed = None
    if isinstance(parsed, dict):
        return {"input": parsed}
    return {"input": {}, "arguments": arguments}


def tool_use(call_id: Any, name: Any, arguments: Any) -> dict[str, Any]:
    """A tool_use block from a call whose arguments are JSON text."""
    return {"type": "tool_use", "id": call_id, "name": name, **arguments_input(arguments)}
