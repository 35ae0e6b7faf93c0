#include "core/diff/compute_report.h"

#include <algorithm>

#include "core/diff/conformance.h"
#include "core/diff/divergence.h"
#include "core/diff/drill_down.h"
#include "core/diff/reasoning.h"
#include "core/diff/recommendations.h"
#include "core/diff/safety.h"
#include "core/diff/semantic.h"
#include "core/diff/trajectory.h"
#include "core/diff/usage.h"

namespace korvane::diff {
namespace {

std::string trace_id(std::span<const agentlog::Record> trace) {
  return trace.empty() ? std::string() : trace.front().id;
}

// The nine rows in axis order; without pairs every series is empty and
// every row the zero row. Each axis's bootstrap is seeded on its own
// (under a seed, the axes of one series length share their draws, which are
// the same for each), so a row does not depend on the order of the axes.
std::vector<AxisStat> axis_rows(std::span<const ResponsePair> pairs, const PricingTable& pricing,
                                std::optional<uint64_t> seed) {
  const AxisSeries series[] = {
      semantic_series(pairs), trajectory_series(pairs), safety_series(pairs),
      verbosity_series(pairs), latency_series(pairs), cost_series(pairs, pricing),
      reasoning_series(pairs), judge_series(), conformance_series(pairs),
  };
  return build_rows(series, seed);
}

}  // namespace

std::vector<const agentlog::Record*> chat_responses(std::span<const agentlog::Record> trace) {
  std::vector<const agentlog::Record*> responses;
  for (const agentlog::Record& record : trace) {
    if (record.kind == agentlog::Kind::kChatResponse) responses.push_back(&record);
  }
  return responses;
}

std::vector<ResponsePair> pair_by_position(std::span<const agentlog::Record* const> baseline,
                                           std::span<const agentlog::Record* const> candidate) {
  size_t n = std::min(baseline.size(), candidate.size());
  std::vector<ResponsePair> pairs(n);
  for (size_t i = 0; i < n; ++i) pairs[i] = {baseline[i], candidate[i]};
  return pairs;
}

DiffReport compute_report(std::span<const agentlog::Record> baseline,
                          std::span<const agentlog::Record> candidate, const PricingTable& pricing,
                          std::optional<uint64_t> seed) {
  DiffReport report;
  report.baseline_trace_id = trace_id(baseline);
  report.candidate_trace_id = trace_id(candidate);

  std::vector<const agentlog::Record*> baseline_turns = chat_responses(baseline);
  std::vector<const agentlog::Record*> candidate_turns = chat_responses(candidate);
  std::vector<ResponsePair> pairs = pair_by_position(baseline_turns, candidate_turns);
  report.pair_count = pairs.size();
  report.rows = axis_rows(pairs, pricing, seed);

  // Alignment works on the full turn lists, surplus turns included.
  Divergences divergences = find_divergences(baseline_turns, candidate_turns);
  report.first_divergence = std::move(divergences.first);
  report.divergences = std::move(divergences.ranked);

  report.drill_down = drill_down(pairs, pricing);
  report.recommendations = recommendations(report.rows, report.divergences);
  return report;
}

}  // namespace korvane::diff
