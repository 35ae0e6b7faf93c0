"""Deterministic pairs of traces for diff benchmarks.

The baseline has `responses` model turns: a chat_request, a chat_response
with a text of about `text_chars` characters (the prose of gen_trace.py) and
zero to three tool_use blocks, and a tool_call / tool_result per tool use.
The candidate is the baseline edited as a new model version would: most
turns kept or lightly reworded, some rewritten, dropped or inserted, some
with other tool calls, stop reasons, refusals or JSON answers; it is padded
or cut to the same number of turns. The same arguments give the same bytes.

    python bench/gen_diff.py BASE.agentlog CAND.agentlog [--responses 1000] [--chars 500] [--seed 1]
"""

import argparse
import json
import random

from gen_trace import TOOLS, sentence, tool_input, tool_output

REFUSALS = ["I'm sorry, but I can't help with that request.", "I cannot assist with changing this reservation."]


def text_of(rng, chars):
    out = []
    size = 0
    while size < chars:
        s = sentence(rng, rng.randint(6, 24))
        out.append(s)
        size += len(s) + 1
    return " ".join(out)[:chars]


def reword(rng, text):
    words = text.split(" ")
    for _ in range(max(1, len(words) // 10)):
        words[rng.randrange(len(words))] = sentence(rng, 1)[:-1].lower()
    return " ".join(words)


def turn(rng, chars):
    calls = []
    for _ in range(rng.choice([0, 1, 1, 2, 3])):
        name = rng.choice(sorted(TOOLS))
        calls.append({"type": "tool_use", "id": f"toolu_{rng.getrandbits(48):012x}", "name": name,
                      "input": tool_input(rng, name)})
    return {"text": text_of(rng, chars), "calls": calls, "stop": "tool_use" if calls else "end_turn"}


def edit(rng, base, chars):
    """The candidate's turns for one baseline turn (zero, one or two)."""
    roll = rng.random()
    t = dict(base)
    if roll < 0.50:
        return [t]
    if roll < 0.72:
        t["text"] = reword(rng, t["text"])
        return [t]
    if roll < 0.80:
        return [turn(rng, chars)]
    if roll < 0.84:
        return []
    if roll < 0.88:
        return [t, turn(rng, chars)]
    if roll < 0.93:
        t["calls"] = turn(rng, chars)["calls"]
        t["stop"] = "tool_use" if t["calls"] else "end_turn"
        return [t]
    if roll < 0.96:
        t["stop"] = rng.choice(["max_tokens", "stop_sequence"])
        return [t]
    if roll < 0.98:
        t["text"] = rng.choice(REFUSALS)
        t["calls"] = []
        t["stop"] = "end_turn"
        return [t]
    t["text"] = json.dumps({"answer": t["text"][:80], "confidence": round(rng.random(), 2)})
    return [t]


def write(rng, turns, model, prefix):
    lines = []
    serial = iter(range(1, 10**9))

    def emit(kind, payload, parent=None):
        rid = f"{prefix}-{next(serial):06d}"
        lines.append(json.dumps({"version": "0.1", "id": rid, "kind": kind, "ts": f"2024-05-01T10:00:{len(lines) % 60:02d}Z",
                                 "parent": parent, "payload": payload}, ensure_ascii=False, separators=(",", ":")))
        return rid

    root = emit("metadata", {"source": "bench", "model": model})
    for t in turns:
        request = emit("chat_request", {"model": model, "messages": [{"role": "user", "content": sentence(rng, 12)}]},
                       parent=root)
        output = max(1, len(t["text"]) // 4)
        response = emit("chat_response", {
            "model": model, "content": [{"type": "text", "text": t["text"]}] + t["calls"], "stop_reason": t["stop"],
            "usage": {"input_tokens": rng.randint(500, 9000), "output_tokens": output + rng.randint(0, 40),
                      "cached_input_tokens": rng.randint(0, 4000), "thinking_tokens": rng.randint(0, 300)},
            "latency_ms": round(rng.uniform(200, 9000), 1)}, parent=request)
        for call in t["calls"]:
            call_id = emit("tool_call", {"id": call["id"], "name": call["name"], "input": call["input"]}, parent=response)
            emit("tool_result", {"tool_use_id": call["id"], "output": tool_output(rng), "is_error": False},
                 parent=call_id)
    return ("\n".join(lines) + "\n").encode()


def generate_pair(responses=1000, chars=500, seed=1):
    """(baseline bytes, candidate bytes), each with `responses` chat_response records."""
    rng = random.Random(seed)
    base = [turn(rng, chars) for _ in range(responses)]
    cand = []
    for t in base:
        cand.extend(edit(rng, t, chars))
    while len(cand) < responses:
        cand.append(turn(rng, chars))
    del cand[responses:]
    return write(rng, base, "model-a", "b"), write(rng, cand, "model-b", "c")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("baseline")
    parser.add_argument("candidate")
    parser.add_argument("--responses", type=int, default=1000)
    parser.add_argument("--chars", type=int, default=500)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    base, cand = generate_pair(args.responses, args.chars, args.seed)
    for path, data in ((args.baseline, base), (args.candidate, cand)):
        with open(path, "wb") as f:
            f.write(data)
        print(f"{path}: {len(data) / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
