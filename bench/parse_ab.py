"""parse_agentlog of two installed korvane builds, side by side in one run.

    python bench/parse_ab.py PYTHON_A PYTHON_B [--mb 12] [--rounds 9] [--real PATH]

PYTHON_A and PYTHON_B are interpreters of two environments, each with its own
korvane installed (for example a wheel of main and a wheel of a branch), and
orjson. Each round starts one child per interpreter, alternately, on the same
files: the generated trace (gen_trace.py) and a real trace. A child times
parse_agentlog and a per-line orjson.loads loop over each file in thread CPU
time (best of 3 within the child) and prints the figures; the table gives the
median over the rounds of each, the ratio B / A of the parse times and each
build's speed relative to orjson.loads per line.
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile

BENCH = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import gen_trace  # noqa: E402

DEFAULT_REAL = BENCH.parents[1] / "shared" / "corpus" / "big-gpt-4o.agentlog"

CHILD = r"""
import json, sys, time
import korvane, orjson

def best(function):
    times = []
    for _ in range(3):
        start = time.thread_time()
        function()
        times.append(time.thread_time() - start)
    return min(times)

out = {}
for path in sys.argv[1:]:
    data = open(path, "rb").read()
    lines = [line for line in data.split(b"\n") if line.strip(b"\r")]
    out[path] = (best(lambda: korvane.parse_agentlog(data)), best(lambda: [orjson.loads(l) for l in lines]))
print(json.dumps(out))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("python_a")
    parser.add_argument("python_b")
    parser.add_argument("--mb", type=float, default=12.0, help="size of the generated trace")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--real", type=pathlib.Path, default=DEFAULT_REAL, help="a real trace")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        generated = pathlib.Path(tmp) / "generated.agentlog"
        generated.write_bytes(gen_trace.generate(args.mb, 7))
        files = [str(generated)] + ([str(args.real)] if args.real.exists() else [])
        samples = {side: {f: [] for f in files} for side in "AB"}
        for _ in range(args.rounds):
            for side, python in (("A", args.python_a), ("B", args.python_b)):
                result = subprocess.run([python, "-c", CHILD, *files], capture_output=True, text=True, check=True)
                for f, times in json.loads(result.stdout).items():
                    samples[side][f].append(times)

    print(f"medians of {args.rounds} rounds (best of 3 each); A = {args.python_a}, B = {args.python_b}")
    print(f"{'trace':28} {'A ms':>8} {'B ms':>8} {'B/A':>6} {'A x orjson':>11} {'B x orjson':>11}")
    for f in files:
        a, b = (statistics.median(t for t, _ in samples[s][f]) for s in "AB")
        oa, ob = (statistics.median(o for _, o in samples[s][f]) for s in "AB")
        name = "generated" if f == str(generated) else pathlib.Path(f).name
        print(f"{name:28} {a * 1e3:8.1f} {b * 1e3:8.1f} {b / a:6.3f} {oa / a:10.2f}x {ob / b:10.2f}x")


if __name__ == "__main__":
    main()
