#include "core/diff/cost.h"

#include <array>
#include <cmath>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json/describe.h"

namespace korvane::diff {
namespace {

// The fields of ModelPricing in declaration order, with their names in the
// object form.
constexpr std::array<double ModelPricing::*, 7> kPriceFields = {
    &ModelPricing::input,           &ModelPricing::output,          &ModelPricing::cached_input,
    &ModelPricing::cached_write_5m, &ModelPricing::cached_write_1h, &ModelPricing::reasoning,
    &ModelPricing::batch_discount,
};
constexpr std::array<std::string_view, 7> kPriceNames = {
    "input", "output", "cached_input", "cached_write_5m", "cached_write_1h", "reasoning",
    "batch_discount",
};

// Null is described as "unit value" in these messages.
constexpr std::string_view kNullWord = "unit value";

double price_from_value(const json::JsonValue& value) {
  if (std::optional<double> price = value.as_double()) return *price;
  throw Error(json::invalid_type_message(value, "f64", kNullWord));
}

ModelPricing pricing_from_array(const json::JsonValue::Array& items) {
  ModelPricing pricing;
  size_t k = items.size();
  for (size_t i = 0; i < k && i < kPriceFields.size(); ++i) {
    pricing.*kPriceFields[i] = price_from_value(items[i]);
  }
  if (k < 2) {
    throw Error("invalid length " + std::to_string(k) +
                ", expected struct ModelPricing with 7 elements");
  }
  if (k > kPriceFields.size()) {
    throw Error("invalid length " + std::to_string(k) + ", expected fewer elements in array");
  }
  return pricing;
}

ModelPricing pricing_from_object(const json::JsonObject& members) {
  ModelPricing pricing;
  std::array<bool, 7> seen{};
  for (const json::JsonObject::Member& member : members) {
    for (size_t i = 0; i < kPriceNames.size(); ++i) {
      if (member.key != kPriceNames[i]) continue;
      if (seen[i]) throw Error("duplicate field `" + std::string(member.key) + "`");
      seen[i] = true;
      pricing.*kPriceFields[i] = price_from_value(member.value);
      break;
    }
  }
  if (!seen[0]) throw Error("missing field `input`");
  if (!seen[1]) throw Error("missing field `output`");
  return pricing;
}

inline double positive_or(double price, double fallback) { return price > 0.0 ? price : fallback; }

}  // namespace

ModelPricing model_pricing_from_value(const json::JsonValue& value) {
  if (const json::JsonValue::Array* items = value.if_array()) return pricing_from_array(*items);
  if (const json::JsonObject* members = value.if_object()) return pricing_from_object(*members);
  throw Error(json::invalid_type_message(value, "struct ModelPricing", kNullWord));
}

std::optional<double> cost_of(const agentlog::Record& response, const PricingTable& table) {
  const json::JsonValue& payload = response.payload;
  const std::string_view* model = string_member(payload, "model");
  const json::JsonValue* usage = payload.find("usage");
  if (model == nullptr || usage == nullptr || usage->if_object() == nullptr) return std::nullopt;
  std::optional<double> input_tokens = number_member(*usage, "input_tokens");
  std::optional<double> output_tokens = number_member(*usage, "output_tokens");
  if (!input_tokens || !output_tokens) return std::nullopt;
  double cached_input_tokens = number_member(*usage, "cached_input_tokens").value_or(0.0);
  double cached_5m_tokens = number_member(*usage, "cached_write_5m_tokens").value_or(0.0);
  double cached_1h_tokens = number_member(*usage, "cached_write_1h_tokens").value_or(0.0);
  double thinking_tokens = number_member(*usage, "thinking_tokens").value_or(0.0);

  // JSON numbers are finite; the check guards against any other source.
  for (double count : {*input_tokens, *output_tokens, cached_input_tokens, cached_5m_tokens,
                       cached_1h_tokens, thinking_tokens}) {
    if (!std::isfinite(count)) return 0.0;
  }
  auto found = table.find(*model);
  if (found == table.end()) return 0.0;
  const ModelPricing& p = found->second;

  double cost = *input_tokens * p.input;
  cost += cached_input_tokens * positive_or(p.cached_input, p.input);
  cost += cached_5m_tokens * positive_or(p.cached_write_5m, p.input);
  cost += cached_1h_tokens * positive_or(p.cached_write_1h, p.input);
  cost += *output_tokens * p.output;
  cost += thinking_tokens * positive_or(p.reasoning, p.output);

  const json::JsonValue* batch = payload.find("batch");
  const bool* is_batch = batch == nullptr ? nullptr : batch->if_bool();
  if (is_batch != nullptr && *is_batch && p.batch_discount > 0.0) cost *= p.batch_discount;
  return cost;
}

bool model_in_table(const agentlog::Record& response, const PricingTable& table) {
  const std::string_view* model = string_member(response.payload, "model");
  return model != nullptr && table.contains(*model);
}

bool pair_is_priced(const agentlog::Record& baseline, const agentlog::Record& candidate,
                    const PricingTable& table) {
  return model_in_table(baseline, table) && model_in_table(candidate, table);
}

AxisSeries cost_series(std::span<const ResponsePair> pairs, const PricingTable& table) {
  AxisSeries series{Axis::kCost, RowKind::kValue, Statistic::kMedian, {}, {}};
  size_t priced = 0;
  for (const ResponsePair& pair : pairs) {
    std::optional<double> b = cost_of(*pair.baseline, table);
    std::optional<double> c = cost_of(*pair.candidate, table);
    if (!b || !c) continue;
    series.baseline.push_back(*b);
    series.candidate.push_back(*c);
    if (pair_is_priced(*pair.baseline, *pair.candidate, table)) ++priced;
  }
  if (2 * priced < pairs.size()) series.extra_flags.push_back(AxisFlag::kNoPricing);
  return series;
}

}  // namespace korvane::diff
