"""Shared helpers of the Python tests: test data, the known-answer vectors and
the leak check."""

import base64
import gc
import json
import pathlib
import sys
import tracemalloc

import korvane

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
VECTORS = DATA / "vectors"
CORPUS = DATA / "corpus"


def load(name):
    """The vectors of one file, as dicts, with the input as bytes in "data"."""
    def data(v):
        if "input_gen" in v:
            return (v["input_gen"]["repeat"] * v["input_gen"]["count"] + v["input_gen"]["suffix"]).encode()
        return base64.b64decode(v["input_b64"]) if "input_b64" in v else v["input"].encode()

    vectors = [json.loads(line) for line in (VECTORS / name).read_text(encoding="utf-8").split("\n") if line]
    return [{**v, "data": data(v)} for v in vectors]


def record(payload=None, **fields):
    """A minimal valid record dict around payload."""
    return {"version": "0.1", "id": "r1", "kind": "chat_response", "ts": "2024-01-01T00:00:00Z", **fields,
            "payload": payload}


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def assert_no_leak(call, inputs, calls, warmup, singletons=False):
    """Calls call() `calls` times after `warmup` calls, any exception
    swallowed (the module's internal failure derives from BaseException).
    The reference counts of inputs must not change, and neither the memory
    the interpreter traces nor the resident size may grow in both halves of
    the run: a leak grows both, a one-off allocation (a cache, a table
    resize) one at most. With singletons, the counts of None, True and False
    may drift by a few only (before 3.12, which makes them immortal)."""

    def run(n):
        for _ in range(n):
            try:
                call()
            except BaseException:  # noqa: B036
                pass

    def half():
        gc.collect()
        rss, traced = rss_bytes(), tracemalloc.get_traced_memory()[0]
        run(calls // 2)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - traced, rss_bytes() - rss

    run(warmup)
    gc.collect()
    counts = [sys.getrefcount(o) for o in inputs]
    fixed = [sys.getrefcount(o) for o in (None, True, False)]
    tracemalloc.start()
    try:
        first, second = half(), half()
    finally:
        tracemalloc.stop()
    # A reference lost or kept per call would move a count by the number of
    # calls; the harness itself may move them by a few.
    assert [sys.getrefcount(o) for o in inputs] == counts
    if singletons and sys.version_info < (3, 12):
        drift = [sys.getrefcount(o) - c for o, c in zip((None, True, False), fixed)]
        assert all(abs(d) < 100 for d in drift), drift
    assert min(first[0], second[0]) < 64 * 1024, (first, second)
    assert min(first[1], second[1]) < 2 * 1024 * 1024, (first, second)


# The corpus's baseline and candidate pairs, as pairs.json lists them.
PAIRS = json.loads((CORPUS / "pairs.json").read_text())["pairs"]


def meta(task_id):
    """A metadata record naming its task."""
    return record({"task_id": task_id}, kind="metadata", id="m")


def write(path, data):
    """Writes bytes, or records as a trace; returns the path as text."""
    path.write_bytes(data if isinstance(data, bytes) else korvane.write_agentlog(data))
    return str(path)


def response(text="hello", **payload):
    """A chat_response record with one text block."""
    return record({"model": "m", "content": [{"type": "text", "text": text}], "stop_reason": "end_turn", **payload})
