"""Fixtures shared by the suite tests."""

import shutil

import pytest

from vectors import CORPUS, PAIRS, meta, response, write


@pytest.fixture
def sides(tmp_path):
    """Tasks 0 to 3 of the corpus under unrelated file names (the baselines
    one directory down), a trace on each side without a partner and without
    a task id, a candidate that does not parse, and two candidates with no
    response (one against a baseline without any either)."""
    base, cand = tmp_path / "base", tmp_path / "cand"
    (base / "deep").mkdir(parents=True)
    cand.mkdir()
    for k, pair in enumerate(PAIRS[:4]):
        shutil.copy(CORPUS / pair["baseline"], base / "deep" / f"b{k}.agentlog")
        shutil.copy(CORPUS / pair["candidate"], cand / f"c{3 - k}.agentlog")
    write(base / "lonely.agentlog", [response("only here")])
    write(cand / "new.agentlog", [response("only there")])
    write(base / "bad.agentlog", [response()])
    write(cand / "bad.agentlog", b"not json\n")
    write(base / "gone.agentlog", [meta("gone"), response("a"), response("b")])
    write(cand / "gone.agentlog", [meta("gone")])
    write(base / "void.agentlog", [meta("void")])
    write(cand / "void.agentlog", [meta("void")])
    (base / "notes.txt").write_text("not a trace")
    return str(base), str(cand)


def pytest_sessionfinish(session, exitstatus):
    """A skipped test has not run. The test command installs everything the
    tests need, so a skip means something is missing: it fails the run."""
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    skipped = reporter.stats.get("skipped", []) if reporter is not None else []
    if skipped and exitstatus == 0:
        reporter.ensure_newline()
        reporter.write_sep("=", "skipped tests have not run")
        for report in skipped:
            reporter.write_line(f"{report.nodeid}: {report.longrepr[-1]}")
        session.exitstatus = 1
