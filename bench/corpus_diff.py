"""compute_diff_report on every pair of the corpus: the time of a small diff.

    python bench/corpus_diff.py [--runs 21] [--seed 1] [--corpus tests/data/corpus]

For each pair of pairs.json, the median over the runs of compute_diff_report
called from Python on the parsed records (conversion of the records
included), in CPU time of the thread; then the median and the worst pair.
The C++ share (compute_report on records read in C++, no conversion) comes
from korvane_bench_corpus_diff, built here in build/bench.
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import time

import korvane

REPO = pathlib.Path(__file__).resolve().parent.parent
TARGET_MS = 0.7


def responses(records):
    return sum(r["kind"] == "chat_response" for r in records)


def python_seconds(corpus, pair, runs, seed):
    """The median time of the pair's diff, and its responses a side."""
    b, c = (korvane.parse_agentlog((corpus / pair[side]).read_bytes()) for side in ("baseline", "candidate"))
    times = []
    for _ in range(runs):
        start = time.thread_time()
        korvane.compute_diff_report(b, c, None, seed)
        times.append(time.thread_time() - start)
    return statistics.median(times), (responses(b), responses(c))


def cpp_seconds(corpus, runs, seed):
    build = REPO / "build" / "bench"
    subprocess.run(["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DKORVANE_BUILD_BENCH=ON",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j", "2", "--target", "korvane_bench_corpus_diff"], check=True,
                   stdout=subprocess.DEVNULL)
    out = subprocess.run([str(build / "bench" / "korvane_bench_corpus_diff"), str(corpus), str(runs), str(seed)],
                         check=True, capture_output=True, text=True).stdout
    return [p["seconds"] for p in json.loads(out)["pairs"]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=21)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--corpus", type=pathlib.Path, default=REPO / "tests" / "data" / "corpus")
    args = parser.parse_args()
    pairs = json.loads((args.corpus / "pairs.json").read_text())["pairs"]
    measured = [python_seconds(args.corpus, p, args.runs, args.seed) for p in pairs]
    py = [seconds for seconds, _ in measured]
    worst_sizes = max(measured)[1]
    cpp = cpp_seconds(args.corpus, args.runs, args.seed)
    print(f"korvane {korvane.__version__}: {len(pairs)} corpus pairs, seed {args.seed}, medians of {args.runs} runs, "
          "CPU time of the thread")
    for label, times in (("compute_diff_report (Python)", py), ("compute_report (C++ share)", cpp)):
        median, worst = statistics.median(times) * 1e3, max(times) * 1e3
        print(f"{label:30} median {median:.3f} ms, worst {worst:.3f} ms")
    # The median pair is the corpus-sized one (about 10 responses a side);
    # the worst is among the few with a hundred responses on one side.
    median = statistics.median(py) * 1e3
    print(f"median pair target <= {TARGET_MS} ms: {'met' if median <= TARGET_MS else 'NOT met'}; "
          f"worst pair has {worst_sizes[0]} and {worst_sizes[1]} responses")


if __name__ == "__main__":
    main()
