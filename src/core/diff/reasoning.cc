#include "core/diff/reasoning.h"

#include <vector>

namespace korvane::diff {

double reasoning_score(const agentlog::Record& response) {
  double score = usage_number(response, "thinking_tokens").value_or(0.0);
  double blocks = 0.0;
  if (const json::JsonValue::Array* content = content_blocks(response)) {
    for (const json::JsonValue& block : *content) {
      const std::string_view* type = string_member(block, "type");
      if (type != nullptr && *type == "thinking") blocks += 1.0;
    }
  }
  return score + blocks;
}

AxisSeries reasoning_series(std::span<const ResponsePair> pairs) {
  AxisSeries series{Axis::kReasoning, RowKind::kValue, Statistic::kMedian, {}, {}};
  series.baseline.reserve(pairs.size());
  series.candidate.reserve(pairs.size());
  for (const ResponsePair& pair : pairs) {
    series.baseline.push_back(reasoning_score(*pair.baseline));
    series.candidate.push_back(reasoning_score(*pair.candidate));
  }
  return series;
}

}  // namespace korvane::diff
