"""A small tool-using agent, recorded twice and diffed: no network needed.

    pip install 'korvane[openai]'
    python examples/record_agent.py [OUTDIR]

The agent answers a weather question with the real openai client; a mock
HTTP transport plays the model. The baseline model calls the get_weather
tool and then answers; the candidate "model" skips the tool, answers at
length and reports more tokens. Each run is recorded with
korvane.record.Recorder into OUTDIR (a temporary directory by default),
then `korvane diff` compares them: it reports the dropped tool call and the
cost increase."""

from __future__ import annotations

import json
import sys
import tempfile
from pathlib import Path
from typing import Any

import httpx2
import openai

from korvane.cli import main as korvane_cli
from korvane.record import Recorder

TOOLS = [{"type": "function", "function": {
    "name": "get_weather", "description": "Current weather of a city",
    "parameters": {"type": "object", "properties": {"city": {"type": "string"}},
                   "required": ["city"]}}}]


def fake_model(uses_tool: bool) -> httpx2.MockTransport:
    """The model behind the mock transport: a chat.completion per request."""
    def reply(request: httpx2.Request) -> httpx2.Response:
        body = json.loads(request.content)
        has_result = any(m.get("role") == "tool" for m in body["messages"])
        if uses_tool and not has_result:
            message: dict[str, Any] = {"role": "assistant", "content": None, "tool_calls": [{
                "id": "call_1", "type": "function",
                "function": {"name": "get_weather", "arguments": '{"city": "Paris"}'}}]}
            finish, usage = "tool_calls", (420, 18)
        elif uses_tool:
            message = {"role": "assistant", "content": "It is 18 °C and sunny in Paris."}
            finish, usage = "stop", (470, 12)
        else:
            message = {"role": "assistant", "content": "Paris usually enjoys mild weather; "
                       "without checking I would guess it is pleasant, perhaps around 20 °C, "
                       "but please consult a forecast before you go out."}
            finish, usage = "stop", (430, 160)
        return httpx2.Response(200, json={
            "id": "chatcmpl-1", "object": "chat.completion", "created": 1746176400,
            "model": body["model"], "choices": [{"index": 0, "message": message,
                                                 "finish_reason": finish}],
            "usage": {"prompt_tokens": usage[0], "completion_tokens": usage[1],
                      "total_tokens": sum(usage)}})
    return httpx2.MockTransport(reply)


def run_agent(path: Path, model: str, uses_tool: bool) -> None:
    with Recorder(path, task_id="weather-paris", agent="weather-bot",
                  tags={"model": model}) as recorder:
        client: Any = recorder.wrap(openai.OpenAI(
            api_key="not-needed", http_client=httpx2.Client(transport=fake_model(uses_tool))))

        @recorder.tool
        def get_weather(city: str) -> str:
            return f"18 °C, sunny in {city}"

        messages: list[dict[str, Any]] = [{"role": "user", "content": "What's the weather in Paris?"}]
        while True:
            reply = client.chat.completions.create(model=model, messages=messages, tools=TOOLS)
            message = reply.choices[0].message
            if not message.tool_calls:
                print(f"{model}: {message.content}")
                return
            messages.append(message.model_dump(exclude_none=True))
            for call in message.tool_calls:
                result = get_weather(**json.loads(call.function.arguments))
                messages.append({"role": "tool", "tool_call_id": call.id, "content": result})


def main() -> int:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp(prefix="korvane-"))
    out.mkdir(parents=True, exist_ok=True)
    run_agent(out / "baseline.agentlog", "small-model", uses_tool=True)
    run_agent(out / "candidate.agentlog", "small-model", uses_tool=False)
    (out / "pricing.json").write_text('{"small-model": [0.0000004, 0.0000016]}')
    return korvane_cli(["diff", str(out / "baseline.agentlog"), str(out / "candidate.agentlog"),
                        "--pricing", str(out / "pricing.json"), "--seed", "1"])


if __name__ == "__main__":
    sys.exit(main())
