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

# Token counts chosen so that every price of the seven shows in the cost.
USAGE = {"input_tokens": 1, "cached_input_tokens": 10, "cached_write_5m_tokens": 100, "cached_write_1h_tokens": 1000,
         "output_tokens": 10000, "thinking_tokens": 100000}


def response(model="m", text="hello"):
    return record({"model": model, "usage": USAGE, "batch": True, "content": [{"type": "text", "text": text}],
                   "stop_reason": "end_turn"})


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


def corpus_pair():
    pair = json.loads((CORPUS / "pairs.json").read_text())["pairs"][0]
    return [core.parse_agentlog((CORPUS / pair[side]).read_bytes()) for side in ("baseline", "candidate")]


@pytest.mark.parametrize("traces", [[[], []], corpus_pair()], ids=["empty", "corpus pair"])
def test_report_shape(traces):
    report = core.compute_diff_report(*traces, seed=42)
    assert list(report) == REPORT_KEYS and report == core.compute_diff_report(*traces, seed=42)
    assert [row["axis"] for row in report["rows"]] == AXES
    assert all(list(r) == ROW_KEYS and type(r["n"]) is int and type(r["delta"]) is float for r in report["rows"])
    assert len(report["drill_down"]) <= 5 and len(report["recommendations"]) <= 8
    json.dumps(report, allow_nan=False)  # plain data, no NaN: non-finite numbers are None
    if traces[0]:
        assert report["pair_count"] > 0 and report["baseline_trace_id"] and report["candidate_trace_id"]
    else:
        assert (report["pair_count"], report["first_divergence"], report["divergences"], report["drill_down"]) == (
            0, None, [], [])


class Price:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


# Costs of response(): zero cached and reasoning prices fall back to the input
# and output prices, a zero batch discount is none.
@pytest.mark.parametrize(
    "entry, cost",
    [
        ((3.0, 15.0), 1653333.0), ((Price(3.0), Price(15.0)), 1653333.0), ((-1.0, 2.0), 218889.0),
        ((True, 2), 221111.0), ((3.0, 15.0, 0.3), 1653306.0), ([1, 2, 3, 4, 5, 6, 7], 4378017.0),
        ({"output": 2, "input": 1, "batch_discount": 0.5, "other": "x"}, 110555.5),
    ],
)
def test_price_entry_forms(entry, cost):
    assert priced_cost(entry) == pytest.approx(cost, rel=1e-12)


@pytest.mark.parametrize("vector", load("pricing_value.jsonl"), ids=lambda v: v["name"])
def test_pricing_value_vectors(vector):
    value = json.loads(vector["input"])
    if vector["ok"]:
        # The same prices as the seven-element list form.
        assert priced_cost(value) == pytest.approx(priced_cost(list(json.loads(vector["expected"]).values())))
    else:
        assert pricing_error({"m": value}) + "\n" == "pricing value: " + vector["expected"]


NOT_STRING = "pricing key: TypeError: '{}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "pricing, message",
    [
        ({"m": (None, 1.0)}, "pricing value: invalid type: unit value, expected f64"),
        ({"m": (1.0,)}, "pricing value: invalid length 1, expected struct ModelPricing with 7 elements"),
        ({"m": object()}, "pricing value: unsupported type object"),
        ({"m": [2**64, 1]}, "pricing value: JSON number out of range"),
        ({1: (1.0, 2.0)}, NOT_STRING.format("int")),
        ({"ok": (1.0, 2.0), None: (1.0, 2.0)}, NOT_STRING.format("NoneType")),
        ({"\ud800": (1.0, 2.0)}, "pricing key: UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' "
                                 "in position 0: surrogates not allowed"),
    ],
)
def test_pricing_errors(pricing, message):
    assert pricing_error(pricing) == message


def test_empty_or_unmatched_pricing_is_no_pricing():
    pair = ([response()], [response()])
    none = core.compute_diff_report(*pair, seed=3)
    assert core.compute_diff_report(*pair, {}, seed=3) == core.compute_diff_report(*pair, None, 3) == none
    other = core.compute_diff_report(*pair, {"other": (1.0, 1.0)}, seed=3)["rows"][5]
    for row in (none["rows"][5], other):
        assert row["baseline_median"] == 0.0 and "no_pricing" in row["flags"]


def test_failures_in_step_order():
    with pytest.raises(ValueError, match="^missing field `id`$"):
        core.compute_diff_report([{"version": "0.1"}], [object()], {1: 2})
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


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda pricing: pricing.update(added=(1.0, 1.0)), "dictionary changed size during iteration"),
        (lambda pricing: pricing.pop("a") and pricing.update(c=(1.0, 1.0)), "dictionary keys changed during iteration"),
    ],
)
def test_pricing_dict_changed_during_the_visit_is_an_internal_failure(change, message):
    pricing = {}

    class Changing:
        def __float__(self):
            change(pricing)
            return 1.0

    pricing.update(a=(1.0, 1.0), b=(Changing(), 1.0))
    with pytest.raises(BaseException) as info:
        core.compute_diff_report([], [], pricing)
    assert not isinstance(info.value, Exception) and info.value.args == (message,)


def test_seed_makes_reports_reproducible_and_inputs_stay_unchanged():
    base = [response(text="the quick brown fox"), response(text="jumps over"), response(text="the lazy dog")]
    cand = [response(text="a slow red fox"), response(text="walks"), response(model="other", text="a tired cat")]
    pricing = {"m": (1.0, 2.0), "other": [1, 2, 3]}
    snapshot = json.dumps([base, cand, pricing])
    first = core.compute_diff_report(base, cand, pricing, seed=True)
    assert first == core.compute_diff_report(base, cand, pricing, seed=1)
    assert list(core.compute_diff_report(base, cand, pricing)) == REPORT_KEYS
    assert json.dumps([base, cand, pricing]) == snapshot
