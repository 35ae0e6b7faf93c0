"""Shared helpers of the Python tests: test data and the known-answer vectors."""

import base64
import json
import pathlib

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
VECTORS = DATA / "vectors"
CORPUS = DATA / "corpus"


def load(name):
    """The vectors of one file, as dicts, with the input as bytes in "data"."""
    out = []
    for line in (VECTORS / name).read_text(encoding="utf-8").split("\n"):
        if not line:
            continue
        vector = json.loads(line)
        if "input_b64" in vector:
            vector["data"] = base64.b64decode(vector["input_b64"])
        elif "input_gen" in vector:
            gen = vector["input_gen"]
            vector["data"] = (gen["repeat"] * gen["count"] + gen["suffix"]).encode()
        else:
            vector["data"] = vector["input"].encode()
        out.append(vector)
    return out


def record(payload=None, **fields):
    """A minimal valid record dict around payload."""
    out = {"version": "0.1", "id": "r1", "kind": "chat_response", "ts": "2024-01-01T00:00:00Z"}
    out.update(fields)
    out["payload"] = payload
    return out
