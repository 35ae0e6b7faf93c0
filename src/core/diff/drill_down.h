// The drill-down: which response pairs moved most.
//
// Every response pair is scored on eight axes (all but judge) with measures
// of its own, simpler than the axis rows': a character-shingle overlap of
// the texts, the tool-shape edit distance, a short refusal phrase list,
// token and latency differences, the cost under the pricing table, thinking
// tokens and a JSON test of the text (text_measures.h holds the text, refusal
// and JSON tests beside the axes' own). Each delta is put on a common scale,
// capped at kNormalizedDeltaCap; their sum is the pair's regression score.
// The kDrillDownLength pairs with the highest scores are kept.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/diff/cost.h"
#include "core/diff/pair_cost.h"
#include "core/diff/report.h"
#include "core/diff/text_measures.h"

namespace korvane::diff {

// The cap of a normalized delta.
inline constexpr double kNormalizedDeltaCap = 4.0;
// The text and trajectory deltas (a similarity lost, a distance gained, both
// 0 to 1) count twice.
inline constexpr double kShapeDeltaWeight = 2.0;
// Output tokens, latency in milliseconds, cost and thinking tokens per unit
// of normalized delta.
inline constexpr double kVerbosityScale = 100.0;
inline constexpr double kLatencyScaleMs = 1000.0;
inline constexpr double kCostScale = 0.01;
inline constexpr double kReasoningScale = 100.0;
// The number of pairs the drill-down keeps.
inline constexpr size_t kDrillDownLength = 5;

// The scores of one response pair; pair_index is the pair's position.
PairDrilldown score_pair(uint64_t pair_index, const ResponsePair& pair, const PricingTable& pricing);

// The kDrillDownLength pairs with the highest regression scores (ties in pair order),
// highest first.
std::vector<PairDrilldown> drill_down(std::span<const ResponsePair> pairs, const PricingTable& pricing);

}  // namespace korvane::diff
