#include "core/diff/axes.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace korvane::diff {

namespace {

AxisStat row_of(const AxisSeries& series, std::pair<double, double> interval) {
  const double b = statistic(series.statistic, series.baseline);
  const double c = statistic(series.statistic, series.candidate);
  const auto build = series.kind == RowKind::kValue ? &AxisStat::new_value : &AxisStat::new_rate;
  return build(series.axis, series.baseline.size(), b, c, c - b, interval.first, interval.second);
}

}  // namespace

AxisStat build_row(const AxisSeries& series, std::optional<uint64_t> seed) {
  return build_rows(std::span(&series, 1), seed).front();
}

std::vector<AxisStat> build_rows(std::span<const AxisSeries> series, std::optional<uint64_t> seed) {
  std::vector<AxisStat> rows;
  rows.reserve(series.size());
  for (const AxisSeries& s : series) rows.push_back(AxisStat::zero(s.axis));
  // Series of one length in groups, each group bootstrapped at once.
  std::vector<bool> done(series.size(), false);
  for (size_t first = 0; first < series.size(); ++first) {
    const size_t m = series[first].baseline.size();
    if (done[first] || m == 0) continue;
    std::vector<size_t> group;
    std::vector<SeriesPair> pairs;
    for (size_t k = first; k < series.size(); ++k) {
      if (done[k] || series[k].baseline.size() != m) continue;
      done[k] = true;
      group.push_back(k);
      pairs.push_back({series[k].baseline, series[k].candidate, series[k].statistic});
    }
    const std::vector<std::pair<double, double>> intervals = paired_bootstraps(pairs, seed);
    for (size_t g = 0; g < group.size(); ++g) rows[group[g]] = row_of(series[group[g]], intervals[g]);
  }
  for (size_t k = 0; k < series.size(); ++k) {
    for (AxisFlag flag : series[k].extra_flags) rows[k].add_flag(flag);
  }
  return rows;
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
