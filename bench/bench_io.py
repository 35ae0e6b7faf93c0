"""Throughput of the trace functions against the usual Python ways.

  1. parse_agentlog over a generated trace (gen_trace.py) and over a real
     one, against a per-line json.loads loop and a per-line orjson.loads loop
     over the same bytes;
  2. write_agentlog of the parsed records, against per-record json.dumps
     (compact, ensure_ascii=False) and orjson.dumps loops;
  3. content_id of every payload, against json.dumps(sort_keys=True),
     orjson.dumps(option=OPT_SORT_KEYS) and rfc8785, each + hashlib.sha256;
  4. canonical_bytes of every payload, against the same three encoders alone.

content_id and canonical_bytes do more than their peers (NFC text, positional
numbers); the sorted orjson rows are the fastest non-canonical alternative.

Each figure is the median of --runs runs, in thread CPU time (the machine may
be shared); MB/s counts the trace's bytes. The outputs of a run are kept until
it ends, as a caller keeps what it computes; the allocator is asked to keep
freed memory (steady_heap()), so that no figure depends on when it last gave
pages back to the system and had them faulted in again (which moved the
sorted orjson row by half from one run to the next).

    python bench/bench_io.py [--mb 12] [--runs 7] [--real PATH]
"""

import argparse
import ctypes
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


def steady_heap():
    """Asks glibc's allocator (where it is the one in use) to keep the memory
    freed by one run for the next, rather than trim and map it anew."""
    try:
        libc = ctypes.CDLL(None)
        libc.mallopt(-1, 1 << 30)  # M_TRIM_THRESHOLD
        libc.mallopt(-3, 32 << 20)  # M_MMAP_THRESHOLD, at its largest
    except (OSError, AttributeError):
        pass


def median_seconds(functions, runs):
    """The median time of each function; the runs are interleaved so that a
    change in the machine's load affects all of them alike."""
    times = [[] for _ in functions]
    for _ in range(runs):
        for function, samples in zip(functions, times):
            start = time.thread_time()
            function()
            samples.append(time.thread_time() - start)
    return [statistics.median(samples) for samples in times]


def lines_of(data):
    return [line for line in data.split(b"\n") if line.strip(b"\r")]


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def sorted_sha256(payload):
    text = json.dumps(payload, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


def orjson_sorted_sha256(payload):
    return "sha256:" + hashlib.sha256(orjson.dumps(payload, option=orjson.OPT_SORT_KEYS)).hexdigest()


def sorted_json(payload):
    return json.dumps(payload, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def jcs_sha256(payload):
    return "sha256:" + hashlib.sha256(rfc8785.dumps(payload)).hexdigest()


def measure(label, data, runs, rows):
    megabytes = len(data) / 1e6
    lines = lines_of(data)
    records = korvane.parse_agentlog(data)
    payloads = [r["payload"] for r in records]

    def operation(name, ours, baselines):
        """baselines: (name, function or None when its package is missing, target ratio or None)."""
        present = [b for b in baselines if b[1] is not None]
        t_ours, *t_bases = median_seconds([ours] + [b[1] for b in present], runs)
        t_of = dict(zip([b[0] for b in present], t_bases))
        for baseline_name, _, target in baselines:
            t_base = t_of.get(baseline_name)
            rows.append((label, name, megabytes / t_ours, baseline_name,
                         None if t_base is None else megabytes / t_base,
                         None if t_base is None else t_base / t_ours, target))

    operation("parse", lambda: korvane.parse_agentlog(data), [
        ("json.loads/line", lambda: [json.loads(line) for line in lines], 2.0),
        ("orjson.loads/line", (lambda: [orjson.loads(line) for line in lines]) if orjson else None, 1.8),
    ])
    operation("write", lambda: korvane.write_agentlog(records), [
        ("json.dumps/record", lambda: "".join([compact(r) + "\n" for r in records]).encode(), 3.0),
        ("orjson.dumps/record", (lambda: b"".join([orjson.dumps(r) + b"\n" for r in records])) if orjson else None,
         1.5),
    ])
    operation("content_id", lambda: [korvane.content_id(p) for p in payloads], [
        ("json sorted+sha256", lambda: [sorted_sha256(p) for p in payloads], 2.0),
        ("orjson sorted+sha256", (lambda: [orjson_sorted_sha256(p) for p in payloads]) if orjson else None, 1.2),
        ("rfc8785+sha256", (lambda: [jcs_sha256(p) for p in payloads]) if rfc8785 else None, 20.0),
    ])
    operation("canonical_bytes", lambda: [korvane.canonical_bytes(p) for p in payloads], [
        ("json.dumps(sort_keys)", lambda: [sorted_json(p) for p in payloads], None),
        ("orjson.dumps(SORT_KEYS)",
         (lambda: [orjson.dumps(p, option=orjson.OPT_SORT_KEYS) for p in payloads]) if orjson else None, 1.5),
        ("rfc8785.dumps", (lambda: [rfc8785.dumps(p) for p in payloads]) if rfc8785 else None, None),
    ])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=float, default=12.0, help="size of the generated trace")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--real", type=pathlib.Path, default=DEFAULT_REAL, help="a real trace")
    args = parser.parse_args()

    steady_heap()
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
                      "-" if ratio is None else f"{ratio:.2f}x", "" if target is None else f">= {target:g}x"))
    widths = [max(len(r[i]) for r in table) for i in range(len(header))]
    for r in table:
        print("  ".join(cell.ljust(width) for cell, width in zip(r, widths)))
    for note in notes:
        print("note:", note)


if __name__ == "__main__":
    main()
