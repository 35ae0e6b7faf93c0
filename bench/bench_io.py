"""Throughput of the trace functions against the usual Python ways.

  1. parse_agentlog over a generated trace (gen_trace.py) and over a real
     one, against a per-line json.loads loop and a per-line orjson.loads loop
     over the same bytes;
  2. write_agentlog of the parsed records, against per-record json.dumps
     (compact, ensure_ascii=False) and orjson.dumps loops;
  3. content_id of every payload, against json.dumps(sort_keys=True) +
     hashlib.sha256 and against rfc8785 + hashlib.sha256.

Each figure is the median of --runs runs, in thread CPU time (the machine may
be shared); MB/s counts the trace's bytes.

    python bench/bench_io.py [--mb 12] [--runs 7] [--real PATH]
"""

import argparse
import hashlib
import json
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import gen_trace  # noqa: E402
import korvane  # noqa: E402

try:
    import orjson
except ImportError:
    orjson = None
try:
    import rfc8785
except ImportError:
    rfc8785 = None

REPO = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_REAL = REPO.parent / "shared" / "corpus" / "big-gpt-4o.agentlog"


def median_seconds(function, runs):
    times = []
    for _ in range(runs):
        start = time.thread_time()
        function()
        times.append(time.thread_time() - start)
    return statistics.median(times)


def lines_of(data):
    return [line for line in data.split(b"\n") if line.strip(b"\r")]


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def sorted_sha256(payload):
    text = json.dumps(payload, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


def jcs_sha256(payload):
    return "sha256:" + hashlib.sha256(rfc8785.dumps(payload)).hexdigest()


def measure(label, data, runs, rows):
    megabytes = len(data) / 1e6
    lines = lines_of(data)
    records = korvane.parse_agentlog(data)
    payloads = [r["payload"] for r in records]

    def row(operation, ours, baseline_name, baseline, target):
        t_ours = median_seconds(ours, runs)
        if baseline is None:
            rows.append((label, operation, megabytes / t_ours, baseline_name, None, None, target))
            return
        t_base = median_seconds(baseline, runs)
        rows.append((label, operation, megabytes / t_ours, baseline_name, megabytes / t_base, t_base / t_ours, target))

    parse = lambda: korvane.parse_agentlog(data)  # noqa: E731
    row("parse", parse, "json.loads/line", lambda: [json.loads(line) for line in lines], 2.0)
    row("parse", parse, "orjson.loads/line",
        (lambda: [orjson.loads(line) for line in lines]) if orjson else None, 1.0)

    write = lambda: korvane.write_agentlog(records)  # noqa: E731
    row("write", write, "json.dumps/record",
        lambda: "".join([compact(r) + "\n" for r in records]).encode(), 3.0)
    row("write", write, "orjson.dumps/record",
        (lambda: b"".join([orjson.dumps(r) + b"\n" for r in records])) if orjson else None, 0.7)

    ids = lambda: [korvane.content_id(p) for p in payloads]  # noqa: E731
    row("content_id", ids, "json sorted+sha256", lambda: [sorted_sha256(p) for p in payloads], 2.0)
    row("content_id", ids, "rfc8785+sha256", (lambda: [jcs_sha256(p) for p in payloads]) if rfc8785 else None, 20.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=float, default=12.0, help="size of the generated trace")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--real", type=pathlib.Path, default=DEFAULT_REAL, help="a real trace")
    args = parser.parse_args()

    rows = []
    generated = gen_trace.generate(args.mb, args.seed)
    measure(f"generated {len(generated) / 1e6:.1f} MB", generated, args.runs, rows)
    notes = []
    if args.real.exists():
        real = args.real.read_bytes()
        measure(f"{args.real.name} {len(real) / 1e6:.1f} MB", real, args.runs, rows)
    else:
        notes.append(f"real trace {args.real} not found: skipped")
    if orjson is None:
        notes.append("orjson not installed: its rows are skipped (pip install orjson)")
    if rfc8785 is None:
        notes.append("rfc8785 not installed: its row is skipped (pip install rfc8785)")

    print(f"medians of {args.runs} runs; Python {sys.version.split()[0]}")
    header = ("trace", "operation", "korvane MB/s", "baseline", "baseline MB/s", "ratio", "target")
    table = [header]
    for label, operation, ours, name, base, ratio, target in rows:
        table.append((label, operation, f"{ours:.1f}", name, "-" if base is None else f"{base:.1f}",
                      "-" if ratio is None else f"{ratio:.2f}x", f">= {target:g}x"))
    widths = [max(len(r[i]) for r in table) for i in range(len(header))]
    for r in table:
        print("  ".join(cell.ljust(width) for cell, width in zip(r, widths)))
    for note in notes:
        print("note:", note)


if __name__ == "__main__":
    main()
