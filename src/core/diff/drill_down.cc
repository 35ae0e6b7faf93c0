#include "core/diff/drill_down.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/diff/conformance.h"
#include "core/diff/pair_cost.h"
#include "core/diff/trajectory.h"
#include "core/diff/usage.h"

namespace korvane::diff {
namespace {

// |delta| / scale capped at kNormalizedDeltaCap; a ratio that is not a
// number counts as 0.
double normalize(double delta, double scale) {
  const double ratio = std::abs(delta) / scale;
  return std::isnan(ratio) ? 0.0 : std::min(ratio, kNormalizedDeltaCap);
}

AxisScore score(Axis axis, double baseline, double candidate, double normalized) {
  return AxisScore{axis, baseline, candidate, candidate - baseline, normalized};
}

double indicator(bool b) { return b ? 1.0 : 0.0; }

double usage(const agentlog::Record& r, std::string_view key) { return usage_number(r, key).value_or(0.0); }

}  // namespace

PairDrilldown score_pair(uint64_t pair_index, const ResponsePair& pair, const PricingTable& pricing) {
  const agentlog::Record& b = *pair.baseline;
  const agentlog::Record& c = *pair.candidate;
  const std::string text_b = drill_down_text(b);
  const std::string text_c = drill_down_text(c);

  PairDrilldown row;
  row.pair_index = row.baseline_turn = row.candidate_turn = pair_index;
  std::vector<AxisScore>& s = row.axis_scores;
  s.reserve(8);

  // The texts as they are: no whitespace normalisation, no equality shortcut.
  const double similarity = shingle_similarity(text_b, text_c);
  s.push_back(score(Axis::kSemantic, 1.0, similarity, normalize(kShapeDeltaWeight * (1.0 - similarity), 1.0)));

  const double distance = trajectory_distance(tool_shape_seq(b), tool_shape_seq(c));
  s.push_back(score(Axis::kTrajectory, 0.0, distance, normalize(kShapeDeltaWeight * distance, 1.0)));

  const double refusal_b = indicator(is_refusal(b));
  const double refusal_c = indicator(is_refusal(c));
  s.push_back(score(Axis::kSafety, refusal_b, refusal_c, normalize(refusal_c - refusal_b, 1.0)));

  const double out_b = usage(b, "output_tokens");
  const double out_c = usage(c, "output_tokens");
  s.push_back(score(Axis::kVerbosity, out_b, out_c, normalize(out_c - out_b, kVerbosityScale)));

  const double latency_b = reported_latency_ms(b).value_or(0.0);
  const double latency_c = reported_latency_ms(c).value_or(0.0);
  s.push_back(score(Axis::kLatency, latency_b, latency_c, normalize(latency_c - latency_b, kLatencyScaleMs)));

  const double cost_b = cost_of(b, pricing).value_or(0.0);
  const double cost_c = cost_of(c, pricing).value_or(0.0);
  s.push_back(score(Axis::kCost, cost_b, cost_c, normalize(cost_c - cost_b, kCostScale)));

  const double thinking_b = usage(b, "thinking_tokens");
  const double thinking_c = usage(c, "thinking_tokens");
  s.push_back(score(Axis::kReasoning, thinking_b, thinking_c, normalize(thinking_c - thinking_b, kReasoningScale)));

  const double json_b = indicator(parses_as_json(text_b));
  const double json_c = indicator(parses_as_json(text_c));
  s.push_back(score(Axis::kConformance, json_b, json_c, normalize(json_c - json_b, 1.0)));

  // Added in entry order; the later axis wins a tie for the largest delta.
  const AxisScore* dominant = &s.front();
  for (const AxisScore& entry : s) {
    row.regression_score += entry.normalized_delta;
    if (dominant->normalized_delta <= entry.normalized_delta) dominant = &entry;
  }
  row.dominant_axis = dominant->axis;
  return row;
}

std::vector<PairDrilldown> drill_down(std::span<const ResponsePair> pairs, const PricingTable& pricing) {
  std::vector<PairDrilldown> rows;
  rows.reserve(pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) rows.push_back(score_pair(i, pairs[i], pricing));
  // Rows are in pair order, so a stable sort keeps equal scores in it.
  std::stable_sort(rows.begin(), rows.end(), [](const PairDrilldown& a, const PairDrilldown& b) {
    return a.regression_score > b.regression_score;
  });
  if (rows.size() > kDrillDownLength) rows.resize(kDrillDownLength);
  return rows;
}

}  // namespace korvane::diff
