#include "core/diff/report.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/json/writer.h"

namespace korvane::diff {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::string> flag_names(const AxisStat& row) {
  std::vector<std::string> names;
  for (AxisFlag flag : row.flags) names.emplace_back(axis_flag_name(flag));
  return names;
}

// ---------------------------------------------------------------------------
// Severity: new_value() grades |delta| relative to the baseline, new_rate()
// on the absolute scale of a rate.

TEST(Severity, GradesTheDelta) {
  const struct {
    const char* name;
    bool rate;
    double baseline, delta, low, high;
    Severity expected;
  } cases[] = {
      {"value_zero_baseline_is_minor", false, 0.0, 2.0, 1.0, 3.0, Severity::kMinor},
      {"value_ratio_0_05_is_minor", false, 100, 5, 1, 9, Severity::kMinor},
      {"value_ratio_exactly_0_1_is_moderate", false, 100, 10, 5, 15, Severity::kModerate},
      {"value_ratio_exactly_0_3_is_severe", false, 100, 30, 25, 35, Severity::kSevere},
      {"value_negative_delta_counts_by_magnitude", false, 100, -50, -80, -20, Severity::kSevere},
      {"value_negative_baseline_counts_by_magnitude", false, -100, 20, 5, 35, Severity::kModerate},
      {"value_crossing_narrower_than_its_interval_is_minor", false, 100, 20, -5, 45, Severity::kMinor},
      {"value_crossing_and_below_5_percent_is_none", false, 1000, 20, -5, 45, Severity::kNone},
      {"value_crossing_but_wider_than_its_interval_stands", false, 100, 60, -10, 40, Severity::kSevere},
      {"value_crossing_minor_stays_minor", false, 100, 6, -1, 13, Severity::kMinor},
      {"value_negligible_delta_is_none", false, 100, 5e-10, -1, 1, Severity::kNone},
      {"value_negligible_delta_zero_baseline_is_none", false, 0, 5e-10, 1e-10, 1e-9, Severity::kNone},
      {"value_nan_delta_is_none", false, 100, kNaN, 20, 80, Severity::kNone},
      {"value_infinite_baseline_is_none", false, kInf, 50, 20, 80, Severity::kNone},
      {"value_infinite_bound_is_none", false, 100, 50, 20, kInf, Severity::kNone},
      {"value_nan_bound_is_none", false, 100, 50, kNaN, 80, Severity::kNone},
      {"rate_0_04_is_minor", true, 0.1, 0.04, 0.01, 0.07, Severity::kMinor},
      {"rate_exactly_0_05_is_moderate", true, 0.1, 0.05, 0.01, 0.09, Severity::kModerate},
      {"rate_exactly_0_15_is_severe", true, 0.1, 0.15, 0.1, 0.2, Severity::kSevere},
      {"rate_crossing_and_narrower_than_its_interval_is_minor", true, 0.5, 0.2, -0.1, 0.5, Severity::kMinor},
      {"rate_crossing_but_wider_than_its_interval_stands", true, 0.5, -0.4, -0.35, 0.01, Severity::kSevere},
      {"rate_baseline_is_not_looked_at", true, kNaN, 0.2, 0.1, 0.3, Severity::kSevere},
      {"rate_negligible_delta_is_none", true, 0.5, -5e-10, -0.3, 0.3, Severity::kNone},
      {"rate_nan_delta_is_none", true, 0.5, kNaN, 0.1, 0.3, Severity::kNone},
      {"rate_infinite_bound_is_none", true, 0.5, 0.2, -kInf, 0.3, Severity::kNone}};
  for (const auto& c : cases) {
    const auto build = c.rate ? &AxisStat::new_rate : &AxisStat::new_value;
    const AxisStat row = build(Axis::kLatency, 10, c.baseline, c.baseline + c.delta, c.delta, c.low, c.high);
    EXPECT_EQ(severity_name(row.severity), severity_name(c.expected)) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Flags.

TEST(RowFlags, LowPowerThenCrossingThenNoPricingEachOnce) {
  const std::tuple<uint64_t, double, double, std::vector<std::string>> cases[] = {
      {0, 0.1, 0.9, {}}, {1, 0.5, 0.5, {"low_power"}}, {4, 0.1, 0.9, {"low_power"}}, {5, 0.1, 0.9, {}},
      {5, -0.1, 0.9, {"ci_crosses_zero"}}, {3, -0.1, 0.9, {"low_power", "ci_crosses_zero"}},
      // A bound within 1e-9 of zero does not cross it, nor does a bound that is not finite.
      {5, -1e-10, 0.9, {}}, {5, -0.9, 1e-9, {}}, {5, -kInf, 0.9, {}}, {5, -0.1, kNaN, {}}};
  for (const auto& [n, low, high, expected] : cases) {
    for (auto build : {&AxisStat::new_value, &AxisStat::new_rate}) {
      EXPECT_EQ(flag_names(build(Axis::kCost, n, 1.0, 1.5, 0.5, low, high)), expected)
          << "n " << n << " [" << low << ", " << high << "]";
    }
  }
  AxisStat row = AxisStat::new_value(Axis::kCost, 2, 1.0, 1.0, 0.0, 0.0, 0.0);
  row.add_flag(AxisFlag::kNoPricing);
  row.add_flag(AxisFlag::kNoPricing);
  row.add_flag(AxisFlag::kLowPower);
  EXPECT_EQ(flag_names(row), (std::vector<std::string>{"low_power", "no_pricing"}));
}

// ---------------------------------------------------------------------------
// Serialized form.

TEST(ReportToJson, EmptyReportHasNineZeroRowsInAxisOrderAndEmptyLists) {
  DiffReport report;
  for (Axis axis : kAllAxes) report.rows.push_back(AxisStat::zero(axis));
  std::string rows;
  for (const char* axis : {"semantic", "trajectory", "safety", "verbosity", "latency", "cost", "reasoning", "judge",
                           "conformance"}) {
    rows += std::string(rows.empty() ? "" : ",") + "{\"axis\":\"" + axis +
            "\",\"baseline_median\":0.0,\"candidate_median\":0.0,\"delta\":0.0,\"ci95_low\":0.0,"
            "\"ci95_high\":0.0,\"severity\":\"none\",\"n\":0,\"flags\":[]}";
  }
  EXPECT_EQ(json::to_json_text(report_to_json(report)),
            "{\"rows\":[" + rows +
                "],\"baseline_trace_id\":\"\",\"candidate_trace_id\":\"\",\"pair_count\":0,"
                "\"first_divergence\":null,\"divergences\":[],\"recommendations\":[],\"drill_down\":[]}");
}

TEST(ReportToJson, NonFiniteNumbersBecomeNullAndTheRestKeepsItsKinds) {
  AxisStat row = AxisStat::new_value(Axis::kCost, 12, kInf, 2.0, -kInf, kNaN, 1.0);
  row.add_flag(AxisFlag::kNoPricing);
  EXPECT_EQ(json::to_json_text(axis_stat_to_json(row)),
            "{\"axis\":\"cost\",\"baseline_median\":null,\"candidate_median\":2.0,\"delta\":null,"
            "\"ci95_low\":null,\"ci95_high\":1.0,\"severity\":\"none\",\"n\":12,\"flags\":[\"no_pricing\"]}");
}

TEST(ReportToJson, EveryRecordWithItsKeysInFieldOrder) {
  DiffReport report;
  report.rows.push_back(AxisStat::new_rate(Axis::kSafety, 3, 0.0, 0.5, 0.5, -0.25, 1.0));
  report.baseline_trace_id = "b\"1";
  report.candidate_trace_id = "c1";
  report.pair_count = 3;
  FirstDivergence divergence{2, 3, DriftKind::kDecisionDrift, Axis::kSafety,
                             "stop_reason changed: `end_turn` \xe2\x86\x92 `refusal`", 0.5};
  report.first_divergence = divergence;
  report.divergences = {divergence, {0, 0, DriftKind::kStyleDrift, Axis::kSemantic, "cosmetic", 0.0}};
  report.recommendations.push_back({RecommendationSeverity::kWarning, RecommendationAction::kVerify, 2, "Check it",
                                    "because", Axis::kTrajectory, 0.75});
  PairDrilldown pair{1, 1, 1, {}, 2.5, Axis::kLatency};
  pair.axis_scores.push_back({Axis::kLatency, 100.0, 2600.0, 2500.0, 2.5});
  report.drill_down.push_back(pair);

  const std::string divergence_text =
      "{\"baseline_turn\":2,\"candidate_turn\":3,\"kind\":\"decision_drift\",\"primary_axis\":\"safety\","
      "\"explanation\":\"stop_reason changed: `end_turn` \xe2\x86\x92 `refusal`\",\"confidence\":0.5}";
  EXPECT_EQ(json::to_json_text(report_to_json(report)),
            "{\"rows\":[{\"axis\":\"safety\",\"baseline_median\":0.0,\"candidate_median\":0.5,"
            "\"delta\":0.5,\"ci95_low\":-0.25,\"ci95_high\":1.0,\"severity\":\"minor\",\"n\":3,"
            "\"flags\":[\"low_power\",\"ci_crosses_zero\"]}],"
            "\"baseline_trace_id\":\"b\\\"1\",\"candidate_trace_id\":\"c1\",\"pair_count\":3,"
            "\"first_divergence\":" +
                divergence_text + ",\"divergences\":[" + divergence_text +
                ",{\"baseline_turn\":0,\"candidate_turn\":0,\"kind\":\"style_drift\","
                "\"primary_axis\":\"semantic\",\"explanation\":\"cosmetic\",\"confidence\":0.0}],"
                "\"recommendations\":[{\"severity\":\"warning\",\"action\":\"verify\",\"turn\":2,"
                "\"message\":\"Check it\",\"rationale\":\"because\",\"axis\":\"trajectory\",\"confidence\":0.75}],"
                "\"drill_down\":[{\"pair_index\":1,\"baseline_turn\":1,\"candidate_turn\":1,"
                "\"axis_scores\":[{\"axis\":\"latency\",\"baseline_value\":100.0,"
                "\"candidate_value\":2600.0,\"delta\":2500.0,\"normalized_delta\":2.5}],"
                "\"regression_score\":2.5,\"dominant_axis\":\"latency\"}]}");
}

// The names of the values the example above does not show.
TEST(ReportToJson, EnumerationNames) {
  std::string names;
  for (auto s : {RecommendationSeverity::kError, RecommendationSeverity::kInfo}) {
    names += std::string(recommendation_severity_name(s)) + " ";
  }
  for (auto a : {RecommendationAction::kRestore, RecommendationAction::kRemove, RecommendationAction::kRevert,
                 RecommendationAction::kReview}) {
    names += std::string(recommendation_action_name(a)) + " ";
  }
  names += std::string(drift_kind_name(DriftKind::kStructuralDrift)) + " ";
  for (auto s : {Severity::kModerate, Severity::kSevere}) names += std::string(severity_name(s)) + " ";
  EXPECT_EQ(names, "error info restore remove revert review structural_drift moderate severe ");
  EXPECT_LT(drift_kind_rank(DriftKind::kDecisionDrift), drift_kind_rank(DriftKind::kStructuralDrift));
}

}  // namespace
}  // namespace korvane::diff
