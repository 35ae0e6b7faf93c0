"""The cluster engines give the process engine's results: a real local Ray
instance and a real Dask LocalCluster, each started once for this module,
run the same suite with a fixed seed, reading the traces from their paths
or receiving them shipped."""

import json

import pytest
import ray
from distributed import LocalCluster

import korvane.suite
from test_cli import run


@pytest.fixture(scope="module")
def clusters():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    dask = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    try:
        yield {"ray": None, "dask": dask.scheduler_address}
    finally:
        dask.close()
        ray.shutdown()


def results(path):
    """The results file's lines by task, without the timings."""
    return {line["task"]: {**line, "seconds": 0} for line in map(json.loads, path.read_text().splitlines())}


@pytest.mark.parametrize("engine, ship", [("ray", False), ("ray", True), ("dask", False), ("dask", True)])
def test_cluster_engines_match_the_process_engine(clusters, sides, tmp_path, capsys, engine, ship):
    expected, out = tmp_path / "process.jsonl", tmp_path / f"{engine}.jsonl"
    status = run(["suite", *sides, "--seed", 11, "-q", "--jobs", 2, "--out", expected], capsys)[0]
    address = [] if clusters[engine] is None else ["--address", clusters[engine]]
    assert run(["suite", *sides, "--seed", 11, "-q", "--engine", engine, *address, *(["--ship"] if ship else []),
                "--out", out], capsys)[0] == status == 1
    assert results(out) == results(expected) and len(results(out)) == 7
    assert ray.is_initialized()  # a cluster it did not start is left running


def test_missing_extra_names_itself(monkeypatch, sides, capsys):
    monkeypatch.setitem(__import__("sys").modules, "distributed", None)
    assert run(["suite", *sides, "--engine", "dask"], capsys)[::2] == (
        2, "korvane: --engine dask needs the optional package 'distributed': pip install 'korvane[dask]'\n")
    with pytest.raises(ImportError, match="korvane\\[dask\\]"):
        korvane.suite.run(*sides, engine="dask")
