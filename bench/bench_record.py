"""Benchmarks of recording and import (not tests: run by hand).

    python bench/bench_record.py [--mb 120] [--runs 5] [--calls 300] [--tmp DIR]
                                 [--only import|recorder]

1. Import: generates OTLP JSON files of about --mb megabytes of agent runs
   in the GenAI conventions, in both forms the collector's file exporter
   writes (one pretty-printed document; one document of 100 spans per
   line), then times `korvane import otel` on each beside `json.loads` over
   the same bytes (the whole document, or each line), in alternating fresh
   processes so that each peak resident memory is its own.
2. Recorder: times --calls Chat Completions calls of the real openai client
   over a mock HTTP transport, plain and through Recorder.wrap, in
   alternating runs, and the cost of one record. Needs openai installed.

Medians of --runs runs (15 for the recorder), wall-clock time and CPU time
(user and system) side by side; the load average is printed before and
after, since other work on the machine slows the runs unevenly. The files
(inputs, outputs, the import's own temporary file) go to --tmp, the system's
temporary directory by default: give a memory file system to leave the
disk's speed out of the figures."""

from __future__ import annotations

import argparse
import itertools
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Iterator


def _attribute(key: str, value: object) -> dict[str, object]:
    if isinstance(value, int):
        return {"key": key, "value": {"intValue": str(value)}}
    if isinstance(value, list):
        return {"key": key, "value": {"arrayValue": {"values": [{"stringValue": v}
                                                                 for v in value]}}}
    return {"key": key, "value": {"stringValue": value}}


def agent_runs(rng: random.Random) -> Iterator[dict[str, object]]:
    """Spans of agent runs in the GenAI conventions, without end: each run
    is a trace with an invoke_agent span, then model calls that see the
    whole conversation so far (as instrumented clients record it) and the
    tool runs they ask for."""
    words = ["flight", "refund", "booking", "Paris", "weather", "policy", "agent", "customer",
             "réservation", "ticket", "upgrade", "baggage"]
    span_number, start = 0, 1_700_000_000_000_000_000

    def span(trace: str, parent: str, name: str, attrs: dict[str, object]) -> dict[str, object]:
        nonlocal span_number, start
        span_number += 1
        start += rng.randint(10**8, 2 * 10**9)
        return {"traceId": trace, "spanId": f"{span_number:016x}", "parentSpanId": parent,
                "name": name, "kind": 3, "startTimeUnixNano": str(start),
                "endTimeUnixNano": str(start + rng.randint(10**8, 3 * 10**9)),
                "attributes": [_attribute(k, v) for k, v in attrs.items()], "status": {}}

    def text(low: int, high: int) -> str:
        return " ".join(rng.choice(words) for _ in range(rng.randint(low, high)))

    for run in itertools.count():
        trace = f"{run + 1:032x}"
        root_id = f"{span_number + 1:016x}"
        yield span(trace, "", "invoke_agent support", {
            "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "support",
            "gen_ai.conversation.id": f"task-{run}"})
        history: list[object] = [
            {"role": "system", "parts": [{"type": "text", "content": text(40, 80)}]},
            {"role": "user", "parts": [{"type": "text", "content": text(10, 60)}]}]
        turns = rng.randint(4, 16)
        for turn in range(turns + 1):
            call_id = f"call_{run}_{turn}"
            arguments = {"query": text(2, 6), "limit": 5}
            if turn < turns:
                parts: list[object] = [{"type": "text", "content": text(5, 30)}, {
                    "type": "tool_call", "id": call_id, "name": "search", "arguments": arguments}]
                finish = "tool_calls"
            else:
                parts, finish = [{"type": "text", "content": text(50, 300)}], "stop"
            answer = {"role": "assistant", "parts": parts, "finish_reason": finish}
            yield span(trace, root_id, "chat gpt-4o", {
                "gen_ai.operation.name": "chat", "gen_ai.request.model": "gpt-4o",
                "gen_ai.response.model": "gpt-4o-2024-08-06",
                "gen_ai.usage.input_tokens": rng.randint(500, 20000),
                "gen_ai.usage.output_tokens": rng.randint(10, 500),
                "gen_ai.response.finish_reasons": [finish],
                "gen_ai.input.messages": json.dumps(history),
                "gen_ai.output.messages": json.dumps([answer])})
            if turn == turns:
                break
            result = text(20, 200)
            yield span(trace, root_id, "execute_tool search", {
                "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "search",
                "gen_ai.tool.call.id": call_id,
                "gen_ai.tool.call.arguments": json.dumps(arguments),
                "gen_ai.tool.call.result": result})
            history += [answer, {"role": "tool", "parts": [{
                "type": "tool_call_response", "id": call_id, "response": result}]}]


def generate(path: str, megabytes: int, form: str) -> None:
    """An OTLP JSON file of about `megabytes` of agent runs: one
    pretty-printed resourceSpans document ("document"), or one document of
    100 spans per line as the collector's file exporter writes ("lines")."""
    spans = agent_runs(random.Random(1))
    head = {"resource": {"attributes": [_attribute("service.name", "bench")]},
            "scope": {"name": "bench"}}
    with open(path, "w", encoding="utf-8") as out:
        size, separator = 0, ""
        if form == "document":
            out.write('{\n  "resourceSpans": [{\n    "resource": ' + json.dumps(head["resource"])
                      + ',\n    "scopeSpans": [{\n      "scope": ' + json.dumps(head["scope"])
                      + ',\n      "spans": [\n')
        while size < megabytes << 20:
            if form == "document":
                text = separator + json.dumps(next(spans), indent=2)
                separator = ",\n"
            else:
                batch = list(itertools.islice(spans, 100))
                text = json.dumps({"resourceSpans": [{"resource": head["resource"], "scopeSpans": [
                    {"scope": head["scope"], "spans": batch}]}]}) + "\n"
            out.write(text)
            size += len(text)
        if form == "document":
            out.write("\n      ]\n    }]\n  }]\n}\n")


# Each child prints its wall-clock time, CPU time and peak resident memory.
CHILD_IMPORT = """
import sys, time, resource
from korvane.importers import import_traces
wall, cpu = time.perf_counter(), time.process_time()
import_traces("otel", [sys.argv[1]], sys.argv[2], quiet=True)
print(time.perf_counter() - wall, time.process_time() - cpu,
      resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""
CHILD_JSON = """
import sys, time, json, resource
wall, cpu = time.perf_counter(), time.process_time()
with open(sys.argv[1], "rb") as f:
    if sys.argv[2] == "document":
        json.loads(f.read())
    else:
        for line in f:
            json.loads(line)
print(time.perf_counter() - wall, time.process_time() - cpu,
      resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def child(code: str, *args: str) -> tuple[float, float, float]:
    out = subprocess.run([sys.executable, "-c", code, *args], check=True, capture_output=True,
                         text=True, env=dict(os.environ, TMPDIR=tempfile.gettempdir())
                         ).stdout.split()
    return float(out[0]), float(out[1]), int(out[2]) / 1024


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def bench_import(megabytes: int, runs: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        for form in ("document", "lines"):
            source = os.path.join(tmp, f"otlp-{form}.json")
            generate(source, megabytes, form)
            size = os.path.getsize(source) / 1e6
            print(f"OTLP JSON, {form} form, {size:.0f} MB (load average {load()})")
            results: dict[str, list[tuple[float, float, float]]] = {"korvane": [], "json": []}
            for _ in range(runs):
                results["json"].append(child(CHILD_JSON, source, form))
                out = os.path.join(tmp, "out") + os.sep
                results["korvane"].append(child(CHILD_IMPORT, source, out))
                traces = len(os.listdir(out))
                shutil.rmtree(out)
            medians = {name: (statistics.median(r[0] for r in rs), statistics.median(r[1] for r in rs),
                              max(r[2] for r in rs)) for name, rs in results.items()}
            for name, label in (("korvane", f"korvane import otel ({traces} traces)"),
                                ("json", "json.loads")):
                wall, cpu, peak = medians[name]
                print(f"  {label:34s} {wall:6.2f} s wall ({size / wall:5.1f} MB/s)  "
                      f"{cpu:6.2f} s CPU  peak {peak:4.0f} MiB")
            print(f"  ratio {medians['korvane'][0] / medians['json'][0]:.2f}x wall, "
                  f"{medians['korvane'][1] / medians['json'][1]:.2f}x CPU  (load average {load()})")


def bench_recorder(calls: int) -> None:
    import httpx2
    import openai

    from korvane.record import Recorder
    body = {"id": "c", "object": "chat.completion", "created": 1, "model": "gpt-4o",
            "choices": [{"index": 0, "finish_reason": "stop", "message": {
                "role": "assistant", "content": "word " * 200}}],
            "usage": {"prompt_tokens": 900, "completion_tokens": 200, "total_tokens": 1100}}
    content = json.dumps(body).encode()
    transport = httpx2.MockTransport(lambda request: httpx2.Response(
        200, content=content, headers={"content-type": "application/json"}))
    client = openai.OpenAI(api_key="x", http_client=httpx2.Client(transport=transport))
    messages = [{"role": "system", "content": "You are helpful. " * 100},
                {"role": "user", "content": "Tell me about Paris. " * 20}]
    print(f"Chat Completions calls over a mock transport (load average {load()})")
    with tempfile.TemporaryDirectory() as tmp:
        recorder = Recorder(os.path.join(tmp, "run.agentlog"))
        wrapped = recorder.wrap(client)

        def run(target: object) -> tuple[float, float]:
            create = target.chat.completions.create  # type: ignore[attr-defined]
            wall, cpu = time.perf_counter(), time.thread_time()
            for _ in range(calls):
                create(model="gpt-4o", messages=messages)
            return (time.perf_counter() - wall) / calls, (time.thread_time() - cpu) / calls

        run(client), run(wrapped)  # warm up
        plain, recorded = [], []
        for _ in range(RECORDER_RUNS):
            plain.append(run(client))
            recorded.append(run(wrapped))
        payload = {"model": "gpt-4o", "messages": messages}
        start = time.perf_counter()
        for _ in range(calls):
            recorder.record("chat_request", payload)
        per_record = (time.perf_counter() - start) / calls
        recorder.close()
    print(f"  median of {RECORDER_RUNS} alternating runs of {calls} calls each")
    for index, clock in enumerate(("wall", "CPU")):
        p = statistics.median(r[index] for r in plain)
        r = statistics.median(r[index] for r in recorded)
        print(f"  {clock:4s} plain {p * 1e6:7.1f} µs a call, recorded {r * 1e6:7.1f} µs "
              f"(+{(r - p) * 1e6:.1f} µs, {100 * (r - p) / p:+.1f}%, two records)")
    print(f"  one record (chat_request of {len(json.dumps(payload))} bytes), alone: "
          f"{per_record * 1e6:.1f} µs  (load average {load()})")


# Alternating runs of plain and recorded calls; their medians are compared.
RECORDER_RUNS = 15


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--mb", type=int, default=120)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--calls", type=int, default=300)
    parser.add_argument("--only", choices=("import", "recorder"))
    parser.add_argument("--tmp", help="directory for the files (default: the system's)")
    args = parser.parse_args()
    if args.tmp:
        tempfile.tempdir = args.tmp
    if args.only != "import":
        bench_recorder(args.calls)
    if args.only != "recorder":
        bench_import(args.mb, args.runs)
