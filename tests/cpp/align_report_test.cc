// One small pair of traces worked out by hand through the alignment, the
// divergences, the drill-down and the recommendations.
//
// Baseline: B0 looks up a reservation, B1 checks a flight status, B2 says
// goodbye. The candidate repeats B0, inserts a turn X calling two other
// tools, calls B1's tool twice, and says B2's goodbye with the stop reason
// "refusal".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/diff/alignment.h"
#include "core/diff/divergence.h"
#include "core/diff/drill_down.h"
#include "core/diff/recommendations.h"
#include "turn_test_util.h"

namespace korvane::diff {
namespace {

using test::text_turn;

class HandWorked : public ::testing::Test {
 protected:
  const std::vector<agentlog::Record> baseline{
      text_turn("Let me look up your reservation now.", {"get_reservation"}, "tool_use"),
      text_turn("The flight is delayed by two hours.", {"flight_status"}, "tool_use"),
      text_turn("Your booking is confirmed, goodbye!", {}, "end_turn"),
  };
  const std::vector<agentlog::Record> candidate{
      text_turn("Let me look up your reservation now.", {"get_reservation"}, "tool_use"),
      text_turn("Checking other systems first...", {"search", "weather"}, "tool_use"),
      text_turn("The flight is delayed by two hours.", {"flight_status", "flight_status"}, "tool_use"),
      text_turn("Your booking is confirmed, goodbye!", {}, "refusal"),
  };
  const std::vector<const agentlog::Record*> b = test::pointers(baseline);
  const std::vector<const agentlog::Record*> c = test::pointers(candidate);
};

TEST_F(HandWorked, DivergencesAndRecommendations) {
  const Divergences d = find_divergences(b, c);
  ASSERT_TRUE(d.first.has_value());
  // The turn numbers pin the alignment: C1 inserted, B1 paired with C2 (cost
  // 0.2, count gap 1/2), B2 with C3 (cost 0.15, stop reason).
  const std::vector<FirstDivergence> expected{
      {1, 1, DriftKind::kStructuralDrift, Axis::kTrajectory,
       "candidate inserted an extra turn with 2 tool calls between baseline turns #0 and #1", 1.0},
      {1, 2, DriftKind::kStructuralDrift, Axis::kTrajectory,
       "candidate called `flight_status(q)` 2 time(s) vs baseline's 1 \u2014 duplicate tool invocation",
       (0.2 - 0.12) / 0.88},
      {2, 3, DriftKind::kDecisionDrift, Axis::kSafety, "stop_reason changed: `end_turn` \u2192 `refusal`",
       (0.15 - 0.12) / 0.88},
  };
  EXPECT_EQ(test::describe(*d.first), test::describe(expected[0]));
  ASSERT_EQ(d.ranked.size(), expected.size());
  for (size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(test::describe(d.ranked[k]), test::describe(expected[k]));

  std::vector<AxisStat> rows;
  for (Axis axis : kAllAxes) rows.push_back(AxisStat::zero(axis));
  std::vector<std::string> messages;
  for (const Recommendation& r : recommendations(rows, d.ranked)) messages.push_back(r.message);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "Review unexpected addition at turn 1: extra element.",
                          "Remove duplicate invocation of flight_status(q) at turn 1.",
                          "Review refusal behaviour at turn 2: candidate may be over-refusing."}));
}

TEST_F(HandWorked, DrillDownComparesByPosition) {
  // Pairs (B0, C0), (B1, X), (B2, C2): the drill-down does not align.
  std::vector<ResponsePair> pairs;
  for (size_t i = 0; i < 3; ++i) pairs.push_back({b[i], c[i]});
  const std::vector<PairDrilldown> rows = drill_down(pairs, PricingTable{});
  ASSERT_EQ(rows.size(), 3u);
  // (B1, X): no shared 4-character run (semantic 2.0), one substitution and
  // one insertion over two shapes (trajectory 1.0, normalized 2.0).
  EXPECT_EQ(rows[0].pair_index, 1u);
  EXPECT_EQ(rows[0].regression_score, 4.0);
  EXPECT_EQ(rows[0].dominant_axis, Axis::kTrajectory);  // ties with semantic, comes later
  // (B2, C2): 32 runs each, " is " shared: s = 1/63; no shape against two.
  EXPECT_EQ(rows[1].pair_index, 2u);
  EXPECT_DOUBLE_EQ(rows[1].axis_scores[0].candidate_value, 1.0 / 63.0);
  EXPECT_DOUBLE_EQ(rows[1].regression_score, 2.0 * (1.0 - 1.0 / 63.0) + 2.0);
  EXPECT_EQ(rows[1].dominant_axis, Axis::kTrajectory);
  EXPECT_EQ(rows[2].pair_index, 0u);
  EXPECT_EQ(rows[2].regression_score, 0.0);
  EXPECT_EQ(rows[2].dominant_axis, Axis::kConformance);
}

}  // namespace
}  // namespace korvane::diff
