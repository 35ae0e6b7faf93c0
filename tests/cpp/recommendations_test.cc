#include "core/diff/recommendations.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace korvane::diff {
namespace {

using RS = RecommendationSeverity;
using RA = RecommendationAction;

TEST(ExtractBackticked, FirstPairOrNothing) {
  EXPECT_EQ(extract_backticked("``"), "");
  EXPECT_EQ(extract_backticked("one ` only"), std::nullopt);
}

TEST(SignedThreeDecimals, ExactValueTiesToEven) {
  const std::pair<double, const char*> cases[] = {
      {0.25, "+0.250"}, {-0.012, "-0.012"}, {0.0, "+0.000"},
      {0.0625, "+0.062"}, {0.1875, "+0.188"},  // exact ties: to even
      {0.0005, "+0.001"},                       // the double lies above 0.0005
      {0.00025, "+0.000"},
      {-0.0001, "-0.000"}, {-0.0, "-0.000"},  // the double's own sign
      {12345.6785, "+12345.678"},             // the double lies below ...6785
      {1e21, "+1000000000000000000000.000"},
      {std::numeric_limits<double>::infinity(), "+inf"}, {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "+nan"},
  };
  for (const auto& [x, text] : cases) EXPECT_EQ(signed_three_decimals(x), text) << x;
}

constexpr auto kStyle = DriftKind::kStyleDrift;
constexpr auto kDecision = DriftKind::kDecisionDrift;
constexpr auto kStructural = DriftKind::kStructuralDrift;
constexpr auto kTraj = Axis::kTrajectory;

TEST(Recommend, RuleTable) {
  const struct {
    DriftKind kind;
    Axis axis;
    const char* explanation;
    const char* message;
    RS severity;
    RA action;
  } cases[] = {
      {kStyle, Axis::kSemantic, "cosmetic wording change \u2014 tool sequence and semantics preserved",
       "Cosmetic wording change at turn 7 \u2014 verify intended.", RS::kInfo, RA::kVerify},
      {kDecision, Axis::kSemantic, "response text diverged (text similarity 0.20); same tool sequence",
       "Review response text at turn 7: semantic content shifted.", RS::kWarning, RA::kReview},
      {kDecision, kTraj, "tool arg value changed: `book(seat)`: `\"1\"` \u2192 `\"2\"`",
       "Revert book(seat) at turn 7 to the baseline value.", RS::kWarning, RA::kRevert},
      {kDecision, kTraj, "Tool ARG VALUE changed", "Revert arg value at turn 7 to the baseline value.", RS::kWarning,
       RA::kRevert},
      {kDecision, kTraj, "something else moved", "Review decision change at turn 7.", RS::kWarning, RA::kReview},
      {kDecision, Axis::kSafety, "stop_reason changed: `end_turn` \u2192 `content_filter`",
       "Review refusal behaviour at turn 7: candidate may be over-refusing.", RS::kError, RA::kReview},
      {kDecision, Axis::kSafety, "stop_reason changed: `content_filter` \u2192 `end_turn`",
       "Review refusal behaviour at turn 7: candidate may be over-refusing.", RS::kError, RA::kReview},
      {kDecision, Axis::kSafety, "stop_reason changed: `` \u2192 `max_tokens`",
       "Review refusal behaviour at turn 7: candidate may be over-refusing.", RS::kWarning, RA::kReview},
      {kDecision, Axis::kSafety, "refusals rose", "Review decision change at turn 7.", RS::kWarning, RA::kReview},
      {kStructural, kTraj, "candidate dropped a response turn with no tool calls (baseline turn #7 has no counterpart)",
       "Restore missing element at turn 7.", RS::kError, RA::kRestore},
      {kStructural, kTraj, "Candidate DROPPED A TURN", "Restore missing element at turn 7.", RS::kError, RA::kRestore},
      {kStructural, kTraj, "candidate dropped tool call(s): `Search(Q)`, `b()`", "Restore Search(Q) at turn 7.",
       RS::kError, RA::kRestore},
      {kStructural, kTraj, "candidate added tool call(s): `b(q)`, `c()`",
       "Review unexpected addition at turn 7: b(q).", RS::kError, RA::kReview},
      {kStructural, kTraj, "candidate inserted an extra turn with 2 tool calls between baseline turns #6 and #7",
       "Review unexpected addition at turn 7: extra element.", RS::kError, RA::kReview},
      {kStructural, kTraj, "candidate called `search(q)` 2 time(s) vs baseline's 1 \u2014 duplicate tool invocation",
       "Remove duplicate invocation of search(q) at turn 7.", RS::kError, RA::kRemove},
      {kStructural, kTraj, "candidate called 2 tool(s) 3 time(s) vs baseline's 2 \u2014 duplicate tool invocation",
       "Remove duplicate invocation of the duplicated tool at turn 7.", RS::kError, RA::kRemove},
      {kStructural, kTraj, "tool set changed: removed `a()`, added `c()`",
       "Review tool-schema change at turn 7: call shape diverged.", RS::kError, RA::kReview},
      {kStructural, kTraj,
       "candidate called `search(q)` 1 time(s) vs baseline's 2 \u2014 dropped one or more repeat invocations",
       "Review structural change at turn 7.", RS::kError, RA::kReview},
  };
  for (const auto& c : cases) {
    const Recommendation r = recommend(FirstDivergence{7, 9, c.kind, c.axis, c.explanation, 0.375});
    EXPECT_EQ(std::tuple(r.message, r.severity, r.action), std::tuple(std::string(c.message), c.severity, c.action));
    // The baseline turn; the rest carried over from the divergence.
    EXPECT_EQ(std::tuple(r.turn, r.rationale, r.axis, r.confidence),
              std::tuple(uint64_t{7}, std::string(c.explanation), c.axis, 0.375));
  }
}

std::vector<AxisStat> rows_with(std::initializer_list<std::pair<Axis, double>> severe) {
  std::vector<AxisStat> rows;
  for (Axis axis : kAllAxes) rows.push_back(AxisStat::zero(axis));
  for (const auto& [axis, delta] : severe) {
    AxisStat& row = rows[static_cast<size_t>(axis)];
    std::tie(row.delta, row.ci95_low, row.ci95_high, row.severity) =
        std::tuple(delta, delta / 2, delta * 2, Severity::kSevere);
  }
  return rows;
}

FirstDivergence style_at(uint64_t turn, double confidence) {
  return FirstDivergence{turn, turn, kStyle, Axis::kSemantic, "cosmetic", confidence};
}

TEST(Recommendations, AggregateWhenSevereAndNothingUrgent) {
  std::vector<Recommendation> r =
      recommendations(rows_with({{Axis::kLatency, 0.25}, {Axis::kCost, -0.0125}}), std::vector{style_at(2, 0.9)});
  ASSERT_EQ(r.size(), 2u);
  // Turn 0, the last severe row's axis.
  EXPECT_EQ(std::tuple(r[0].severity, r[0].action, r[0].turn, r[0].axis, r[0].confidence),
            std::tuple(RS::kError, RA::kReview, uint64_t{0}, Axis::kCost, 0.8));
  EXPECT_EQ(r[0].message, "Review the candidate: cost axis shifted with severity severe.");
  EXPECT_EQ(r[0].rationale,
            "Aggregate signal crosses the `severe` threshold (cost: delta -0.013, CI [-0.006, -0.025]).");
  EXPECT_EQ(r[1].severity, RS::kInfo);
  // Axis labels in the aggregate.
  r = recommendations(rows_with({{Axis::kSafety, 1.0}}), {});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].message, "Review the candidate: refusal / safety axis shifted with severity severe.");
  EXPECT_EQ(r[0].rationale,
            "Aggregate signal crosses the `severe` threshold (refusal / safety: delta +1.000, CI [+0.500, +2.000]).");
}

TEST(Recommendations, NoAggregateAfterAnErrorAndNothingToSay) {
  const std::vector<FirstDivergence> dropped{{1, 1, kStructural, kTraj, "candidate dropped a turn", 1.0}};
  const std::vector<Recommendation> r = recommendations(rows_with({{Axis::kLatency, 1.0}}), dropped);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].message, "Restore missing element at turn 1.");
  EXPECT_TRUE(recommendations(rows_with({}), {}).empty());
}

TEST(Recommendations, RankedBySeverityConfidenceTurnAndCutToEight) {
  // Info, warning, error, info at a smaller turn, warning, warning with the
  // same key (stays after), four more infos.
  std::vector<FirstDivergence> d{style_at(5, 0.5), {9, 0, kDecision, Axis::kSemantic, "text", 0.2},
                                 {8, 0, kStructural, kTraj, "x", 0.1}, style_at(3, 0.5),
                                 {4, 0, kDecision, Axis::kSemantic, "text", 0.6},
                                 {4, 1, kDecision, Axis::kSemantic, "second", 0.6}};
  for (uint64_t t = 20; t < 24; ++t) d.push_back(style_at(t, 0.1));
  const std::vector<Recommendation> r = recommendations(rows_with({}), d);
  ASSERT_EQ(r.size(), 8u);
  std::vector<uint64_t> turns;
  for (const Recommendation& x : r) turns.push_back(x.turn);
  EXPECT_EQ(turns, (std::vector<uint64_t>{8, 4, 4, 9, 3, 5, 20, 21}));
  EXPECT_EQ(r[1].rationale, "text");
  EXPECT_EQ(r[2].rationale, "second");
}

}  // namespace
}  // namespace korvane::diff
