"""A suite of task pairs for the suite benchmark, made from the real paired
traces of the corpus.

Task k takes the corpus's paired traces in turn (so the sizes follow the
real pairs: 3 to 100 responses, median 12); its baseline is that trace with
the task id "task-k" in its metadata record, its candidate the same trace
edited as a new agent version would: tool calls dropped, duplicated or
renamed, texts reworded, usage and latencies changed, now and then the last
turns cut off. Files go to DIR/baseline and DIR/candidate; the same
arguments give the same bytes, and a directory already holding them is
reused.

    python bench/gen_suite.py DIR [--tasks 10000] [--seed 1]
"""

from __future__ import annotations

import argparse
import copy
import json
import pathlib
import random
import sys

import korvane

CORPUS = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "corpus"


def corpus_traces() -> list[list[dict]]:
    pairs = json.loads((CORPUS / "pairs.json").read_text())["pairs"]
    names = [p[side] for p in pairs for side in ("baseline", "candidate")]
    return [korvane.parse_agentlog((CORPUS / name).read_bytes()) for name in names]


def reword(rng: random.Random, text: str) -> str:
    words = text.split(" ")
    for _ in range(max(1, len(words) // 8)):
        i = rng.randrange(len(words))
        words[i] = words[rng.randrange(len(words))][::-1]
    return " ".join(words)


def perturb(rng: random.Random, records: list[dict]) -> list[dict]:
    out = copy.deepcopy(records)
    responses = [r for r in out if r["kind"] == "chat_response" and isinstance(r["payload"], dict)]
    for record in responses:
        payload = record["payload"]
        content = payload.get("content")
        if isinstance(content, list):
            tools = [i for i, b in enumerate(content) if isinstance(b, dict) and b.get("type") == "tool_use"]
            if tools and rng.random() < 0.12:
                del content[rng.choice(tools)]
            elif tools and rng.random() < 0.08:
                i = rng.choice(tools)
                content.insert(i, copy.deepcopy(content[i]))
            elif tools and rng.random() < 0.08:
                block = content[rng.choice(tools)]
                block["name"] = f"{block.get('name', 'tool')}_v2"
            for block in content:
                if isinstance(block, dict) and block.get("type") == "text" and rng.random() < 0.3:
                    block["text"] = reword(rng, str(block.get("text", "")))
        usage = payload.get("usage")
        if isinstance(usage, dict) and isinstance(usage.get("output_tokens"), (int, float)):
            usage["output_tokens"] = int(usage["output_tokens"] * rng.uniform(0.7, 1.5))
        if isinstance(payload.get("latency_ms"), (int, float)):
            payload["latency_ms"] = round(payload["latency_ms"] * rng.uniform(0.6, 1.8), 1)
    if responses and rng.random() < 0.05:
        cut = out.index(responses[len(responses) * 2 // 3])
        out = out[:cut]
    return out


def with_task_id(records: list[dict], task: str) -> list[dict]:
    out = list(records)
    for i, record in enumerate(out):
        if record["kind"] == "metadata" and isinstance(record["payload"], dict):
            out[i] = dict(record, payload=dict(record["payload"], task_id=task))
            break
    return out


def generate(directory: pathlib.Path, tasks: int, seed: int) -> pathlib.Path:
    """The suite's directory (built unless it is already complete)."""
    stamp = directory / "suite.json"
    settings = {"tasks": tasks, "seed": seed}
    if stamp.exists() and json.loads(stamp.read_text()) == settings:
        return directory
    traces = corpus_traces()
    rng = random.Random(seed)
    for side in ("baseline", "candidate"):
        (directory / side).mkdir(parents=True, exist_ok=True)
    for k in range(tasks):
        task = f"task-{k:05d}"
        base = with_task_id(traces[k % len(traces)], task)
        (directory / "baseline" / f"{task}.agentlog").write_bytes(korvane.write_agentlog(base))
        cand = perturb(rng, base)
        (directory / "candidate" / f"{task}.agentlog").write_bytes(korvane.write_agentlog(cand))
    stamp.write_text(json.dumps(settings))
    return directory


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("directory", type=pathlib.Path)
    parser.add_argument("--tasks", type=int, default=10_000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    generate(args.directory, args.tasks, args.seed)
    print(args.directory, file=sys.stderr)


if __name__ == "__main__":
    main()
