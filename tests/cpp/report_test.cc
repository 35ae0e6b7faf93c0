#include "core/diff/report.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/json/writer.h"

namespace korvane::diff {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Axis, NamesAndLabelsInReportOrder) {
  std::vector<std::string> names, labels;
  for (Axis axis : kAllAxes) {
    names.emplace_back(axis_name(axis));
    labels.emplace_back(axis_label(axis));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"semantic", "trajectory", "safety", "verbosity",
                                             "latency", "cost", "reasoning", "judge",
                                             "conformance"}));
  EXPECT_EQ(labels, (std::vector<std::string>{
                        "semantic similarity", "tool-call trajectory", "refusal / safety",
                        "verbosity", "latency", "cost", "reasoning depth", "llm-judge score",
                        "format conformance"}));
  for (size_t i = 0; i < kAllAxes.size(); ++i) EXPECT_EQ(static_cast<size_t>(kAllAxes[i]), i);
}

// ---------------------------------------------------------------------------
// Severity of the two row builders.

struct SeverityCase {
  const char* name;
  double baseline, delta, low, high;
  Severity expected;
};

void PrintTo(const SeverityCase& c, std::ostream* os) { *os << c.name; }

class ValueSeverity : public testing::TestWithParam<SeverityCase> {};

TEST_P(ValueSeverity, GradesDeltaRelativeToBaseline) {
  const SeverityCase& c = GetParam();
  AxisStat row = AxisStat::new_value(Axis::kLatency, 10, c.baseline, c.baseline + c.delta, c.delta,
                                     c.low, c.high);
  EXPECT_EQ(severity_name(row.severity), severity_name(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValueSeverity,
    testing::Values(
        SeverityCase{"zero_baseline_is_minor", 0.0, 2.0, 1.0, 3.0, Severity::kMinor},
        SeverityCase{"ratio_0_2_is_moderate", 100, 20, 5, 35, Severity::kModerate},
        SeverityCase{"crossing_and_narrower_than_its_interval_is_minor", 100, 20, -5, 45,
                     Severity::kMinor},
        SeverityCase{"crossing_and_below_5_percent_is_none", 1000, 20, -5, 45, Severity::kNone},
        SeverityCase{"crossing_but_wider_than_its_interval_stands", 100, 60, -10, 40,
                     Severity::kSevere},
        SeverityCase{"ratio_0_5_is_severe", 100, 50, 20, 80, Severity::kSevere},
        SeverityCase{"ratio_0_05_is_minor", 100, 5, 1, 9, Severity::kMinor},
        SeverityCase{"ratio_exactly_0_1_is_moderate", 100, 10, 5, 15, Severity::kModerate},
        SeverityCase{"ratio_exactly_0_3_is_severe", 100, 30, 25, 35, Severity::kSevere},
        SeverityCase{"negative_delta_counts_by_magnitude", 100, -50, -80, -20, Severity::kSevere},
        SeverityCase{"negative_baseline_counts_by_magnitude", -100, 20, 5, 35, Severity::kModerate},
        SeverityCase{"crossing_minor_stays_minor", 100, 6, -1, 13, Severity::kMinor},
        SeverityCase{"negligible_delta_is_none", 100, 5e-10, -1, 1, Severity::kNone},
        SeverityCase{"negligible_delta_with_zero_baseline_is_none", 0, 5e-10, 1e-10, 1e-9,
                     Severity::kNone},
        SeverityCase{"nan_delta_is_none", 100, kNaN, 20, 80, Severity::kNone},
        SeverityCase{"infinite_baseline_is_none", kInf, 50, 20, 80, Severity::kNone},
        SeverityCase{"infinite_bound_is_none", 100, 50, 20, kInf, Severity::kNone},
        SeverityCase{"nan_bound_is_none", 100, 50, kNaN, 80, Severity::kNone}));

class RateSeverity : public testing::TestWithParam<SeverityCase> {};

TEST_P(RateSeverity, GradesDeltaOnTheRateScale) {
  const SeverityCase& c = GetParam();
  AxisStat row = AxisStat::new_rate(Axis::kSafety, 10, c.baseline, c.baseline + c.delta, c.delta,
                                    c.low, c.high);
  EXPECT_EQ(severity_name(row.severity), severity_name(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RateSeverity,
    testing::Values(
        SeverityCase{"delta_0_04_is_minor", 0.1, 0.04, 0.01, 0.07, Severity::kMinor},
        SeverityCase{"delta_exactly_0_05_is_moderate", 0.1, 0.05, 0.01, 0.09, Severity::kModerate},
        SeverityCase{"delta_0_1_is_moderate", 0.1, 0.1, 0.05, 0.15, Severity::kModerate},
        SeverityCase{"delta_exactly_0_15_is_severe", 0.1, 0.15, 0.1, 0.2, Severity::kSevere},
        SeverityCase{"delta_0_2_is_severe", 0.5, 0.2, 0.1, 0.3, Severity::kSevere},
        SeverityCase{"crossing_and_narrower_than_its_interval_is_minor", 0.5, 0.2, -0.1, 0.5,
                     Severity::kMinor},
        SeverityCase{"crossing_but_wider_than_its_interval_stands", 0.5, -0.4, -0.35, 0.01,
                     Severity::kSevere},
        SeverityCase{"baseline_is_not_looked_at", kNaN, 0.2, 0.1, 0.3, Severity::kSevere},
        SeverityCase{"negligible_delta_is_none", 0.5, -5e-10, -0.3, 0.3, Severity::kNone},
        SeverityCase{"nan_delta_is_none", 0.5, kNaN, 0.1, 0.3, Severity::kNone},
        SeverityCase{"infinite_bound_is_none", 0.5, 0.2, -kInf, 0.3, Severity::kNone}));

// ---------------------------------------------------------------------------
// Flags.

std::vector<std::string> flag_names(const AxisStat& row) {
  std::vector<std::string> names;
  for (AxisFlag flag : row.flags) names.emplace_back(axis_flag_name(flag));
  return names;
}

struct FlagCase {
  uint64_t n;
  double low, high;
  std::vector<std::string> expected;
};

void PrintTo(const FlagCase& c, std::ostream* os) {
  *os << "n " << c.n << " [" << c.low << ", " << c.high << "]";
}

class RowFlags : public testing::TestWithParam<FlagCase> {};

TEST_P(RowFlags, LowPowerThenCrossing) {
  const FlagCase& c = GetParam();
  for (auto build : {&AxisStat::new_value, &AxisStat::new_rate}) {
    AxisStat row = build(Axis::kCost, c.n, 1.0, 1.5, 0.5, c.low, c.high);
    EXPECT_EQ(flag_names(row), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RowFlags,
    testing::Values(FlagCase{0, 0.1, 0.9, {}}, FlagCase{1, 0.5, 0.5, {"low_power"}},
                    FlagCase{4, 0.1, 0.9, {"low_power"}}, FlagCase{5, 0.1, 0.9, {}},
                    FlagCase{5, -0.1, 0.9, {"ci_crosses_zero"}},
                    FlagCase{3, -0.1, 0.9, {"low_power", "ci_crosses_zero"}},
                    // A bound within 1e-9 of zero does not cross it.
                    FlagCase{5, -1e-10, 0.9, {}}, FlagCase{5, -0.9, 1e-9, {}},
                    FlagCase{5, -kInf, 0.9, {}}, FlagCase{5, -0.1, kNaN, {}}));

TEST(AxisStat, BuildersStoreTheirArgumentsUnchanged) {
  AxisStat row = AxisStat::new_value(Axis::kVerbosity, 7, 10.0, 12.0, 99.0, -1.0, 3.0);
  EXPECT_EQ(row.axis, Axis::kVerbosity);
  EXPECT_EQ(row.n, 7u);
  EXPECT_EQ(row.baseline_median, 10.0);
  EXPECT_EQ(row.candidate_median, 12.0);
  EXPECT_EQ(row.delta, 99.0);
  EXPECT_EQ(row.ci95_low, -1.0);
  EXPECT_EQ(row.ci95_high, 3.0);
}

TEST(AxisStat, AddFlagKeepsEachFlagOnce) {
  AxisStat row = AxisStat::new_value(Axis::kCost, 2, 1.0, 1.0, 0.0, 0.0, 0.0);
  row.add_flag(AxisFlag::kNoPricing);
  row.add_flag(AxisFlag::kNoPricing);
  row.add_flag(AxisFlag::kLowPower);
  EXPECT_EQ(flag_names(row), (std::vector<std::string>{"low_power", "no_pricing"}));
}

// ---------------------------------------------------------------------------
// Serialized form.

std::string zero_row_text(std::string_view axis) {
  return "{\"axis\":\"" + std::string(axis) +
         "\",\"baseline_median\":0.0,\"candidate_median\":0.0,\"delta\":0.0,\"ci95_low\":0.0,"
         "\"ci95_high\":0.0,\"severity\":\"none\",\"n\":0,\"flags\":[]}";
}

TEST(ReportToJson, EmptyReportHasNineZeroRowsAndEmptyLists) {
  DiffReport report;
  for (Axis axis : kAllAxes) report.rows.push_back(AxisStat::zero(axis));
  std::string rows;
  for (Axis axis : kAllAxes) rows += (rows.empty() ? "" : ",") + zero_row_text(axis_name(axis));
  EXPECT_EQ(json::to_json_text(report_to_json(report)),
            "{\"rows\":[" + rows +
                "],\"baseline_trace_id\":\"\",\"candidate_trace_id\":\"\",\"pair_count\":0,"
                "\"first_divergence\":null,\"divergences\":[],\"recommendations\":[],"
                "\"drill_down\":[]}");
}

TEST(ReportToJson, NonFiniteNumbersBecomeNullAndTheRestKeepsItsKinds) {
  AxisStat row = AxisStat::new_value(Axis::kCost, 12, kInf, 2.0, -kInf, kNaN, 1.0);
  row.add_flag(AxisFlag::kNoPricing);
  EXPECT_EQ(json::to_json_text(axis_stat_to_json(row)),
            "{\"axis\":\"cost\",\"baseline_median\":null,\"candidate_median\":2.0,\"delta\":null,"
            "\"ci95_low\":null,\"ci95_high\":1.0,\"severity\":\"none\",\"n\":12,"
            "\"flags\":[\"no_pricing\"]}");
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
  report.divergences = {divergence,
                        {0, 0, DriftKind::kStyleDrift, Axis::kSemantic, "cosmetic", 0.0}};
  report.recommendations.push_back({RecommendationSeverity::kWarning,
                                    RecommendationAction::kVerify, 2, "Check it", "because",
                                    Axis::kTrajectory, 0.75});
  PairDrilldown pair{1, 1, 1, {}, 2.5, Axis::kLatency};
  pair.axis_scores.push_back({Axis::kLatency, 100.0, 2600.0, 2500.0, 2.5});
  report.drill_down.push_back(pair);

  std::string divergence_text =
      "{\"baseline_turn\":2,\"candidate_turn\":3,\"kind\":\"decision_drift\","
      "\"primary_axis\":\"safety\",\"explanation\":\"stop_reason changed: `end_turn` "
      "\xe2\x86\x92 `refusal`\",\"confidence\":0.5}";
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
                "\"message\":\"Check it\",\"rationale\":\"because\",\"axis\":\"trajectory\","
                "\"confidence\":0.75}],"
                "\"drill_down\":[{\"pair_index\":1,\"baseline_turn\":1,\"candidate_turn\":1,"
                "\"axis_scores\":[{\"axis\":\"latency\",\"baseline_value\":100.0,"
                "\"candidate_value\":2600.0,\"delta\":2500.0,\"normalized_delta\":2.5}],"
                "\"regression_score\":2.5,\"dominant_axis\":\"latency\"}]}");
}

TEST(ReportToJson, EnumerationNames) {
  std::vector<std::string> names;
  for (auto s : {RecommendationSeverity::kError, RecommendationSeverity::kWarning,
                 RecommendationSeverity::kInfo}) {
    names.emplace_back(recommendation_severity_name(s));
  }
  for (auto a : {RecommendationAction::kRestore, RecommendationAction::kRemove,
                 RecommendationAction::kRevert, RecommendationAction::kReview,
                 RecommendationAction::kVerify}) {
    names.emplace_back(recommendation_action_name(a));
  }
  for (auto k : {DriftKind::kStyleDrift, DriftKind::kDecisionDrift, DriftKind::kStructuralDrift}) {
    names.emplace_back(drift_kind_name(k));
  }
  for (auto s : {Severity::kNone, Severity::kMinor, Severity::kModerate, Severity::kSevere}) {
    names.emplace_back(severity_name(s));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"error", "warning", "info", "restore", "remove",
                                             "revert", "review", "verify", "style_drift",
                                             "decision_drift", "structural_drift", "none",
                                             "minor", "moderate", "severe"}));
  EXPECT_LT(drift_kind_rank(DriftKind::kDecisionDrift), drift_kind_rank(DriftKind::kStructuralDrift));
}

}  // namespace
}  // namespace korvane::diff
