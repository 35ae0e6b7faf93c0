// Pieces shared by the axis extractors: the response pair, the row builder
// and readers of chat_response payload members.
//
// Every axis turns the response pairs into two equally long value series and
// hands them to build_row(). The readers never fail: a member that is
// missing or of another kind reads as absent.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/bootstrap.h"
#include "core/diff/report.h"
#include "core/json/value.h"

namespace korvane::diff {

// The i-th chat_response of the baseline with the i-th of the candidate. The
// records belong to the caller and outlive the pair.
struct ResponsePair {
  const agentlog::Record* baseline;
  const agentlog::Record* candidate;
};

// How a row grades its delta: relative to the baseline (AxisStat::new_value)
// or on the absolute scale of a rate (AxisStat::new_rate).
enum class RowKind { kValue, kRate };

// What an axis extracts from the pairs: two equally long value series, the
// statistic and grading of its row, and flags the axis appends after the
// row builder's (no_pricing on the cost row).
struct AxisSeries {
  Axis axis;
  RowKind kind;
  Statistic statistic;
  std::vector<double> baseline;
  std::vector<double> candidate;
  std::vector<AxisFlag> extra_flags = {};
};

// The common calling sequence of an axis: the zero row for empty series;
// otherwise the statistic of each side, the bootstrap interval of the delta
// and the row with n = series length and delta = candidate - baseline; then
// the extra flags. Throws InternalError when OS entropy is needed and
// refused.
AxisStat build_row(const AxisSeries& series, std::optional<uint64_t> seed);

// build_row() of each series, in order. Under a seed the bootstraps of
// series of one length share their draws (paired_bootstraps()).
std::vector<AxisStat> build_rows(std::span<const AxisSeries> series, std::optional<uint64_t> seed);

// The member key of value when value is an object holding it, of the kind
// asked for; nullptr (or nothing) otherwise. number_member converts any JSON
// number to the nearest double.
const json::JsonObject* object_member(const json::JsonValue& value, std::string_view key);
const std::string_view* string_member(const json::JsonValue& value, std::string_view key);
std::optional<double> number_member(const json::JsonValue& value, std::string_view key);

// The "content" array of a record's payload, or nullptr.
const json::JsonValue::Array* content_blocks(const agentlog::Record& record);

// The "text" of a text block (an object whose "type" is exactly "text" and
// whose "text" is a string); nullptr for any other content entry.
const std::string_view* block_text(const json::JsonValue& block);

// usage.{key} of a record's payload as a double, when "usage" is an object
// holding a number there.
std::optional<double> usage_number(const agentlog::Record& record, std::string_view key);

// The tool_use blocks of a record's "content" array, in order: the entries
// that are objects whose "type" is exactly "tool_use". f(block) is called
// for each.
template <typename F>
void for_each_tool_use(const agentlog::Record& record, F&& f) {
  const json::JsonValue::Array* content = content_blocks(record);
  if (content == nullptr) return;
  for (const json::JsonValue& block : *content) {
    const std::string_view* type = string_member(block, "type");
    if (type != nullptr && *type == "tool_use") f(block);
  }
}

// A tool_use block's "name" when it is a string (possibly empty), else "_".
std::string_view tool_name(const json::JsonValue& block);

// The shape of a tool_use block: tool_name(), "(", the member names of its
// "input" object sorted by their bytes and joined by ",", ")". A block
// without an object input has no argument names: "search()".
std::string tool_shape_of(const json::JsonValue& block);

}  // namespace korvane::diff
