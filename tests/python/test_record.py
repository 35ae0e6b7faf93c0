"""Recording live runs: the real openai and anthropic clients with only their
HTTP layer replaced, tools, errors, failures of the disk, concurrent writers
and a process killed mid-run."""

import asyncio
import errno
import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import anthropic
import httpx2
import openai
import pytest

import korvane
import korvane.record as record_module
from korvane._trace_writer import rfc3339
from korvane.record import Recorder, RecordingError

SAMPLES = json.loads((Path(__file__).parents[1] / "data/record/api_samples.json").read_text())


def _sse(events, named):
    body = "".join((f"event: {name}\n" if named else "") + f"data: {json.dumps(data)}\n\n"
                   for name, data in events)
    return body + ("" if named else "data: [DONE]\n\n")


def handler(request):
    body = json.loads(request.content)
    route = request.url.path.rsplit("/", 1)[-1]
    if body.get("model") == "no-such-model":
        return httpx2.Response(404, json={"type": "error", "error": {
            "type": "not_found_error", "message": "model not found"}})
    if body.get("stream"):
        events = {"completions": [("", c) for c in SAMPLES["chat_chunks"]],
                  "responses": SAMPLES["responses_events"],
                  "messages": SAMPLES["messages_events"]}[route]
        return httpx2.Response(200, text=_sse(events, route != "completions"),
                               headers={"content-type": "text/event-stream"})
    return httpx2.Response(200, json={"completions": SAMPLES["chat"], "responses": SAMPLES["responses"],
                                      "messages": SAMPLES["messages"]}[route])


def client(sdk, is_async):
    transport = httpx2.MockTransport(handler)
    http = httpx2.AsyncClient(transport=transport) if is_async else httpx2.Client(transport=transport)
    classes = {"openai": (openai.OpenAI, openai.AsyncOpenAI),
               "anthropic": (anthropic.Anthropic, anthropic.AsyncAnthropic)}[sdk]
    return classes[is_async](api_key="test", http_client=http, max_retries=0)


OPENAI_USAGE = {"input_tokens": 60, "output_tokens": 20, "cached_input_tokens": 40,
                "cached_write_5m_tokens": 0, "cached_write_1h_tokens": 0, "thinking_tokens": 10}
CHECK = {"type": "text", "text": "Let me check."}
THOUGHT = "Weather needs a tool."
# (sdk, method path, arguments, expected chat_response payload without latency_ms)
CALLS = [
    ("openai", "chat.completions.create",
     {"model": "gpt-4o", "messages": [{"role": "user", "content": "Weather in Paris?"}]},
     {"model": "gpt-4o-2024-08-06", "stop_reason": "tool_use", "usage": OPENAI_USAGE, "content": [
         CHECK, {"type": "tool_use", "id": "call_1", "name": "get_weather", "input": {"city": "Paris"}}]}),
    ("openai", "responses.create", {"model": "gpt-5", "input": "Weather in Paris?"},
     {"model": "gpt-5-2025-08-07", "stop_reason": "tool_use", "usage": OPENAI_USAGE, "content": [
         {"type": "thinking", "thinking": THOUGHT}, CHECK,
         {"type": "tool_use", "id": "call_1", "name": "get_weather", "input": {"city": "Paris"}}]}),
    ("anthropic", "messages.create",
     {"model": "claude-sonnet-4-5", "max_tokens": 512,
      "messages": [{"role": "user", "content": "Weather in Paris?"}]},
     {"model": "claude-sonnet-4-5-20250929", "stop_reason": "tool_use",
      "usage": {"input_tokens": 50, "output_tokens": 25, "cached_input_tokens": 30,
                "cached_write_5m_tokens": 10, "cached_write_1h_tokens": 5, "thinking_tokens": 15},
      "content": [{"type": "thinking", "thinking": THOUGHT, "signature": "sig"}, CHECK,
                  {"type": "tool_use", "id": "toolu_1", "name": "get_weather",
                   "input": {"city": "Paris"}}]}),
]


def read(path):
    return korvane.parse_agentlog(Path(path).read_bytes())


def method(wrapped, path):
    for name in path.split("."):
        wrapped = getattr(wrapped, name)
    return wrapped


async def call_async(create, kwargs, stream):
    if not stream:
        return await create(**kwargs)
    return [event async for event in await create(**kwargs, stream=True)]


@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
@pytest.mark.parametrize("stream", [False, True], ids=["whole", "streamed"])
@pytest.mark.parametrize("sdk,path,kwargs,expected", CALLS, ids=[c[1] for c in CALLS])
def test_model_calls(tmp_path, sdk, path, kwargs, expected, stream, is_async):
    with Recorder(tmp_path / "run.agentlog", task_id="t1", agent="bot", tags={"v": 2}) as recorder:
        create = method(recorder.wrap(client(sdk, is_async)), path)
        if is_async:
            result = asyncio.run(call_async(create, kwargs, stream))
        else:
            result = list(create(**kwargs, stream=True)) if stream else create(**kwargs)
    if stream:   # every event reaches the caller, as the SDK parsed it
        events = {"chat.completions.create": "chat_chunks", "responses.create": "responses_events",
                  "messages.create": "messages_events"}[path]
        assert len(result) == len(SAMPLES[events])
    else:
        assert type(result).__name__ == {"openai": "ChatCompletion", "anthropic": "Message"}.get(
            sdk if path != "responses.create" else "", "Response")
    meta, request, response = read(tmp_path / "run.agentlog")
    assert meta["kind"] == "metadata" and meta["payload"]["task_id"] == "t1"
    assert meta["payload"]["tags"] == {"v": 2}
    assert request["kind"] == "chat_request" and request["parent"] == meta["id"]
    assert request["payload"]["model"] == kwargs["model"]
    assert response["parent"] == request["id"] and response["kind"] == "chat_response"
    latency = response["payload"].pop("latency_ms")
    assert isinstance(latency, float) and latency >= 0
    assert response["payload"] == expected
    assert meta["id"] < request["id"] < response["id"]
    assert response["ts"].endswith("Z") and response["ts"][10] == "T"


def test_anthropic_stream_helper(tmp_path):
    with Recorder(tmp_path / "run.agentlog") as recorder:
        wrapped = recorder.wrap(client("anthropic", False))
        with wrapped.messages.stream(**CALLS[2][2]) as stream:
            text = "".join(stream.text_stream)
    assert text == "Let me check."
    response = read(tmp_path / "run.agentlog")[2]["payload"]
    del response["latency_ms"]
    assert response == CALLS[2][3]


@pytest.mark.parametrize("sdk,path,kwargs", [(sdk, p, k) for sdk, p, k, _ in CALLS]
                         + [("anthropic", "messages.stream", CALLS[2][2])])
def test_failed_call_raises_the_sdk_error_and_records_it(tmp_path, sdk, path, kwargs):
    with Recorder(tmp_path / "run.agentlog") as recorder:
        with pytest.raises((openai.NotFoundError, anthropic.NotFoundError)) as raised:
            result = method(recorder.wrap(client(sdk, False)), path)(
                **{**kwargs, "model": "no-such-model"})
            with result:    # messages.stream sends its request on entry
                pass
    assert type(raised.value).__module__.startswith(sdk)
    _, request, error = read(tmp_path / "run.agentlog")
    assert error["kind"] == "error" and error["parent"] == request["id"]
    assert error["payload"]["type"] == "NotFoundError"


def test_sdk_objects_in_the_arguments_are_recorded_as_json(tmp_path):
    earlier = openai.types.chat.ChatCompletionMessage(role="assistant", content="Sunny.")
    with Recorder(tmp_path / "run.agentlog") as recorder:
        recorder.wrap(client("openai", False)).chat.completions.create(
            model="gpt-4o", messages=[{"role": "user", "content": "Weather?"}, earlier])
    messages = read(tmp_path / "run.agentlog")[1]["payload"]["messages"]
    assert messages[0] == {"role": "user", "content": "Weather?"}
    assert (messages[1]["role"], messages[1]["content"]) == ("assistant", "Sunny.")


@pytest.mark.parametrize("nanos,text", [
    (0, "1970-01-01T00:00:00.000Z"),
    (951_782_400_123_456_789, "2000-02-29T00:00:00.123Z"),
    (1_746_176_399_999_999_999, "2025-05-02T08:59:59.999Z"),
    (2**64 - 1, "2554-07-21T23:34:33.709Z")])
def test_times_are_rfc3339_utc_with_milliseconds(nanos, text):
    assert rfc3339(nanos) == text


def test_tools_by_decorator_and_context_manager(tmp_path):
    with Recorder(tmp_path / "run.agentlog") as recorder:
        @recorder.tool
        def add(a, b=0):
            return {"sum": a + b}

        @recorder.tool(name="lookup")
        async def find(key):
            raise KeyError(key)

        assert add(2, b=3) == {"sum": 5}
        with pytest.raises(KeyError):
            asyncio.run(find("x"))
        with recorder.tool_call("search", {"q": "paris"}, id="call_9") as call:
            call.result(["a", "b"])
    records = read(tmp_path / "run.agentlog")[1:]
    assert [(r["kind"], r["payload"]) for r in records] == [
        ("tool_call", {"name": "add", "input": {"a": 2, "b": 3}}),
        ("tool_result", {"name": "add", "input": {"a": 2, "b": 3}, "output": {"sum": 5}}),
        ("tool_call", {"name": "lookup", "input": {"key": "x"}}),
        ("error", {"type": "KeyError", "message": "'x'", "origin": "tool lookup"}),
        ("tool_call", {"id": "call_9", "name": "search", "input": {"q": "paris"}}),
        ("tool_result", {"tool_use_id": "call_9", "name": "search", "input": {"q": "paris"},
                         "output": ["a", "b"]})]
    assert records[1]["parent"] == records[0]["id"] and records[3]["parent"] == records[2]["id"]


def nested(levels):
    value = "x"
    for _ in range(levels):
        value = [value]
    return value


def test_unreadable_values_fail_at_recording_time(tmp_path):
    # The record and its payload object are two of the reader's 127 levels.
    with Recorder(tmp_path / "run.agentlog") as recorder:
        with pytest.raises(RecordingError, match="recursion limit"):
            recorder.record("tool_result", {"output": nested(126)})
        with pytest.raises(RecordingError, match="line limit"):
            recorder.record("tool_result", {"output": "x" * (16 << 20)})
        recorder.record("tool_result", {"output": nested(125)})
    assert len(read(tmp_path / "run.agentlog")) == 2


def test_disk_full_leaves_no_partial_line(tmp_path, monkeypatch):
    recorder = Recorder(tmp_path / "run.agentlog")
    real_write = os.write

    def half_then_full(fd, data):
        if fd != recorder._fd:
            return real_write(fd, data)
        written = real_write(fd, bytes(data[:len(data) // 2]))
        monkeypatch.setattr(record_module.os, "write", failing)
        return written

    def failing(fd, data):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
    monkeypatch.setattr(record_module.os, "write", half_then_full)
    with pytest.raises(RecordingError, match="No space left on device"):
        recorder.record("tool_call", {"name": "t", "input": {}})
    monkeypatch.setattr(record_module.os, "write", real_write)
    with pytest.raises(RecordingError, match="earlier failure"):
        recorder.record("tool_call", {"name": "t", "input": {}})
    recorder.close()
    assert [r["kind"] for r in read(tmp_path / "run.agentlog")] == ["metadata"]


def test_threads_share_a_recorder(tmp_path):
    with Recorder(tmp_path / "run.agentlog", run_id="r") as recorder:
        def work(n):
            for i in range(50):
                recorder.record("tool_call", {"name": f"t{n}", "input": {"i": i}})
        threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    ids = [r["id"] for r in read(tmp_path / "run.agentlog")]
    assert ids == [f"r-{n:05d}" for n in range(1, 402)]


def test_killed_run_leaves_a_readable_trace(tmp_path):
    path = tmp_path / "run.agentlog"
    script = ("import sys\nfrom korvane.record import Recorder\n"
              "r = Recorder(sys.argv[1])\nt = r.tool(lambda x: {'y': [x] * 50})\n"
              "i = 0\nwhile True:\n    t(i); i += 1\n")
    child = subprocess.Popen([sys.executable, "-c", script, str(path)])
    try:
        while not path.exists() or path.stat().st_size < 200_000:
            time.sleep(0.01)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    records = read(path)
    assert len(records) > 100 and records[0]["kind"] == "metadata"


def test_importing_korvane_imports_no_integration():
    code = ("import sys, korvane, korvane.cli, korvane.record.openai, korvane.record.anthropic\n"
            "import korvane.importers.otel, korvane.importers.api_log\n"
            "print(sorted(m for m in ('openai', 'anthropic', 'opentelemetry', 'httpx2')"
            " if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_missing_sdk_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "opentelemetry.sdk.trace.export", None)
    monkeypatch.delitem(sys.modules, "korvane.otel", raising=False)
    with pytest.raises(ImportError, match=r"pip install 'korvane\[otel\]'"):
        import korvane.otel  # noqa: F401
