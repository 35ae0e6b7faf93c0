"""compute_diff_report: the order of its steps, the price list forms and
messages, the seed, and the shape of the returned dict."""

import json

import pytest

from korvane import _core as core
from vectors import CORPUS, load, record

REPORT_KEYS = [
    "rows", "baseline_trace_id", "candidate_trace_id", "pair_count",
    "first_divergence", "divergences", "recommendations", "drill_down",
]
AXES = ["semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "judge", "conformance"]
ROW_KEYS = ["axis", "baseline_median", "candidate_median", "delta", "ci95_low", "ci95_high", "severity", "n", "flags"]
PRICE_FIELDS = ["input", "output", "cached_input", "cached_write_5m", "cached_write_1h", "reasoning", "batch_discount"]

# Token counts chosen so that every price of the seven shows in the cost.
USAGE = {
    "input_tokens": 1,
    "cached_input_tokens": 10,
    "cached_write_5m_tokens": 100,
    "cached_write_1h_tokens": 1000,
    "output_tokens": 10000,
    "thinking_tokens": 100000,
}


def response(model="m", usage=USAGE, batch=True, text="hello"):
    payload = {"model": model, "usage": usage, "batch": batch,
               "content": [{"type": "text", "text": text}], "stop_reason": "end_turn"}
    return record(payload)


def cost_of(prices):
    """The cost of response() under prices (a dict of the seven fields)."""
    p = dict(prices)
    ci = p["cached_input"] if p["cached_input"] > 0 else p["input"]
    w5 = p["cached_write_5m"] if p["cached_write_5m"] > 0 else p["input"]
    w1 = p["cached_write_1h"] if p["cached_write_1h"] > 0 else p["input"]
    r = p["reasoning"] if p["reasoning"] > 0 else p["output"]
    cost = (USAGE["input_tokens"] * p["input"] + USAGE["cached_input_tokens"] * ci
            + USAGE["cached_write_5m_tokens"] * w5 + USAGE["cached_write_1h_tokens"] * w1
            + USAGE["output_tokens"] * p["output"] + USAGE["thinking_tokens"] * r)
    if p["batch_discount"] > 0:
        cost *= p["batch_discount"]
    return cost


def priced_cost(entry):
    report = core.compute_diff_report([response()], [response()], {"m": entry}, seed=1)
    row = report["rows"][5]
    assert row["axis"] == "cost" and row["n"] == 1
    return row["baseline_median"]


def pricing_error(pricing):
    with pytest.raises(ValueError) as info:
        core.compute_diff_report([response()], [response()], pricing, seed=1)
    assert type(info.value) is ValueError and len(info.value.args) == 1
    return info.value.args[0]


def prices(*values):
    out = dict.fromkeys(PRICE_FIELDS, 0.0)
    out.update(zip(PRICE_FIELDS, values))
    return out


def test_report_shape_for_empty_traces():
    report = core.compute_diff_report([], [], seed=0)
    assert list(report) == REPORT_KEYS
    assert [row["axis"] for row in report["rows"]] == AXES
    for row in report["rows"]:
        assert list(row) == ROW_KEYS
        assert type(row["n"]) is int and type(row["delta"]) is float
    assert report["pair_count"] == 0
    assert report["first_divergence"] is None
    assert report["divergences"] == [] and report["drill_down"] == []


def test_real_pair_report():
    pairs = json.loads((CORPUS / "pairs.json").read_text())["pairs"]
    pair = pairs[0]
    baseline = core.parse_agentlog((CORPUS / pair["baseline"]).read_bytes())
    candidate = core.parse_agentlog((CORPUS / pair["candidate"]).read_bytes())
    report = core.compute_diff_report(baseline, candidate, seed=42)
    assert list(report) == REPORT_KEYS
    assert report == core.compute_diff_report(baseline, candidate, seed=42)
    assert report["pair_count"] > 0
    assert report["baseline_trace_id"] and report["candidate_trace_id"]
    assert len(report["drill_down"]) <= 5 and len(report["recommendations"]) <= 8
    json.dumps(report, allow_nan=False)  # plain data, no NaN: non-finite numbers are None


@pytest.mark.parametrize(
    "entry, expected",
    [
        ((3.0, 15.0), prices(3.0, 15.0)),
        ((3, 15), prices(3.0, 15.0)),
        ((-1.0, 2.0), prices(-1.0, 2.0)),
        ((True, 2), prices(1.0, 2.0)),
        ([3.0, 15.0, 0.3], prices(3.0, 15.0, 0.3)),
        ((3.0, 15.0, 0.3), prices(3.0, 15.0, 0.3)),
        ([1, 2, 3, 4, 5, 6, 7], prices(1, 2, 3, 4, 5, 6, 7)),
        ({"output": 2, "input": 1, "batch_discount": 0.5, "other": "x"}, prices(1, 2, 0, 0, 0, 0, 0.5)),
        ({"input": 1, "output": 2, "cached_input": 3, "cached_write_5m": 4, "cached_write_1h": 5,
          "reasoning": 6, "batch_discount": 7}, prices(1, 2, 3, 4, 5, 6, 7)),
    ],
)
def test_price_entry_forms(entry, expected):
    assert priced_cost(entry) == pytest.approx(cost_of(expected), rel=1e-12)


def test_price_entry_through_the_float_protocol():
    class Price:
        def __init__(self, value):
            self.value = value

        def __float__(self):
            return self.value

    assert priced_cost((Price(3.0), Price(15.0))) == pytest.approx(cost_of(prices(3.0, 15.0)))


@pytest.mark.parametrize("vector", load("pricing_value.jsonl"), ids=lambda v: v["name"])
def test_pricing_value_vectors(vector):
    value = json.loads(vector["input"])
    if vector["ok"]:
        expected = json.loads(vector["expected"])
        assert list(expected) == PRICE_FIELDS
        assert priced_cost(value) == pytest.approx(cost_of(expected), rel=1e-12)
    else:
        assert pricing_error({"m": value}) + "\n" == "pricing value: " + vector["expected"]


@pytest.mark.parametrize(
    "pricing, message",
    [
        ({"m": [3.0]}, "pricing value: invalid length 1, expected struct ModelPricing with 7 elements"),
        ({"m": list(range(8))}, "pricing value: invalid length 8, expected fewer elements in array"),
        ({"m": {"output": 1.0}}, "pricing value: missing field `input`"),
        ({"m": (None, 1.0)}, "pricing value: invalid type: unit value, expected f64"),
        ({"m": ("3", 1.0)}, 'pricing value: invalid type: string "3", expected f64'),
        ({"m": (1.0,)}, "pricing value: invalid length 1, expected struct ModelPricing with 7 elements"),
        ({"m": 3.0}, "pricing value: invalid type: floating point `3.0`, expected struct ModelPricing"),
        ({"m": None}, "pricing value: invalid type: unit value, expected struct ModelPricing"),
        ({"m": object()}, "pricing value: unsupported type object"),
        ({"m": [2**64, 1]}, "pricing value: JSON number out of range"),
        ({1: (1.0, 2.0)}, "pricing key: TypeError: 'int' object cannot be converted to 'PyString'"),
        ({"ok": (1.0, 2.0), None: (1.0, 2.0)},
         "pricing key: TypeError: 'NoneType' object cannot be converted to 'PyString'"),
        ({"\ud800": (1.0, 2.0)},
         "pricing key: UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
         "surrogates not allowed"),
    ],
)
def test_pricing_errors(pricing, message):
    assert pricing_error(pricing) == message


def test_empty_pricing_is_no_pricing():
    pair = ([response()], [response()])
    none = core.compute_diff_report(*pair, seed=3)
    assert core.compute_diff_report(*pair, {}, seed=3) == none
    assert core.compute_diff_report(*pair, None, 3) == none
    assert "no_pricing" in none["rows"][5]["flags"]


def test_unknown_model_costs_nothing():
    report = core.compute_diff_report([response()], [response()], {"other": (1.0, 1.0)}, seed=3)
    assert report["rows"][5]["baseline_median"] == 0.0
    assert "no_pricing" in report["rows"][5]["flags"]


def test_failures_in_step_order():
    bad_record = {"version": "0.1"}
    with pytest.raises(ValueError, match="^missing field `id`$"):
        core.compute_diff_report([bad_record], [object()], {1: 2})
    with pytest.raises(ValueError, match="^unsupported type object$"):
        core.compute_diff_report([response()], [object()], {1: 2})
    with pytest.raises(ValueError, match="^pricing key"):
        core.compute_diff_report([response()], [response()], {1: 2})


def test_pricing_dict_is_visited_in_stored_order():
    class Reversed(dict):
        def __iter__(self):
            return reversed(list(dict.__iter__(self)))

        def items(self):
            return reversed(list(dict.items(self)))

    pricing = Reversed(first=[1.0], second=[2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0])
    assert pricing_error(pricing).startswith("pricing value: invalid length 1,")


def test_pricing_dict_resized_or_rekeyed_during_the_visit_is_an_internal_failure():
    pricing = {}

    class Grow:
        def __float__(self):
            pricing["added"] = (1.0, 1.0)
            return 1.0

    class Swap:
        def __float__(self):
            del pricing["a"]
            pricing["c"] = (1.0, 1.0)
            return 1.0

    pricing.update(a=(Grow(), 1.0), b=(1.0, 1.0))
    with pytest.raises(BaseException) as info:
        core.compute_diff_report([], [], pricing)
    assert not isinstance(info.value, Exception)
    assert info.value.args == ("dictionary changed size during iteration",)

    pricing.clear()
    pricing.update(a=(1.0, 1.0), b=(Swap(), 1.0))
    with pytest.raises(BaseException) as info:
        core.compute_diff_report([], [], pricing)
    assert not isinstance(info.value, Exception)
    assert info.value.args == ("dictionary keys changed during iteration",)


def test_seed_makes_reports_reproducible():
    base = [response(text="the quick brown fox"), response(text="jumps over"), response(text="the lazy dog")]
    cand = [response(text="a slow red fox"), response(text="walks"), response(text="a tired cat sleeps")]
    first = core.compute_diff_report(base, cand, {"m": (1.0, 2.0)}, seed=True)
    assert first == core.compute_diff_report(base, cand, {"m": (1.0, 2.0)}, seed=1)
    unseeded = core.compute_diff_report(base, cand, {"m": (1.0, 2.0)})
    assert list(unseeded) == REPORT_KEYS


def test_inputs_are_not_modified():
    base = [response(), response(text="x")]
    cand = [response(model="other")]
    pricing = {"m": (1.0, 2.0), "other": [1, 2, 3]}
    snapshot = json.dumps([base, cand, pricing])
    core.compute_diff_report(base, cand, pricing, seed=9)
    assert json.dumps([base, cand, pricing]) == snapshot
