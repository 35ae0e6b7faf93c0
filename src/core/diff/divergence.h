// Divergences: where and how the candidate's turns depart from the
// baseline's, read off an alignment.
//
// The walk goes through the steps in order. A turn left unpaired on either
// side is a structural divergence on the trajectory axis with confidence
// 1.0. A paired turn whose pair cost exceeds kDivergenceThreshold is
// classified by the first
// rule that applies: a changed tool set, a changed number of calls of the
// same tools (structural, trajectory); a changed stop reason (decision,
// safety); a changed tool input (decision, trajectory); a changed text
// (decision, semantic); else a cosmetic change (style, semantic). Its
// confidence is (cost - kDivergenceThreshold) / kConfidenceScale clamped to
// [0, 1]. Each divergence
// carries a one-line explanation in plain English.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/alignment.h"
#include "core/diff/report.h"
#include "core/diff/turn_costs.h"

namespace korvane::diff {

// A paired turn whose pair cost is at most this is no divergence.
inline constexpr double kDivergenceThreshold = 0.12;
// Confidence = (cost - kDivergenceThreshold) / kConfidenceScale, clamped.
inline constexpr double kConfidenceScale = 0.88;
// A pair cost above this makes a text change a decision drift...
inline constexpr double kTextDivergenceCost = 0.25;
// ...and so does a text similarity below this.
inline constexpr double kTextSimilarityFloor = 0.9;
// The number of divergences the report lists.
inline constexpr size_t kDivergenceListLength = 5;

// The items each wrapped in backquotes, joined by ", ": "`a()`, `b(q)`".
std::string list(std::span<const std::string> items);

// What the classification of a paired turn looks at. The shape sets are
// sorted and duplicate-free (tool_shape()); the stop reasons are empty when
// absent; arg_diff is arg_value_diff() of the two turns.
struct PairMeasures {
  std::span<const std::string> baseline_shapes;
  std::span<const std::string> candidate_shapes;
  size_t baseline_calls = 0;
  size_t candidate_calls = 0;
  std::string_view baseline_stop;
  std::string_view candidate_stop;
  std::optional<std::string> arg_diff;
  double text_similarity = 1.0;
  double cost = 0.0;
};

// The divergence of baseline turn i paired with candidate turn j, or nothing
// when the cost is at most kDivergenceThreshold.
std::optional<FirstDivergence> classify_pair(uint64_t i, uint64_t j, const PairMeasures& measures);

// The divergences of an alignment in walk order, stopping once max_count
// have been found (none for max_count 0). The steps must index the turns of
// costs.
std::vector<FirstDivergence> walk_collecting(std::span<const Step> steps, TurnCosts& costs,
                                             size_t max_count);

// The same for turn lists given as records.
std::vector<FirstDivergence> walk_collecting(std::span<const Step> steps,
                                             std::span<const agentlog::Record* const> baseline,
                                             std::span<const agentlog::Record* const> candidate,
                                             size_t max_count);

// Sorts divergences stably by kind rank (structural first) and then by
// confidence (higher first), and keeps the first kDivergenceListLength.
void rank_divergences(std::vector<FirstDivergence>& divergences);

// The report's two divergence fields.
struct Divergences {
  std::optional<FirstDivergence> first;  // earliest in trace order
  std::vector<FirstDivergence> ranked;   // at most 5
};

// Aligns two turn lists and walks the alignment once: the first divergence
// is the first one found, the ranked list all of them ranked. Both fields
// are empty when either list is.
Divergences find_divergences(std::span<const agentlog::Record* const> baseline,
                             std::span<const agentlog::Record* const> candidate,
                             const AlignOptions& options = {});

}  // namespace korvane::diff
