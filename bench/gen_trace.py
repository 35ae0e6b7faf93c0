"""Deterministic generator of realistic .agentlog traces for benchmarks.

The trace is a sequence of agent runs: a metadata record, then turns of
chat_request (the growing conversation), chat_response (text and tool_use
blocks, usage, latency), tool_call and tool_result records. Text mixes
ASCII prose with accented Latin, Greek, CJK and emoji. The same seed and size
always give the same bytes.

    python bench/gen_trace.py OUT.agentlog [--mb 12] [--seed 7]
"""

import argparse
import json
import random

WORDS = (
    "the flight booking passenger reservation cancel change baggage seat upgrade refund policy "
    "customer agent tool result status confirmed pending economy business cabin fare payment "
    "certificate voucher membership gold silver regular airport departure arrival delay"
).split()
FOREIGN = ["café", "naïve", "Zürich", "São Paulo", "Ελλάδα", "東京", "北京", "서울", "Москва", "✈️", "🙂", "—"]
TOOLS = {
    "get_reservation_details": ["reservation_id"],
    "search_direct_flight": ["origin", "destination", "date"],
    "update_reservation_flights": ["reservation_id", "cabin", "flights", "payment_id"],
    "cancel_reservation": ["reservation_id"],
    "get_user_details": ["user_id"],
    "calculate": ["expression"],
}
MODELS = ["gpt-4o", "claude-sonnet-4-5", "gpt-5.4"]


def sentence(rng, words):
    out = []
    for _ in range(words):
        out.append(rng.choice(FOREIGN) if rng.random() < 0.06 else rng.choice(WORDS))
    text = " ".join(out)
    return text[0].upper() + text[1:] + rng.choice([".", "?", "!", "."])


def paragraph(rng):
    return " ".join(sentence(rng, rng.randint(6, 24)) for _ in range(rng.randint(1, 5)))


def tool_input(rng, name):
    out = {}
    for arg in TOOLS[name]:
        if arg == "flights":
            out[arg] = [{"flight_number": f"HAT{rng.randint(1, 300):03d}", "date": f"2024-05-{rng.randint(1, 28):02d}"}
                        for _ in range(rng.randint(1, 3))]
        elif arg == "date":
            out[arg] = f"2024-05-{rng.randint(1, 28):02d}"
        else:
            out[arg] = "".join(rng.choice("ABCDEFGHJKLMNPQRSTUVWXYZ0123456789") for _ in range(6))
    return out


def tool_output(rng):
    return {
        "reservation_id": "".join(rng.choice("ABCDEFGHJKLMNPQRSTUVWXYZ0123456789") for _ in range(6)),
        "status": rng.choice(["confirmed", "cancelled", "pending"]),
        "passengers": [{"first_name": rng.choice(["Ana", "Jürgen", "Zoë", "Li", "Olu"]),
                        "last_name": rng.choice(["García", "Müller", "Nakamura", "Smith"]),
                        "dob": f"19{rng.randint(50, 99)}-0{rng.randint(1, 9)}-1{rng.randint(0, 9)}"}
                       for _ in range(rng.randint(1, 3))],
        "price": round(rng.uniform(50, 2000), 2),
        "insurance": rng.random() < 0.5,
        "note": paragraph(rng) if rng.random() < 0.3 else None,
    }


def run(rng, run_index, out):
    ids = iter(range(1, 10**9))
    prefix = f"{rng.getrandbits(32):08x}"

    def emit(kind, payload, parent=None, meta=None):
        rid = f"{prefix}-{next(ids):05d}"
        rec = {"version": "0.1", "id": rid, "kind": kind,
               "ts": f"2024-05-{1 + run_index % 28:02d}T10:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}.{rng.randint(0, 999):03d}Z",
               "parent": parent}
        if meta is not None:
            rec["meta"] = meta
        rec["payload"] = payload
        out.append(json.dumps(rec, ensure_ascii=False, separators=(",", ":")))
        return rid

    model = rng.choice(MODELS)
    parent = emit("metadata", {"source": "bench", "model": model, "run": run_index, "temperature": 0.0},
                  meta={"generator": "gen_trace"})
    messages = [{"role": "system", "content": paragraph(rng)}, {"role": "user", "content": paragraph(rng)}]
    for _ in range(rng.randint(3, 9)):
        request = emit("chat_request", {"model": model, "messages": messages[-8:], "tools": sorted(TOOLS)},
                       parent=parent)
        content = [{"type": "text", "text": paragraph(rng)}]
        calls = []
        if rng.random() < 0.6:
            name = rng.choice(sorted(TOOLS))
            call = {"type": "tool_use", "id": f"toolu_{rng.getrandbits(48):012x}", "name": name,
                    "input": tool_input(rng, name)}
            content.append(call)
            calls.append(call)
        usage = {"input_tokens": rng.randint(500, 9000), "output_tokens": rng.randint(20, 900),
                 "cached_input_tokens": rng.randint(0, 4000), "thinking_tokens": rng.randint(0, 300)}
        response = emit("chat_response", {"model": model, "content": content,
                                          "stop_reason": "tool_use" if calls else "end_turn",
                                          "usage": usage, "latency_ms": round(rng.uniform(200, 9000), 1)},
                        parent=request)
        messages.append({"role": "assistant", "content": content})
        for call in calls:
            call_id = emit("tool_call", {"id": call["id"], "name": call["name"], "input": call["input"]},
                           parent=response)
            result = tool_output(rng)
            emit("tool_result", {"tool_use_id": call["id"], "output": result, "is_error": False}, parent=call_id)
            messages.append({"role": "user", "content": [{"type": "tool_result", "tool_use_id": call["id"],
                                                          "content": json.dumps(result, ensure_ascii=False)}]})
        messages.append({"role": "user", "content": paragraph(rng)})


def generate(megabytes=12.0, seed=7):
    """The trace as bytes, at least `megabytes` MB."""
    rng = random.Random(seed)
    lines = []
    size = 0
    run_index = 0
    while size < megabytes * 1_000_000:
        start = len(lines)
        run(rng, run_index, lines)
        size += sum(len(line.encode()) + 1 for line in lines[start:])
        run_index += 1
    return ("\n".join(lines) + "\n").encode()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--mb", type=float, default=12.0)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    data = generate(args.mb, args.seed)
    with open(args.out, "wb") as f:
        f.write(data)
    records = data.count(b"\n")
    print(f"{args.out}: {len(data) / 1e6:.1f} MB, {records} records")


if __name__ == "__main__":
    main()
