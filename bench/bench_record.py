"""Benchmarks of recording and import (not tests: run by hand).

    python bench/bench_record.py [--mb 120] [--calls 300]

1. Import: generates an OTLP JSON file (one resourceSpans document, GenAI
   spans of 1000-span traces with messages) of about --mb megabytes, then
   times `korvane import otel` on it and `json.loads` over the same bytes,
   each in a fresh process so that its peak resident memory is its own.
2. Recorder: times --calls Chat Completions calls of the real openai client
   over a mock HTTP transport, plain and through Recorder.wrap, and the
   cost of one record. Needs openai installed.

Medians of 15 alternating runs (3 for the import), wall-clock time."""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time


def generate(path: str, megabytes: int) -> None:
    rng = random.Random(1)
    words = ["flight", "refund", "booking", "Paris", "weather", "policy", "agent", "customer",
             "réservation", "ticket", "upgrade", "baggage"]
    with open(path, "w", encoding="utf-8") as out:
        out.write('{"resourceSpans": [{"resource": {"attributes": [{"key": "service.name", '
                  '"value": {"stringValue": "bench"}}]}, "scopeSpans": [{"scope": {"name": '
                  '"bench"}, "spans": [')
        size, n, first = 0, 0, True
        while size < megabytes << 20:
            trace = f"{n // 1000:032x}"
            start = 1_700_000_000_000_000_000 + n * 1_000_000_000
            text = " ".join(rng.choice(words) for _ in range(rng.randint(50, 400)))
            if n % 3 == 2:
                attrs = {"gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "search",
                         "gen_ai.tool.call.id": f"c{n}", "gen_ai.tool.call.arguments": '{"q": "x"}',
                         "gen_ai.tool.call.result": text}
            else:
                attrs = {"gen_ai.operation.name": "chat", "gen_ai.request.model": "gpt-4o",
                         "gen_ai.usage.input_tokens": rng.randint(100, 5000),
                         "gen_ai.usage.output_tokens": rng.randint(10, 500),
                         "gen_ai.response.finish_reasons": ["stop"],
                         "gen_ai.input.messages": json.dumps([{"role": "user", "parts": [
                             {"type": "text", "content": text}]}]),
                         "gen_ai.output.messages": json.dumps([{"role": "assistant", "parts": [
                             {"type": "text", "content": text[::-1]}]}])}
            span = {"traceId": trace, "spanId": f"{n + 1:016x}", "parentSpanId": "",
                    "name": "span", "kind": 3, "startTimeUnixNano": str(start),
                    "endTimeUnixNano": str(start + rng.randint(10**8, 3 * 10**9)),
                    "attributes": [{"key": k, "value": {"intValue": str(v)} if isinstance(v, int)
                                    else {"arrayValue": {"values": [{"stringValue": s} for s in v]}}
                                    if isinstance(v, list) else {"stringValue": v}}
                                   for k, v in attrs.items()],
                    "status": {}}
            line = ("" if first else ",\n") + json.dumps(span)
            out.write(line)
            size += len(line)
            n, first = n + 1, False
        out.write("]}]}]}\n")


CHILD_IMPORT = """
import sys, time, resource
from korvane.importers import import_traces
t = time.perf_counter()
import_traces("otel", [sys.argv[1]], sys.argv[2], quiet=True)
print(time.perf_counter() - t, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""
CHILD_JSON = """
import sys, time, json, resource
t = time.perf_counter()
with open(sys.argv[1], "rb") as f:
    json.loads(f.read())
print(time.perf_counter() - t, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def child(code: str, *args: str) -> tuple[float, float]:
    out = subprocess.run([sys.executable, "-c", code, *args], check=True, capture_output=True,
                         text=True).stdout.split()
    return float(out[0]), int(out[1]) / 1024


def bench_import(megabytes: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "otlp.json")
        generate(source, megabytes)
        size = os.path.getsize(source) / 1e6
        korvane_runs, json_runs = [], []
        for _ in range(3):
            json_runs.append(child(CHILD_JSON, source))
            korvane_runs.append(child(CHILD_IMPORT, source, os.path.join(tmp, "out") + "/"))
        k = statistics.median(t for t, _ in korvane_runs)
        j = statistics.median(t for t, _ in json_runs)
        print(f"OTLP JSON file: {size:.0f} MB, {len(os.listdir(os.path.join(tmp, 'out')))} traces")
        print(f"  korvane import otel  {k:7.2f} s  {size / k:6.1f} MB/s  peak "
              f"{max(m for _, m in korvane_runs):5.0f} MiB")
        print(f"  json.loads           {j:7.2f} s  {size / j:6.1f} MB/s  peak "
              f"{max(m for _, m in json_runs):5.0f} MiB")
        print(f"  ratio {k / j:.2f}x")


# Alternating runs of plain and recorded calls; their medians are compared.
RUNS = 15


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
    with tempfile.TemporaryDirectory() as tmp:
        recorder = Recorder(os.path.join(tmp, "run.agentlog"))
        wrapped = recorder.wrap(client)

        def run(target: object) -> float:
            create = target.chat.completions.create  # type: ignore[attr-defined]
            start = time.perf_counter()
            for _ in range(calls):
                create(model="gpt-4o", messages=messages)
            return (time.perf_counter() - start) / calls

        run(client), run(wrapped)  # warm up
        plain, recorded = [], []
        for _ in range(RUNS):
            plain.append(run(client))
            recorded.append(run(wrapped))
        payload = {"model": "gpt-4o", "messages": messages}
        start = time.perf_counter()
        for _ in range(calls):
            recorder.record("chat_request", payload)
        per_record = (time.perf_counter() - start) / calls
        recorder.close()
    p, r = statistics.median(plain), statistics.median(recorded)
    print(f"Chat Completions call over a mock transport: median of {RUNS} alternating runs "
          f"of {calls} calls")
    print(f"  plain client     {p * 1e6:8.1f} µs a call")
    print(f"  recorded client  {r * 1e6:8.1f} µs a call  (+{(r - p) * 1e6:.1f} µs, "
          f"{100 * (r - p) / p:.1f}%, two records)")
    print(f"  one record (chat_request of {len(json.dumps(payload))} bytes)  "
          f"{per_record * 1e6:.1f} µs")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--mb", type=int, default=120)
    parser.add_argument("--calls", type=int, default=300)
    args = parser.parse_args()
    bench_recorder(args.calls)
    bench_import(args.mb)
