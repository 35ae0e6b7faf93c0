#!/usr/bin/env python3
"""Writes the raw seed inputs of the fuzz targets from the test data.

Usage: make_seeds.py OUT_DIR. Creates OUT_DIR/<target>/ with one file per
seed: the reader vectors' inputs, lines and shortened traces of the corpus
pairs, record and price values, and double forms. run.sh --seed merges them
(libFuzzer -merge=1) into the minimal committed corpus fuzz/corpus/<target>/.
"""
import base64
import hashlib
import json
import pathlib
import struct
import sys

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data"


def vectors(name):
    with open(DATA / "vectors" / name, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def vector_input(vector):
    if vector.get("input_b64") is not None:
        return base64.b64decode(vector["input_b64"])
    if vector.get("input") is not None:
        return vector["input"].encode("utf-8")
    return None  # generated 16 MiB inputs stay out of the seeds


def shorten(value, limit=120):
    """value with long texts cut and long arrays trimmed, to keep seeds small."""
    if isinstance(value, str):
        return value[:limit]
    if isinstance(value, list):
        return [shorten(v, limit) for v in value[:6]]
    if isinstance(value, dict):
        return {k: shorten(v, limit) for k, v in value.items()}
    return value


def short_trace(path, max_bytes):
    lines = []
    size = 0
    for line in path.read_text(encoding="utf-8").splitlines():
        text = json.dumps(shorten(json.loads(line)), ensure_ascii=False, separators=(",", ":"))
        if size + len(text) > max_bytes:
            break
        lines.append(text)
        size += len(text) + 1
    return ("\n".join(lines) + "\n").encode("utf-8")


def main():
    out = pathlib.Path(sys.argv[1])
    seeds = {t: set() for t in ("fuzz_parser", "fuzz_record", "fuzz_canonical", "fuzz_diff")}

    for v in vectors("reader.jsonl"):
        data = vector_input(v)
        if data is None:
            continue
        seeds["fuzz_parser"].add(data)
        for line in data.split(b"\n"):
            seeds["fuzz_record"].add(line.rstrip(b"\r"))
    for v in vectors("record_from_value.jsonl"):
        seeds["fuzz_record"].add(v["input"].encode("utf-8"))
        seeds["fuzz_canonical"].add(v["input"].encode("utf-8"))
    for v in vectors("pricing_value.jsonl"):
        seeds["fuzz_canonical"].add(v["input"].encode("utf-8"))
    for v in vectors("double_form.jsonl"):
        for line in v["input"].split("\n"):
            if line and not line.startswith("bits:"):
                seeds["fuzz_canonical"].add(line.encode("utf-8"))

    pairs = json.loads((DATA / "corpus" / "pairs.json").read_text(encoding="utf-8"))["pairs"]
    for i, pair in enumerate(pairs[:12]):
        baseline = short_trace(DATA / "corpus" / pair["baseline"], 6000)
        candidate = short_trace(DATA / "corpus" / pair["candidate"], 6000)
        seeds["fuzz_parser"].add(baseline[:3000])
        for line in baseline.split(b"\n")[:8]:
            seeds["fuzz_record"].add(line)
            record = json.loads(line) if line else None
            if record:
                payload = json.dumps(record["payload"], ensure_ascii=False).encode("utf-8")
                seeds["fuzz_canonical"].add(payload)
        seeds["fuzz_diff"].add(struct.pack("<Q", i * 0x9E3779B97F4A7C15 % 2**64) + baseline + b"\xff" + candidate)

    for target, inputs in seeds.items():
        folder = out / target
        folder.mkdir(parents=True, exist_ok=True)
        for data in inputs:
            (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)
        print(f"{target}: {len(inputs)} seeds")


if __name__ == "__main__":
    main()
