// Building chat_response records and response pairs for the axis tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/json/reader.h"
#include "core/json/value.h"

namespace korvane::diff::test {

// A chat_response whose payload is the JSON text payload_json.
inline agentlog::Record response(std::string_view payload_json) {
  agentlog::Record record;
  record.kind = agentlog::Kind::kChatResponse;
  record.payload = json::parse_json(payload_json);
  return record;
}

// A chat_response whose content is one text block per text.
inline agentlog::Record texts(std::initializer_list<std::string_view> pieces) {
  json::JsonValue::Array content;
  for (std::string_view piece : pieces) {
    json::JsonObject block;
    block.append("type", json::JsonValue("text"));
    block.append("text", json::JsonValue(piece));
    content.emplace_back(std::move(block));
  }
  json::JsonObject payload;
  payload.append("content", json::JsonValue(std::move(content)));
  agentlog::Record record;
  record.kind = agentlog::Kind::kChatResponse;
  record.payload = json::JsonValue(std::move(payload));
  return record;
}

// Pairs baseline[i] with candidate[i] for i below the shorter length.
inline std::vector<ResponsePair> pairs_of(std::span<const agentlog::Record> baseline,
                                          std::span<const agentlog::Record> candidate) {
  std::vector<ResponsePair> pairs;
  for (size_t i = 0; i < baseline.size() && i < candidate.size(); ++i) pairs.push_back({&baseline[i], &candidate[i]});
  return pairs;
}

// v to twelve significant digits, in the shortest form: "1", "0.2", "1e+20".
inline std::string num(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.12g", v);
  return buffer;
}

// The fields of row as tokens: the axis name, "n=3", "b=0.5", "c=1", "d=0.5",
// "ci=[0,1]", the severity name and "flags=low_power,no_pricing"; numbers as
// num() writes them.
inline std::string row_summary(const AxisStat& row) {
  std::string flags;
  for (AxisFlag flag : row.flags) flags += (flags.empty() ? "" : ",") + std::string(axis_flag_name(flag));
  return std::string(axis_name(row.axis)) + " n=" + std::to_string(row.n) + " b=" + num(row.baseline_median) +
         " c=" + num(row.candidate_median) + " d=" + num(row.delta) + " ci=[" + num(row.ci95_low) + "," +
         num(row.ci95_high) + "] " + std::string(severity_name(row.severity)) + " flags=" + flags;
}

// Success when every token of expected (in row_summary's form, any subset in
// any order) is a field of row.
inline testing::AssertionResult row_has(const AxisStat& row, std::string_view expected) {
  const std::string summary = row_summary(row);
  std::istringstream want{std::string(expected)};
  for (std::string token; want >> token;) {
    if ((" " + summary + " ").find(" " + token + " ") == std::string::npos) {
      return testing::AssertionFailure() << "no " << token << " in " << summary;
    }
  }
  return testing::AssertionSuccess();
}

}  // namespace korvane::diff::test
