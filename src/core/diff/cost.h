// The cost axis: what each response costs under a caller-supplied price
// list.
//
// A response is priced from its payload's "model" and the token counts of
// its "usage". Cached and thinking tokens are priced on top of input_tokens
// and output_tokens, never subtracted from them. A model missing from the
// table costs 0.0 (and shows up only through the row's no_pricing flag); a
// response without a model or the two required counts cannot be priced.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/diff/report.h"
#include "core/json/value.h"

namespace korvane::diff {

// The prices of one model per token, in the order of the array form. A
// cached or cache-write price that is not greater than 0.0 (NaN included)
// falls back to input, a reasoning price to output; a batch_discount not
// greater than 0.0 applies no factor.
struct ModelPricing {
  double input = 0.0;
  double output = 0.0;
  double cached_input = 0.0;
  double cached_write_5m = 0.0;
  double cached_write_1h = 0.0;
  double reasoning = 0.0;
  double batch_discount = 0.0;
};

// Model name -> prices; names match as exact texts.
using PricingTable = std::map<std::string, ModelPricing, std::less<>>;

// Reads one price entry from its JSON form: an array of 2 to 7 numbers in
// field order (missing trailing prices 0.0), or an object with the required
// keys "input" and "output" and the other five optional (unknown keys are
// ignored). Throws Error with the reason, e.g. "missing field `input`" or
// "invalid type: unit value, expected f64"; the caller adds its context.
ModelPricing model_pricing_from_value(const json::JsonValue& value);

// The cost of one response, or nothing when the payload lacks a string
// "model", an object "usage" or a number "input_tokens" / "output_tokens".
std::optional<double> cost_of(const agentlog::Record& response, const PricingTable& table);

// Whether the payload names a model (a string "model") that table holds.
bool model_in_table(const agentlog::Record& response, const PricingTable& table);
bool pair_is_priced(const agentlog::Record& baseline, const agentlog::Record& candidate,
                    const PricingTable& table);

// The series of row 5: the costs of the pairs where both sides can be
// priced, reduced by the median and graded relative to the baseline, with
// the extra flag no_pricing when fewer than half of all pairs are priced on
// both sides.
AxisSeries cost_series(std::span<const ResponsePair> pairs, const PricingTable& table);

}  // namespace korvane::diff
