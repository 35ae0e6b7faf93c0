#include "core/diff/conformance.h"

#include <algorithm>

#include "core/json/reader.h"
#include "core/unicode/properties.h"
#include "core/unicode/utf8.h"

namespace korvane::diff {
namespace {

constexpr std::string_view kFence = "```";

bool is_ascii_alphanumeric(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string_view trim_white_space_end(std::string_view text) {
  size_t end = text.size();
  while (end > 0) {
    size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    size_t i = start;
    if (!unicode::is_white_space(unicode::decode(text, i))) break;
    end = start;
  }
  return text.substr(0, end);
}

std::string_view trim_white_space_start(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t i = begin;
    if (!unicode::is_white_space(unicode::decode(text, i))) break;
    begin = i;
  }
  return text.substr(begin);
}

}  // namespace

std::string response_text(const agentlog::Record& record) {
  std::string text;
  const json::JsonValue::Array* content = content_blocks(record);
  if (content == nullptr) return text;
  bool first = true;
  for (const json::JsonValue& block : *content) {
    const std::string_view* piece = block_text(block);
    if (piece == nullptr) continue;
    if (!first) text += ' ';
    text += *piece;
    first = false;
  }
  return text;
}

std::string_view trim_white_space(std::string_view text) {
  return trim_white_space_start(trim_white_space_end(text));
}

std::string_view strip_markdown_fences(std::string_view text) {
  const std::string_view t = trim_white_space(text);
  if (!t.starts_with(kFence)) return t;
  std::string_view body;
  if (const size_t line_feed = t.find('\n'); line_feed != std::string_view::npos) {
    body = t.substr(line_feed + 1);
  } else {
    body = t.substr(kFence.size());
    size_t tag = 0;
    while (tag < body.size() && is_ascii_alphanumeric(body[tag])) ++tag;
    body.remove_prefix(tag);
  }
  body = trim_white_space_end(body);
  if (body.ends_with(kFence)) body.remove_suffix(kFence.size());
  return trim_white_space(body);
}

std::optional<std::vector<std::string>> first_tool_use_keys(const agentlog::Record& record) {
  const json::JsonValue::Array* content = content_blocks(record);
  if (content == nullptr) return std::nullopt;
  for (const json::JsonValue& block : *content) {
    const std::string_view* type = string_member(block, "type");
    if (type == nullptr || *type != "tool_use") continue;
    const json::JsonObject* input = object_member(block, "input");
    if (input == nullptr) continue;
    std::vector<std::string> keys;
    keys.reserve(input->size());
    for (const json::JsonObject::Member& m : *input) keys.emplace_back(m.key);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
  }
  return std::nullopt;
}

std::optional<ConformancePair> conformance_of(const agentlog::Record& baseline,
                                              const agentlog::Record& candidate) {
  const std::string baseline_text = response_text(baseline);
  const std::string_view sb = strip_markdown_fences(baseline_text);
  if (!sb.empty() && (sb.front() == '{' || sb.front() == '[')) {
    const std::string candidate_text = response_text(candidate);
    return ConformancePair{json::is_json_text(sb) ? 1.0 : 0.0,
                           json::is_json_text(strip_markdown_fences(candidate_text)) ? 1.0 : 0.0};
  }
  const std::optional<std::vector<std::string>> kb = first_tool_use_keys(baseline);
  if (!kb) return std::nullopt;
  const std::optional<std::vector<std::string>> kc = first_tool_use_keys(candidate);
  return ConformancePair{1.0, kc && *kc == *kb ? 1.0 : 0.0};
}

AxisStat conformance_row(std::span<const ResponsePair> pairs, std::optional<uint64_t> seed) {
  std::vector<double> baseline;
  std::vector<double> candidate;
  for (const ResponsePair& pair : pairs) {
    if (const std::optional<ConformancePair> values = conformance_of(*pair.baseline, *pair.candidate)) {
      baseline.push_back(values->baseline);
      candidate.push_back(values->candidate);
    }
  }
  return build_row(Axis::kConformance, RowKind::kRate, Statistic::kMean, baseline, candidate, seed);
}

}  // namespace korvane::diff
