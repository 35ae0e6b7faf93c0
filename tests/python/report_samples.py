"""Hand-built diff reports with every section filled, for the renderers'
tests: they exercise the terminal and HTML views independently of which
parts of the diff a given build computes. Texts that come from traces carry
markup and line breaks, to check that the renderers escape them."""

AXES = ["semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "judge", "conformance"]

HOSTILE = '<script>alert("x")</script> & <b>bold</b>'


def row(axis, baseline=0.0, candidate=0.0, low=0.0, high=0.0, severity="none", n=0, flags=()):
    delta = None if baseline is None or candidate is None else candidate - baseline
    return {"axis": axis, "baseline_median": baseline, "candidate_median": candidate, "delta": delta, "ci95_low": low,
            "ci95_high": high, "severity": severity, "n": n, "flags": list(flags)}


def divergence(baseline_turn, candidate_turn, kind, primary_axis, explanation, confidence=1.0):
    return dict(locals())  # the arguments by name, in order


def recommendation(severity, action, turn, message, rationale, axis, confidence):
    return dict(locals())


def pair(index, normalized):
    """A drill-down entry whose normalized deltas are given per axis."""
    scores = [{"axis": axis, "baseline_value": 1.0, "candidate_value": 1.0 + nd, "delta": nd, "normalized_delta": nd}
              for axis, nd in ((a, normalized.get(a, 0.0)) for a in AXES if a != "judge")]
    return {"pair_index": index, "baseline_turn": index, "candidate_turn": index, "axis_scores": scores,
            "regression_score": sum(normalized.values()),
            "dominant_axis": max(scores, key=lambda s: s["normalized_delta"])["axis"]}


def regressed():
    """A report that fails the gate: severe rows, errors, every section."""
    first = divergence(0, 0, "structural_drift", "trajectory", "candidate added tool call(s): `lookup(q)`")
    return {
        "rows": [row("semantic", 1.0, 0.42, -0.71, -0.33, "severe", 12), row("trajectory", 0.0, 0.5, 0.0, 1.0, "severe", 12),
                 row("safety", 0.0, 0.25, 0.0, 0.5, "severe", 12), row("verbosity", 36.5, 82.0, 33.0, 58.0, "severe", 12),
                 row("latency", 780.0, 2195.0, 1120.0, 1560.0, "severe", 12),
                 row("cost", 0.000827, 0.00822, 0.00656, 0.00883, "severe", 12),
                 row("reasoning", 0.0, 176.0, 146.0, 251.0, "minor", 3, ["low_power"]), row("judge"),
                 row("conformance", 1.0, None, None, None, "none", 7, ["ci_crosses_zero"])],
        "baseline_trace_id": "base-0001 " + HOSTILE,
        "candidate_trace_id": "cand-0001",
        "pair_count": 12,
        "first_divergence": first,
        "divergences": [
            first,
            divergence(2, 2, "structural_drift", "trajectory", "candidate called `book_flight(flight_id,passenger)` "
                       "2 time(s) vs baseline's 1 — duplicate tool invocation"),
            divergence(6, 6, "decision_drift", "safety", "stop_reason changed: `tool_use` → `end_turn`", 0.63),
            divergence(9, 9, "style_drift", "semantic", HOSTILE + "\nsecond line", 0.05)],
        "recommendations": [
            recommendation("error", "review", 0, "Review unexpected addition at turn 0: lookup(q).",
                           "candidate added tool call(s): `lookup(q)`", "trajectory", 1.0),
            recommendation("warning", "review", 6, "Review refusal behaviour at turn 6: candidate may be over-refusing.",
                           "stop_reason changed", "safety", 0.63),
            recommendation("info", "verify", 9, "Cosmetic wording change at turn 9 — verify intended.", HOSTILE,
                           "semantic", 0.05)],
        "drill_down": [pair(2, {"trajectory": 1.0, "cost": 4.0, "semantic": 1.5}),
                       pair(0, {"latency": 1.1, "verbosity": 0.4})],
    }


def clean():
    """A report that passes the gate: nothing moved beyond minor."""
    report = regressed()
    report["rows"] = [row(axis, n=5) if axis != "judge" else row(axis) for axis in AXES]
    report["rows"][3] = row("verbosity", 100.0, 104.0, -3.0, 9.0, "minor", 5, ["ci_crosses_zero"])
    report.update(baseline_trace_id="b", first_divergence=None, divergences=[], recommendations=[], drill_down=[pair(0, {})])
    return report
