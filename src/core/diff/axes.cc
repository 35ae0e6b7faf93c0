#include "core/diff/axes.h"

namespace korvane::diff {

AxisStat build_row(Axis axis, RowKind kind, Statistic which, std::span<const double> baseline,
                   std::span<const double> candidate, std::optional<uint64_t> seed) {
  if (baseline.empty() && candidate.empty()) return AxisStat::zero(axis);
  double b = statistic(which, baseline);
  double c = statistic(which, candidate);
  auto [low, high] = paired_bootstrap(baseline, candidate, which, seed);
  auto build = kind == RowKind::kValue ? &AxisStat::new_value : &AxisStat::new_rate;
  return build(axis, baseline.size(), b, c, c - b, low, high);
}

const json::JsonObject* object_member(const json::JsonValue& value, std::string_view key) {
  const json::JsonValue* member = value.find(key);
  return member == nullptr ? nullptr : member->if_object();
}

const std::string* string_member(const json::JsonValue& value, std::string_view key) {
  const json::JsonValue* member = value.find(key);
  return member == nullptr ? nullptr : member->if_string();
}

std::optional<double> number_member(const json::JsonValue& value, std::string_view key) {
  const json::JsonValue* member = value.find(key);
  return member == nullptr ? std::nullopt : member->as_double();
}

const json::JsonValue::Array* content_blocks(const agentlog::Record& record) {
  const json::JsonValue* content = record.payload.find("content");
  return content == nullptr ? nullptr : content->if_array();
}

std::optional<double> usage_number(const agentlog::Record& record, std::string_view key) {
  const json::JsonValue* usage = record.payload.find("usage");
  return usage == nullptr ? std::nullopt : number_member(*usage, key);
}

}  // namespace korvane::diff
