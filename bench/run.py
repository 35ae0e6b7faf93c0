"""Every benchmark of korvane in one table.

    python bench/run.py [--runs 7] [--mb 12] [--quick]

Rows:
  - parse_agentlog, write_agentlog, content_id and canonical_bytes over a
    generated trace (gen_trace.py) and the real big-gpt-4o trace when it is
    present, against the usual Python ways and orjson (bench_io.py measures
    them);
  - the diff of generated trace pairs (gen_diff.py) of 1,000 and 10,000
    responses with ~500-character texts, and of 1,000 responses with ~2 KB
    texts: the nine axis rows, the text and tool rows (semantic, trajectory,
    safety, conformance), the alignment with its divergences and the whole
    report, timed in C++ by korvane_bench_diff (built here in build/bench);
    compute_diff_report called from Python on the parsed records; and the
    peak resident memory of a child process that reads the 10,000-response
    pair and diffs it;
  - compute_diff_report on real traces: the corpus pair of median size, and
    big-gpt-4o against big-claude-sonnet-4-5 when present.

Figures are medians over the runs, in CPU time of the thread; all of them come
from this one run. --quick uses a 2 MB trace, 3 runs and skips the
10,000-response pair.
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = pathlib.Path(__file__).resolve().parent
REPO = BENCH.parent
sys.path.insert(0, str(BENCH))

import bench_io  # noqa: E402
import gen_diff  # noqa: E402
import gen_trace  # noqa: E402
import korvane  # noqa: E402

TEXT_ROWS = ("semantic", "trajectory", "safety", "conformance")
NINE_ROWS = ("semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "conformance")
# (judge is the constant zero row)


class Table:
    def __init__(self):
        self.rows = []
        self.notes = []

    def add(self, what, ours, baseline="", theirs="", ratio="", target="", ok=None):
        self.rows.append((what, ours, baseline, theirs, ratio, target, "" if ok is None else ("yes" if ok else "NO")))

    def print(self):
        header = ("benchmark", "korvane", "baseline", "baseline figure", "ratio", "target", "met")
        rows = [header] + self.rows
        widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
        for r in rows:
            print("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
            if r is header:
                print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for note in self.notes:
            print("note:", note)


def io_section(table, args):
    bench_io.steady_heap()
    rows = []
    generated = gen_trace.generate(args.mb, 7)
    traces = [(f"generated {len(generated) / 1e6:.1f} MB", generated)]
    real = REPO.parent / "shared" / "corpus" / "big-gpt-4o.agentlog"
    if real.exists():
        data = real.read_bytes()
        traces.append((f"big-gpt-4o {len(data) / 1e6:.1f} MB", data))
    else:
        table.notes.append(f"real trace {real} not found: its rows are skipped")
    for label, data in traces:
        bench_io.measure(label, data, args.runs, rows)
    for label, operation, ours, name, theirs, ratio, target in rows:
        table.add(f"{operation}, {label}", f"{ours:.1f} MB/s", name,
                  "-" if theirs is None else f"{theirs:.1f} MB/s",
                  "-" if ratio is None else f"{ratio:.2f}x",
                  "" if target is None else f">= {target:g}x",
                  None if target is None or ratio is None else ratio >= target)


def build_diff_bench():
    build = REPO / "build" / "bench"
    subprocess.run(["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DKORVANE_BUILD_BENCH=ON",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j", "2", "--target", "korvane_bench_diff"], check=True,
                   stdout=subprocess.DEVNULL)
    return build / "bench" / "korvane_bench_diff"


PRICING = {"model-a": (3e-6, 1.5e-5, 3e-7), "model-b": [2.5e-6, 1e-5, 1.25e-6]}

# Reads the pair, resets the process's peak resident size (Linux: writing 5
# to clear_refs), diffs, and prints the resident size before the diff and the
# peak during it, in bytes.
PEAK_CHILD = r"""
import gc, sys, korvane
b = korvane.parse_agentlog(open(sys.argv[1], "rb").read())
c = korvane.parse_agentlog(open(sys.argv[2], "rb").read())
gc.collect()
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
korvane.compute_diff_report(b, c, {"model-a": (3e-6, 1.5e-5), "model-b": (2.5e-6, 1e-5)}, 7)
print(before, status("VmHWM:"))
"""


def python_diff_seconds(base, cand, runs):
    b, c = korvane.parse_agentlog(base), korvane.parse_agentlog(cand)
    times = []
    for _ in range(runs):
        start = time.thread_time()
        korvane.compute_diff_report(b, c, PRICING, 7)
        times.append(time.thread_time() - start)
    return statistics.median(times)


def diff_section(table, args):
    tool = build_diff_bench()
    cases = [(1000, 500), (1000, 2000)] + ([] if args.quick else [(10000, 500)])
    with tempfile.TemporaryDirectory() as tmp:
        for responses, chars in cases:
            base, cand = gen_diff.generate_pair(responses, chars, seed=1)
            bpath, cpath = pathlib.Path(tmp, "b.agentlog"), pathlib.Path(tmp, "c.agentlog")
            bpath.write_bytes(base)
            cpath.write_bytes(cand)
            repeats = args.runs if responses <= 1000 else 3
            out = subprocess.run([str(tool), str(bpath), str(cpath), str(repeats), "7"], check=True,
                                 capture_output=True, text=True).stdout
            t = json.loads(out)
            label = f"{responses:,} pairs, ~{chars} chars"
            scale = responses / 1000
            nine = sum(t[k] for k in NINE_ROWS)
            text = sum(t[k] for k in TEXT_ROWS)
            if chars == 500:
                table.add(f"nine rows, {label}", f"{nine:.3f} s", target=f"<= {0.15 * scale:g} s",
                          ok=nine <= 0.15 * scale)
            table.add(f"text rows, {label}", f"{text:.3f} s",
                      target="<= 0.1 s" if chars == 2000 else "", ok=text <= 0.1 if chars == 2000 else None)
            table.add(f"alignment + divergences, {label}", f"{t['divergences']:.3f} s")
            table.add(f"drill-down, {label}", f"{t['drill_down']:.3f} s")
            table.add(f"compute_report (C++), {label}", f"{t['compute_report']:.3f} s")
            py = python_diff_seconds(base, cand, repeats)
            limit = 1.0 * scale
            table.add(f"compute_diff_report (Python), {label}", f"{py:.3f} s", target=f"<= {limit:g} s",
                      ok=py <= limit)
            if responses == 10000:
                out = subprocess.run([sys.executable, "-c", PEAK_CHILD, str(bpath), str(cpath)], check=True,
                                     capture_output=True, text=True).stdout.split()
                before, peak = (int(x) for x in out)
                table.add(f"peak RSS during compute_diff_report, {label}", f"{peak / 2**20:.0f} MiB",
                          "RSS before it (records loaded)", f"{before / 2**20:.0f} MiB",
                          f"+{(peak - before) / 2**20:.0f} MiB", "<= 1024 MiB", peak <= 2**30)


def real_diff_section(table, args):
    """compute_diff_report from Python on real traces: the corpus pair of
    median size, and the two big traces when present."""
    corpus = REPO / "tests" / "data" / "corpus"
    pairs = json.loads((corpus / "pairs.json").read_text())["pairs"]
    sized = sorted(pairs, key=lambda p: (corpus / p["baseline"]).stat().st_size + (corpus / p["candidate"]).stat().st_size)
    median = sized[len(sized) // 2]
    cases = [("median-size corpus pair", corpus / median["baseline"], corpus / median["candidate"])]
    table.notes.append(f"median-size corpus pair: {median['baseline']} vs {median['candidate']}")
    shared = REPO.parent / "shared" / "corpus"
    big = (shared / "big-gpt-4o.agentlog", shared / "big-claude-sonnet-4-5.agentlog")
    if all(p.exists() for p in big):
        cases.append(("big-gpt-4o vs big-claude-sonnet-4-5", *big))
    for label, bpath, cpath in cases:
        base, cand = bpath.read_bytes(), cpath.read_bytes()
        b, c = korvane.parse_agentlog(base), korvane.parse_agentlog(cand)
        pairs = min(sum(r["kind"] == "chat_response" for r in t) for t in (b, c))
        seconds = python_diff_seconds(base, cand, args.runs)
        table.add(f"compute_diff_report (Python), {label}, {pairs} pairs", f"{seconds:.3f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--mb", type=float, default=12.0, help="size of the generated I/O trace")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.runs, args.mb = 3, 2.0

    table = Table()
    io_section(table, args)
    diff_section(table, args)
    real_diff_section(table, args)
    missing = [name for name, module in (("orjson", bench_io.orjson), ("rfc8785", bench_io.rfc8785)) if module is None]
    print(f"korvane {korvane.__version__}, Python {sys.version.split()[0]}, medians of {args.runs} runs "
          f"(3 for 10,000 pairs), CPU time of the thread")
    if missing:
        table.notes.append(f"not installed, rows skipped: {', '.join(missing)} (pip install {' '.join(missing)})")
    table.notes.append(f"text rows: {', '.join(TEXT_ROWS)}; nine rows: these and verbosity, latency, cost, "
                       "reasoning (judge is a constant row)")
    table.print()


if __name__ == "__main__":
    main()
