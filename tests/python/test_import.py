"""Importing OTLP JSON made by the real OpenTelemetry SDK, and API logs made
from the real SDKs' model_dump(); the span exporter; bad input; the diff of
imported runs."""

import base64
import json

import anthropic
import openai
import pytest
from google.protobuf.json_format import MessageToDict
from opentelemetry.exporter.otlp.proto.common.trace_encoder import encode_spans
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
from opentelemetry.trace import Status, StatusCode

import korvane
from korvane.importers import otel as otel_import
from korvane.cli import main
from korvane.errors import InputError
from korvane.importers import import_traces
from korvane.otel import AgentlogSpanExporter
from test_record import CALLS, SAMPLES, read


def agent_run(tracer, tool=True, output_tokens=20):
    """One agent turn in GenAI conventions: a model call asking for a tool,
    the tool, and a model call answering (without the tool when not `tool`)."""
    with tracer.start_as_current_span("invoke_agent bot", attributes={
            "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "bot"}):
        question = [{"role": "user", "parts": [{"type": "text", "content": "Weather in Paris?"}]}]
        if tool:
            call = {"type": "tool_call", "id": "c1", "name": "get_weather",
                    "arguments": {"city": "Paris"}}
            with tracer.start_as_current_span("chat gpt-4o", attributes={
                    "gen_ai.operation.name": "chat", "gen_ai.request.model": "gpt-4o",
                    "gen_ai.response.model": "gpt-4o-2024-08-06", "gen_ai.request.temperature": 0.5,
                    "gen_ai.usage.input_tokens": 100, "gen_ai.usage.output_tokens": 20,
                    "gen_ai.usage.cache_read.input_tokens": 30,
                    "gen_ai.response.finish_reasons": ["tool_calls"],
                    "gen_ai.input.messages": json.dumps(question),
                    "gen_ai.output.messages": json.dumps([{"role": "assistant", "parts": [call]}]),
                    "server.address": "api.example"}):
                pass
            with tracer.start_as_current_span("execute_tool get_weather", attributes={
                    "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "get_weather",
                    "gen_ai.tool.call.id": "c1", "gen_ai.tool.call.arguments": '{"city": "Paris"}',
                    "gen_ai.tool.call.result": "18 C"}):
                pass
        with tracer.start_as_current_span("chat gpt-4o", attributes={
                "gen_ai.operation.name": "chat", "gen_ai.request.model": "gpt-4o",
                "gen_ai.usage.input_tokens": 150, "gen_ai.usage.output_tokens": output_tokens,
                "gen_ai.response.finish_reasons": ["stop"]}) as span:
            span.add_event("gen_ai.client.inference.operation.details", {
                "gen_ai.output.messages": json.dumps([{"role": "assistant", "parts": [
                    {"type": "text", "content": "It is 18 C in Paris."}]}])})


def spans_of(*runs):
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    for run in runs:
        run(provider.get_tracer("test"))
    return exporter.get_finished_spans()


def otlp_json(spans):
    """The OTLP/JSON document of spans: the SDK's own protobuf encoding in
    the JSON mapping, with the ids in hex as OTLP/JSON writes them."""
    def hex_ids(value):
        if isinstance(value, dict):
            return {k: base64.b64decode(v).hex() if k in ("traceId", "spanId", "parentSpanId")
                    else hex_ids(v) for k, v in value.items()}
        return [hex_ids(v) for v in value] if isinstance(value, list) else value
    return hex_ids(MessageToDict(encode_spans(spans)))


@pytest.fixture
def run_file(tmp_path):
    path = tmp_path / "run.json"
    path.write_text(json.dumps(otlp_json(spans_of(agent_run)), indent=2))
    return path


def payloads(path):
    return [(r["kind"], r["payload"]) for r in read(path)[1:]]


def test_genai_spans(run_file, tmp_path):
    import_traces("otel", [str(run_file)], str(tmp_path / "out.agentlog"))
    records = read(tmp_path / "out.agentlog")
    assert records[0]["kind"] == "metadata" and records[0]["payload"]["agent"] == "bot"
    assert [r["kind"] for r in records[1:]] == ["chat_request", "chat_response", "tool_call",
                                               "tool_result", "chat_request", "chat_response"]
    request, response, call, result, _, answer = (r["payload"] for r in records[1:])
    assert request["params"] == {"temperature": 0.5}
    assert records[1]["meta"]["attributes"] == {"server.address": "api.example"}
    assert response["latency_ms"] >= 0 and records[2]["parent"] == records[1]["id"]
    del response["latency_ms"], answer["latency_ms"]
    assert response == {"model": "gpt-4o-2024-08-06", "stop_reason": "tool_use", "content": [
        {"type": "tool_use", "id": "c1", "name": "get_weather", "input": {"city": "Paris"}}],
        "usage": {"input_tokens": 70, "output_tokens": 20, "cached_input_tokens": 30,
                  "cached_write_5m_tokens": 0, "cached_write_1h_tokens": 0, "thinking_tokens": 0}}
    assert call == {"id": "c1", "name": "get_weather", "input": {"city": "Paris"}}
    assert result == {"tool_use_id": "c1", "name": "get_weather", "input": {"city": "Paris"},
                      "output": "18 C"}
    assert answer["content"] == [{"type": "text", "text": "It is 18 C in Paris."}]
    assert answer["stop_reason"] == "end_turn"


@pytest.mark.parametrize("form", ["lines", "resource last", "tiny chunks", "spilled",
                                  "partly spilled"])
def test_reading_forms_agree(run_file, tmp_path, monkeypatch, form):
    import_traces("otel", [str(run_file)], str(tmp_path / "whole.agentlog"))
    document = json.loads(run_file.read_text())
    resource = document["resourceSpans"][0]
    if form == "lines":
        scope = resource["scopeSpans"][0]
        lines = [{"resourceSpans": [dict(resource, scopeSpans=[dict(scope, spans=part)])]}
                 for part in (scope["spans"][:2], scope["spans"][2:])]
        run_file.write_text("".join(json.dumps(line) + "\n" for line in lines))
    elif form == "resource last":
        resource["resource"] = resource.pop("resource")
        run_file.write_text(json.dumps(document))
    elif form == "tiny chunks":
        monkeypatch.setattr(otel_import, "CHUNK_CHARS", 7)
        monkeypatch.setattr(otel_import, "READ_AHEAD_CHARS", 3)
    else:   # the first span's records alone pass the limit: the rest stay in memory
        monkeypatch.setattr(otel_import, "SPILL_BYTES", 0 if form == "spilled" else 1000)
    import_traces("otel", [str(run_file)], str(tmp_path / "other.agentlog"))
    assert (tmp_path / "other.agentlog").read_bytes() == (tmp_path / "whole.agentlog").read_bytes()


def test_openinference_and_event_forms(tmp_path):
    def run(tracer):
        with tracer.start_as_current_span("agent"):
            spans(tracer)

    def spans(tracer):
        with tracer.start_as_current_span("ChatOpenAI", attributes={
                "openinference.span.kind": "LLM", "llm.model_name": "gpt-4o-mini",
                "llm.input_messages.0.message.role": "user",
                "llm.input_messages.0.message.content": "hi",
                "llm.output_messages.0.message.role": "assistant",
                "llm.output_messages.0.message.content": "Checking.",
                "llm.output_messages.0.message.tool_calls.0.tool_call.id": "t1",
                "llm.output_messages.0.message.tool_calls.0.tool_call.function.name": "find",
                "llm.output_messages.0.message.tool_calls.0.tool_call.function.arguments": '{"q": 1}',
                "llm.token_count.prompt": 12, "llm.token_count.completion": 7,
                "llm.token_count.completion_details.reasoning": 3}):
            pass
        with tracer.start_as_current_span("chat", attributes={
                "gen_ai.system": "openai", "gen_ai.request.model": "gpt-4o"}) as span:
            span.add_event("gen_ai.user.message", {"content": "hi"})
            span.add_event("gen_ai.choice", {"finish_reason": "length", "message": json.dumps(
                {"role": "assistant", "content": "Cut"})})
            span.set_status(Status(StatusCode.OK))
        with tracer.start_as_current_span("find", attributes={
                "openinference.span.kind": "TOOL", "tool.name": "find"}) as span:
            span.set_status(Status(StatusCode.ERROR, "index offline"))
    (tmp_path / "in.json").write_text(json.dumps(otlp_json(spans_of(run))))
    import_traces("otel", [str(tmp_path / "in.json")], str(tmp_path / "out.agentlog"))
    records = payloads(tmp_path / "out.agentlog")
    for _, payload in records:
        payload.pop("latency_ms", None)
    assert records[0] == ("chat_request", {"model": "gpt-4o-mini",
                                           "messages": [{"role": "user", "content": "hi"}]})
    assert records[1] == ("chat_response", {"model": "gpt-4o-mini", "stop_reason": "tool_use", "content": [
        {"type": "text", "text": "Checking."},
        {"type": "tool_use", "id": "t1", "name": "find", "input": {"q": 1}}],
        "usage": {"input_tokens": 12, "output_tokens": 4, "cached_input_tokens": 0,
                  "cached_write_5m_tokens": 0, "cached_write_1h_tokens": 0, "thinking_tokens": 3}})
    assert records[2][1]["messages"] == [{"content": "hi", "role": "user"}]
    assert records[3] == ("chat_response", {"model": "gpt-4o", "stop_reason": "max_tokens",
                                            "content": [{"type": "text", "text": "Cut"}]})
    assert records[4] == ("tool_call", {"name": "find", "input": None})
    assert records[5] == ("error", {"type": "error", "message": "index offline",
                                    "origin": "span find"})


def test_several_traces_need_a_directory(tmp_path):
    spans = spans_of(agent_run, agent_run)
    (tmp_path / "in.json").write_text(json.dumps(otlp_json(spans)))
    with pytest.raises(InputError, match="holds 2 traces .* give a directory"):
        import_traces("otel", [str(tmp_path / "in.json")], str(tmp_path / "out.agentlog"))
    assert not (tmp_path / "out.agentlog").exists()
    written = import_traces("otel", [str(tmp_path / "in.json")], str(tmp_path / "out") + "/")
    trace_ids = {format(s.context.trace_id, "032x") for s in spans}
    assert sorted(written) == sorted(str(tmp_path / "out" / f"{t}.agentlog") for t in trace_ids)


GOOD_SPAN = '{"traceId": "5b8efff798038103d269b633813fc60c", "spanId": "eee19b7ec3c1b174"'
BAD_INPUTS = [
    ("otel", "[1, 2]\n", ":1: expected an OTLP JSON object"),
    ("otel", '{"resourceSpans": [{"scopeSpans": [{"spans": [\n' + GOOD_SPAN + '},\n'
     '{"traceId": "5b8efff798038103d269b633813fc60c", "spanId": "xyz"}]}]}]}',
     ':3: span without a valid spanId'),
    ("otel", '{"resourceSpans": [{"scopeSpans": [{"spans": [' + GOOD_SPAN.replace("5b8e", "zz")
     + '}]}]}]}', ":1: span eee19b7ec3c1b174: invalid traceId"),
    ("otel", '{"resourceSpans": [{"scopeSpans": [{"spans": [\n' + GOOD_SPAN + ', }]}]}]}',
     ":2: invalid JSON"),
    ("otel", '{"resourceSpans": [\n', ":2: expected an object, found 'end of file'"),
    ("otel", '{"resourceSpans": [{"scopeSpans": [{"spans": [\n' + '[' * 100000,
     ":2: invalid JSON: nested too deeply"),
    ("otel", '{"resourceSpans": [{"scopeSpans": [{"spans": [' + GOOD_SPAN + '},\n'
     + GOOD_SPAN + '}]}]}]}', ": span eee19b7ec3c1b174 appears twice in trace 5b8e"),
    ("otel", '{"resourceSpans": [{"scopeSpans": [{"spans": [' + GOOD_SPAN
     + ', "startTimeUnixNano": "-1"}]}]}]}', ":1: span eee19b7ec3c1b174: time out of range"),
    ("otel", '{"resourceSpans": [{"scopeSpans": [{"spans": [' + GOOD_SPAN + ', "attributes": ['
     '{"key": "gen_ai.operation.name", "value": {"stringValue": "chat"}}, {"key": '
     '"gen_ai.output.messages", "value": {"stringValue": "[{\\"parts\\": 5}]"}}]}]}]}]}',
     ": span eee19b7ec3c1b174: unexpected shape of a value"),
    ("openai", '{"request": {}, "response": {"choices": [1]}}\n', ":1: unexpected shape of a value"),
    ("openai", '{"request": {}, "response": {}}\n\n{"request": {}, "response": 3}\n',
     ':3: "response" must be an object'),
    ("anthropic", '{"request": {}, "response": {}}\n{"request": {}\n', ":2: invalid JSON"),
]


@pytest.mark.parametrize("format,content,message", BAD_INPUTS)
def test_bad_input_names_file_and_line(tmp_path, capsys, format, content, message):
    (tmp_path / "in.txt").write_text(content)
    out = tmp_path / "out.agentlog"
    assert main(["import", format, str(tmp_path / "in.txt"), "-o", str(out)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"korvane: {tmp_path / 'in.txt'}") and message in err
    assert err.count("\n") == 1 and not out.exists()
    assert list(tmp_path.iterdir()) == [tmp_path / "in.txt"]


def otlp_text(span_members):
    return '{"resourceSpans": [{"scopeSpans": [{"spans": [' + GOOD_SPAN + span_members + '}]}]}]}'


@pytest.mark.parametrize("format,content,index,path,expected", [
    # JSON text nested too deeply to decode is kept as the text it is.
    ("otel", otlp_text(', "attributes": [{"key": "gen_ai.operation.name", "value": {"stringValue":'
                       ' "execute_tool"}}, {"key": "gen_ai.tool.call.arguments", "value": '
                       '{"stringValue": "' + "[" * 5000 + '"}}]'), 1, "payload.input", "[" * 5000),
    ("openai", '{"request": {}, "response": {"choices": [{"message": {"tool_calls": [{"function":'
     ' {"arguments": "' + "[" * 5000 + '"}}]}}]}}', 2, "payload.content.0.arguments", "[" * 5000),
    # A creation time past the year 9999 is no time: the trace's start is used.
    ("openai", '{"request": {}, "response": {"created": 1e300}}', 0, "ts",
     "1970-01-01T00:00:00.000Z"),
])
def test_odd_values_are_kept(tmp_path, format, content, index, path, expected):
    (tmp_path / "in.txt").write_text(content + "\n")
    import_traces(format, [str(tmp_path / "in.txt")], str(tmp_path / "out.agentlog"))
    value = read(tmp_path / "out.agentlog")[index]
    for key in path.split("."):
        value = value[int(key)] if key.isdigit() else value[key]
    assert value == expected


def test_api_logs(tmp_path):
    # Each line as the application would log it: the call's keyword
    # arguments and the SDK's model_dump() of what it returned.
    logs = {"openai": [(CALLS[0], openai.types.chat.ChatCompletion.model_validate(SAMPLES["chat"])),
                       (CALLS[1], openai.types.responses.Response.model_validate(SAMPLES["responses"]))],
            "anthropic": [(CALLS[2], anthropic.types.Message.model_validate(SAMPLES["messages"]))]}
    for format, calls in logs.items():
        path = tmp_path / f"{format}.jsonl"
        path.write_text("".join(json.dumps({"request": call[2], "response": obj.model_dump(),
                                            "latency_ms": 812.5}) + "\n" for call, obj in calls))
        import_traces(format, [str(path)], str(tmp_path / f"{format}.agentlog"))
        records = payloads(tmp_path / f"{format}.agentlog")
        assert [kind for kind, _ in records] == ["chat_request", "chat_response"] * len(calls)
        for (call, _), (_, request), (_, response) in zip(calls, records[::2], records[1::2]):
            assert request["model"] == call[2]["model"]
            assert response == {**call[3], "latency_ms": 812.5}


def test_exporter_writes_what_import_reads(run_file, tmp_path):
    provider = TracerProvider()
    exporter = AgentlogSpanExporter(tmp_path / "exported.agentlog", task_id="t", agent="bot")
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    agent_run(provider.get_tracer("test"))
    provider.shutdown()
    import_traces("otel", [str(run_file)], str(tmp_path / "imported.agentlog"))
    exported, imported = payloads(tmp_path / "exported.agentlog"), payloads(tmp_path / "imported.agentlog")
    for _, payload in exported + imported:
        payload.pop("latency_ms", None)
    assert exported == imported
    assert read(tmp_path / "exported.agentlog")[0]["payload"]["task_id"] == "t"


def test_diff_of_imported_runs_sees_the_planted_change(tmp_path, capsys):
    for name, run in (("base", agent_run), ("cand", lambda t: agent_run(t, False, 400))):
        (tmp_path / f"{name}.json").write_text(json.dumps(otlp_json(spans_of(run))))
        assert main(["import", "otel", str(tmp_path / f"{name}.json"), "-q",
                     "-o", str(tmp_path / f"{name}.agentlog")]) == 0
    prices = [0.0000025, 0.00001]
    (tmp_path / "prices.json").write_text(json.dumps({"gpt-4o": prices, "gpt-4o-2024-08-06": prices}))
    capsys.readouterr()
    status = main(["diff", str(tmp_path / "base.agentlog"), str(tmp_path / "cand.agentlog"),
                   "--pricing", str(tmp_path / "prices.json"), "--seed", "1", "--json"])
    report = json.loads(capsys.readouterr().out)
    assert status == 1
    assert report["recommendations"][0]["rationale"] == \
        "candidate dropped a turn with 1 tool call (baseline turn #0 has no counterpart)"
    cost = next(row for row in report["rows"] if row["axis"] == "cost")
    # 70 input, 30 cached and 20 output tokens become 150 input and 400 output tokens.
    assert cost["delta"] == pytest.approx(150 * 0.0000025 + 400 * 0.00001
                                          - (70 * 0.0000025 + 30 * 0.0000025 + 20 * 0.00001))
