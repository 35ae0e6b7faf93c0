// Building chat_response records and response pairs for the axis tests.
#pragma once

#include <initializer_list>
#include <span>
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

}  // namespace korvane::diff::test
