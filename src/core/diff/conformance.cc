#include "core/diff/conformance.h"

#include <algorithm>

#include "core/json/reader.h"

namespace korvane::diff {
std::optional<std::vector<std::string>> first_tool_use_keys(const agentlog::Record& record) {
  std::optional<std::vector<std::string>> keys;
  for_each_tool_use(record, [&](const json::JsonValue& block) {
    const json::JsonObject* input = object_member(block, "input");
    if (keys || input == nullptr) return;
    keys.emplace();
    keys->reserve(input->size());
    for (const json::JsonObject::Member& m : *input) keys->emplace_back(m.key);
    std::sort(keys->begin(), keys->end());
    keys->erase(std::unique(keys->begin(), keys->end()), keys->end());
  });
  return keys;
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

AxisSeries conformance_series(std::span<const ResponsePair> pairs) {
  AxisSeries series{Axis::kConformance, RowKind::kRate, Statistic::kMean, {}, {}};
  for (const ResponsePair& pair : pairs) {
    if (const std::optional<ConformancePair> values = conformance_of(*pair.baseline, *pair.candidate)) {
      series.baseline.push_back(values->baseline);
      series.candidate.push_back(values->candidate);
    }
  }
  return series;
}

}  // namespace korvane::diff
