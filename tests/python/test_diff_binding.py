"""compute_diff_report: real pairs end to end, the shape of the returned
dict, the price entries and their messages, and the order of its steps."""

import json

import pytest

from korvane import _core as core
from vectors import CORPUS, load, record

# Token counts chosen so that every price of the seven shows in the cost.
USAGE = {"input_tokens": 1, "cached_input_tokens": 10, "cached_write_5m_tokens": 100, "cached_write_1h_tokens": 1000,
         "output_tokens": 10000, "thinking_tokens": 100000}
RESPONSE = record({"model": "m", "usage": USAGE, "batch": True, "content": [{"type": "text", "text": "hello"}]})


def priced_cost(entry):
    row = core.compute_diff_report([RESPONSE], [RESPONSE], {"m": entry}, seed=1)["rows"][5]
    assert row["axis"] == "cost" and row["n"] == 1
    return row["baseline_median"]


def pricing_error(pricing):
    with pytest.raises(ValueError) as info:
        core.compute_diff_report([RESPONSE], [RESPONSE], pricing, seed=1)
    assert type(info.value) is ValueError and len(info.value.args) == 1
    return info.value.args[0]


def corpus_pair(index):
    pair = json.loads((CORPUS / "pairs.json").read_text())["pairs"][index]
    return [core.parse_agentlog((CORPUS / pair[side]).read_bytes()) for side in ("baseline", "candidate")]


# Key figures of real pairs from the release before this one (seed 1, these prices): each row but judge's
# (axis, baseline, candidate, low, high, severity, n, flags), the first divergence, the ranked divergences,
# the recommendations and the drill-down as (pair, regression score, dominant axis).
CORPUS_PRICING = {"gpt-5.4": (2.5e-6, 1e-5), "claude-opus-4-6": (1.5e-5, 7.5e-5)}
CORPUS_REPORTS = {
    0: dict(
        pairs=5,
        rows=[("semantic", 1.0, 0.3830097498779175, -1.0, -0.5873430288266612, "severe", 5, []),
              ("trajectory", 0.0, 0.0, 0.0, 1.0, "none", 5, []),
              ("safety", 0.2, 0.4, 0.0, 0.6, "severe", 5, []),
              ("verbosity", 75.0, 142.0, -26.0, 83.0, "minor", 5, ["ci_crosses_zero"]),
              ("latency", 1565.923, 3740.42, 502.32400000000007, 3075.675, "severe", 5, []),
              ("cost", 0.011715, 0.10755, 0.07530250000000001, 0.1006125, "severe", 5, []),
              ("reasoning", 0.0, 0.0, 0.0, 0.0, "none", 5, []),
              ("conformance", 1.0, 0.2, -1.0, -0.4, "severe", 5, [])],
        first=(0, 0, "decision_drift", "response text diverged (text similarity 0.17); same tool sequence",
               0.10055746140651803),
        divergences=[(4, 4, "structural_drift"), (1, 1, "decision_drift"), (2, 2, "decision_drift"),
                     (0, 0, "decision_drift"), (3, 3, "decision_drift")],
        recommendations=[("error", "restore", 4), ("warning", "review", 1), ("warning", "review", 2),
                         ("warning", "review", 0), ("warning", "review", 3)],
        drill=[(4, 12.905675, "cost"), (3, 8.407562095238, "cost"), (2, 7.81078947651, "cost"),
               (0, 7.789394528302, "cost"), (1, 7.565288, "cost")]),
    13: dict(
        pairs=9,
        rows=[("semantic", 1.0, 0.10902852898448048, -1.0, 0.0, "severe", 9, []),
              ("trajectory", 0.0, 1.0, 1.0, 1.0, "severe", 9, []),
              ("safety", 0.1111111111111111, 0.0, -0.3333333333333333, 0.0, "moderate", 9, []),
              ("verbosity", 0.0, 0.0, 0.0, 0.0, "none", 0, []),
              ("latency", 5320.121, 11241.24, -4442.701499999999, 9149.294000000002, "minor", 9,
               ["ci_crosses_zero"]),
              ("cost", 0.0, 0.0, 0.0, 0.0, "none", 0, ["no_pricing"]),
              ("reasoning", 1.0, 0.0, -1.0, -1.0, "severe", 9, []),
              ("conformance", 1.0, 0.0, -1.0, -1.0, "severe", 6, [])],
        first=(0, 0, "structural_drift",
               "candidate inserted an extra turn with 3 tool calls between baseline turns #0 and #0", 1.0),
        divergences=[(0, k, "structural_drift") for k in range(5)],
        recommendations=[("error", "review", 0)] * 5,
        drill=[(7, 12.812002892263, "latency"), (4, 11.965517241379, "latency"), (3, 10.38, "latency"),
               (1, 10.11, "latency"), (0, 9.97, "latency")]),
    26: dict(
        pairs=10,
        rows=[("semantic", 1.0, 0.0, -1.0, -0.744233583225201, "severe", 10, []),
              ("trajectory", 0.0, 0.25, 0.0, 1.0, "severe", 10, []),
              ("safety", 0.0, 0.0, 0.0, 0.0, "none", 10, []),
              ("verbosity", 94.0, 171.5, -6.049999999999997, 242.03749999999997, "minor", 10, ["ci_crosses_zero"]),
              ("latency", 2058.5640000000003, 4754.7675, 157.9869500000002, 3767.3155749999996, "severe", 10, []),
              ("cost", 0.016295000000000004, 0.0, -0.01728, -0.012440000000000001, "severe", 10, ["no_pricing"]),
              ("reasoning", 0.0, 0.0, 0.0, 0.0, "none", 10, []),
              ("conformance", 1.0, 0.2, -1.0, -0.5, "severe", 10, [])],
        first=(0, 0, "decision_drift", "response text diverged (text similarity 0.22); same tool sequence",
               0.08388661899897856),
        divergences=[(3, 3, "structural_drift")] + [(k, 3, "structural_drift") for k in range(4, 8)],
        recommendations=[("error", "restore", k) for k in range(3, 8)],
        drill=[(3, 11.9335, "latency"), (5, 10.605702526799, "latency"), (6, 10.244847, "latency"),
               (7, 9.731189555556, "latency"), (2, 7.741995, "verbosity")]),
}


@pytest.mark.parametrize("index", sorted(CORPUS_REPORTS))
def test_corpus_pairs_end_to_end(index):
    want = CORPUS_REPORTS[index]
    report = core.compute_diff_report(*corpus_pair(index), CORPUS_PRICING, seed=1)
    assert report["pair_count"] == want["pairs"]
    keys = ("axis", "baseline_median", "candidate_median", "ci95_low", "ci95_high", "severity", "n", "flags")
    assert [tuple(row[k] for k in keys) for row in report["rows"] if row["axis"] != "judge"] == want["rows"]
    first = [report["first_divergence"][k] for k in ("baseline_turn", "candidate_turn", "kind", "explanation", "confidence")]
    assert tuple(first) == want["first"]
    assert [(d["baseline_turn"], d["candidate_turn"], d["kind"]) for d in report["divergences"]] == want["divergences"]
    assert [(r["severity"], r["action"], r["turn"]) for r in report["recommendations"]] == want["recommendations"]
    assert [(d["pair_index"], round(d["regression_score"], 12), d["dominant_axis"]) for d in report["drill_down"]] == \
        want["drill"]


def test_report_shape():
    baseline, candidate = corpus_pair(0)
    report = core.compute_diff_report(baseline, candidate, seed=3)
    assert (report["baseline_trace_id"], report["candidate_trace_id"]) == (baseline[0]["id"], candidate[0]["id"])
    pair = report["drill_down"][0]
    for value, keys in [
            (report, "rows baseline_trace_id candidate_trace_id pair_count first_divergence divergences recommendations "
                     "drill_down"),
            (report["rows"][0], "axis baseline_median candidate_median delta ci95_low ci95_high severity n flags"),
            (report["first_divergence"], "baseline_turn candidate_turn kind primary_axis explanation confidence"),
            (report["recommendations"][0], "severity action turn message rationale axis confidence"),
            (pair, "pair_index baseline_turn candidate_turn axis_scores regression_score dominant_axis"),
            (pair["axis_scores"][0], "axis baseline_value candidate_value delta normalized_delta")]:
        assert list(value) == keys.split()
    # Without a response on one side every row is the zero row, without a seed.
    for sides in ([[r for r in baseline if r["kind"] != "chat_response"], candidate], [candidate, []]):
        report = core.compute_diff_report(*sides)
        assert (report["pair_count"], report["first_divergence"], report["divergences"], report["drill_down"]) == (
            0, None, [], [])
        assert {(r["baseline_median"], r["delta"], r["ci95_high"], r["n"], len(r["flags"])) for r in report["rows"]} == \
            {(0.0, 0.0, 0.0, 0, 0)}


def test_median_of_huge_latencies_is_finite():
    # The mean of the two middle values used to overflow: the row read None.
    base = [record({"latency_ms": 9e307}) for _ in range(10)]
    cand = [record({"latency_ms": 1.6e308}) for _ in range(10)]
    row = core.compute_diff_report(base, cand, seed=1)["rows"][4]
    assert (row["baseline_median"], row["candidate_median"]) == (9e307, 1.6e308)
    assert row["delta"] == row["ci95_low"] == row["ci95_high"] == 1.6e308 - 9e307


@pytest.mark.parametrize("vector", load("pricing_value.jsonl"), ids=lambda v: v["name"])
def test_pricing_value_vectors(vector):
    value = json.loads(vector["input"])
    if vector["ok"]:
        # The same prices as the seven-element list form.
        assert priced_cost(value) == pytest.approx(priced_cost(list(json.loads(vector["expected"]).values())))
    else:
        assert pricing_error({"m": value}) + "\n" == "pricing value: " + vector["expected"]


@pytest.mark.parametrize("change, message", [
    (lambda pricing: pricing.update(added=(1.0, 1.0)), "dictionary changed size during iteration"),
    (lambda pricing: pricing.pop("a") and pricing.update(c=(1.0, 1.0)), "dictionary keys changed during iteration")])
def test_pricing_dict_changed_during_the_visit_is_an_internal_failure(change, message):
    pricing = {"a": (1.0, 1.0)}
    pricing["b"] = (type("Changing", (), {"__float__": lambda self: change(pricing) or 1.0})(), 1.0)
    with pytest.raises(BaseException) as info:
        core.compute_diff_report([], [], pricing)
    assert not isinstance(info.value, Exception) and info.value.args == (message,)
