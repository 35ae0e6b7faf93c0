#include "core/diff/axes.h"

#include <algorithm>
#include <vector>

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

const std::string_view* string_member(const json::JsonValue& value, std::string_view key) {
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

const std::string_view* block_text(const json::JsonValue& block) {
  const std::string_view* type = string_member(block, "type");
  return type != nullptr && *type == "text" ? string_member(block, "text") : nullptr;
}

std::optional<double> usage_number(const agentlog::Record& record, std::string_view key) {
  const json::JsonValue* usage = record.payload.find("usage");
  return usage == nullptr ? std::nullopt : number_member(*usage, key);
}

std::string_view tool_name(const json::JsonValue& block) {
  const std::string_view* name = string_member(block, "name");
  return name == nullptr ? std::string_view("_") : std::string_view(*name);
}

std::string tool_shape_of(const json::JsonValue& block) {
  std::string shape(tool_name(block));
  shape += '(';
  if (const json::JsonObject* input = object_member(block, "input")) {
    std::vector<std::string_view> names;
    names.reserve(input->size());
    for (const json::JsonObject::Member& m : *input) names.emplace_back(m.key);
    // string_view orders by unsigned bytes.
    std::sort(names.begin(), names.end());
    for (size_t k = 0; k < names.size(); ++k) {
      if (k > 0) shape += ',';
      shape += names[k];
    }
  }
  shape += ')';
  return shape;
}

}  // namespace korvane::diff
