// The numeric axes: verbosity, latency, cost (with the price entry reader),
// reasoning and judge, and the shared row builder.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "axes_test_util.h"
#include "core/diff/axes.h"
#include "core/diff/cost.h"
#include "core/diff/reasoning.h"
#include "core/diff/usage.h"
#include "core/error.h"
#include "core/json/reader.h"
#include "core/json/writer.h"
#include "vectors.h"

namespace korvane::diff {
namespace {

using test::pairs_of;
using test::response;

std::vector<std::string> flag_names(const AxisStat& row) {
  std::vector<std::string> names;
  for (AxisFlag flag : row.flags) names.emplace_back(axis_flag_name(flag));
  return names;
}

// ---------------------------------------------------------------------------
// Price entries.

std::string pricing_text(const ModelPricing& p) {
  json::JsonObject o;
  o.append("input", json::JsonValue(p.input));
  o.append("output", json::JsonValue(p.output));
  o.append("cached_input", json::JsonValue(p.cached_input));
  o.append("cached_write_5m", json::JsonValue(p.cached_write_5m));
  o.append("cached_write_1h", json::JsonValue(p.cached_write_1h));
  o.append("reasoning", json::JsonValue(p.reasoning));
  o.append("batch_discount", json::JsonValue(p.batch_discount));
  return json::to_json_text(json::JsonValue(std::move(o)));
}

TEST(ModelPricingFromValue, KnownAnswerVectors) {
  std::vector<vectors::Vector> all = vectors::load_vectors("pricing_value.jsonl");
  ASSERT_FALSE(all.empty());
  for (const vectors::Vector& v : all) {
    std::string got;
    bool ok = true;
    try {
      got = pricing_text(model_pricing_from_value(json::parse_json(v.input))) + "\n";
    } catch (const Error& e) {
      got = std::string(e.what()) + "\n";
      ok = false;
    }
    EXPECT_EQ(got, v.expected) << v.name;
    if (v.ok) {
      EXPECT_EQ(ok, *v.ok) << v.name;
    }
  }
}

TEST(ModelPricingFromValue, PriceNamedTwiceFails) {
  json::JsonObject o;
  o.append("input", json::JsonValue(1.0));
  o.append("output", json::JsonValue(2.0));
  o.append("input", json::JsonValue(3.0));
  try {
    model_pricing_from_value(json::JsonValue(std::move(o)));
    FAIL() << "no exception";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "duplicate field `input`");
  }
}

// ---------------------------------------------------------------------------
// cost_of.

const PricingTable kTable = {
    {"m", ModelPricing{3, 15, 0.3, 0, 0, 0, 0}},
    {"batched", ModelPricing{3, 15, 0.3, 0, 0, 0, 0.5}},
    {"cache", ModelPricing{3, 15, 0, 0, 6, 0, 0}},
    {"nan", ModelPricing{3, 15, std::numeric_limits<double>::quiet_NaN(), -1, 0, -2, 0}},
};

struct CostCase {
  const char* name;
  const char* payload;
  std::optional<double> expected;
};

void PrintTo(const CostCase& c, std::ostream* os) { *os << c.name; }

class CostOf : public testing::TestWithParam<CostCase> {};

TEST_P(CostOf, PricesTheReportedTokens) {
  std::optional<double> cost = cost_of(response(GetParam().payload), kTable);
  ASSERT_EQ(cost.has_value(), GetParam().expected.has_value());
  if (cost) {
    EXPECT_DOUBLE_EQ(*cost, *GetParam().expected);
  }
}

#define USAGE_7650 \
  "\"usage\":{\"input_tokens\":1000,\"output_tokens\":200,\"cached_input_tokens\":500," \
  "\"thinking_tokens\":100}"

INSTANTIATE_TEST_SUITE_P(
    Table, CostOf,
    testing::Values(
        CostCase{"every_count_priced_on_top", R"({"model":"m",)" USAGE_7650 "}", 7650.0},
        CostCase{"batch_discount_applies", R"({"model":"batched","batch":true,)" USAGE_7650 "}",
                 3825.0},
        CostCase{"batch_without_discount", R"({"model":"m","batch":true,)" USAGE_7650 "}", 7650.0},
        CostCase{"batch_false", R"({"model":"batched","batch":false,)" USAGE_7650 "}", 7650.0},
        CostCase{"batch_not_a_boolean", R"({"model":"batched","batch":"true",)" USAGE_7650 "}",
                 7650.0},
        CostCase{"cache_writes_fall_back_to_input",
                 R"({"model":"cache","usage":{"input_tokens":0,"output_tokens":0,)"
                 R"("cached_write_5m_tokens":100,"cached_write_1h_tokens":10}})",
                 300.0 + 60.0},
        CostCase{"cached_input_falls_back_to_input",
                 R"({"model":"cache","usage":{"input_tokens":1,"output_tokens":1,)"
                 R"("cached_input_tokens":10}})",
                 3.0 + 30.0 + 15.0},
        CostCase{"nan_and_negative_prices_fall_back",
                 R"({"model":"nan","usage":{"input_tokens":0,"output_tokens":0,)"
                 R"("cached_input_tokens":1,"cached_write_5m_tokens":1,"thinking_tokens":1}})",
                 3.0 + 3.0 + 15.0},
        CostCase{"floats_and_negative_counts_as_reported",
                 R"({"model":"m","usage":{"input_tokens":1000.0,"output_tokens":-10}})",
                 3000.0 - 150.0},
        CostCase{"optional_count_not_a_number_is_zero",
                 R"({"model":"m","usage":{"input_tokens":1,"output_tokens":1,)"
                 R"("cached_input_tokens":"500","thinking_tokens":null}})",
                 18.0},
        CostCase{"model_missing_from_the_table_costs_zero",
                 R"({"model":"other","usage":{"input_tokens":5,"output_tokens":5}})", 0.0},
        CostCase{"no_usage", R"({"model":"m"})", std::nullopt},
        CostCase{"usage_not_an_object", R"({"model":"m","usage":[1000,200]})", std::nullopt},
        CostCase{"no_model", R"({"usage":{"input_tokens":1,"output_tokens":1}})", std::nullopt},
        CostCase{"model_not_a_string", R"({"model":7,"usage":{"input_tokens":1,"output_tokens":1}})",
                 std::nullopt},
        CostCase{"input_tokens_not_a_number",
                 R"({"model":"m","usage":{"input_tokens":"1","output_tokens":1}})", std::nullopt},
        CostCase{"output_tokens_missing", R"({"model":"m","usage":{"input_tokens":1}})",
                 std::nullopt},
        CostCase{"payload_not_an_object", R"(["model","m"])", std::nullopt}));

// ---------------------------------------------------------------------------
// Cost row.

agentlog::Record priced(const char* model) {
  return response(std::string(R"({"model":")") + model +
                  R"(","usage":{"input_tokens":100,"output_tokens":10}})");
}

TEST(CostRow, WithoutPricesEveryCostIsZeroAndTheRowSaysSo) {
  std::vector<agentlog::Record> b = {priced("x"), priced("x"), priced("x")};
  std::vector<agentlog::Record> c = {priced("y"), priced("y"), priced("y")};
  AxisStat row = cost_row(pairs_of(b, c), PricingTable{}, 1);
  EXPECT_EQ(row.n, 3u);
  EXPECT_EQ(row.baseline_median, 0.0);
  EXPECT_EQ(row.delta, 0.0);
  EXPECT_EQ(row.severity, Severity::kNone);
  EXPECT_EQ(flag_names(row), (std::vector<std::string>{"low_power", "no_pricing"}));
}

TEST(CostRow, NoPricingWhenFewerThanHalfOfAllPairsArePriced) {
  agentlog::Record no_usage = response(R"({"model":"m"})");
  // Two of four pairs priced on both sides: exactly half, no flag.
  std::vector<agentlog::Record> b = {priced("m"), priced("m"), priced("m"), priced("x")};
  std::vector<agentlog::Record> c = {priced("m"), priced("m"), priced("x"), priced("m")};
  EXPECT_FALSE(cost_row(pairs_of(b, c), kTable, 1).has_flag(AxisFlag::kNoPricing));
  // One of four: flagged. The pair without usage is left out of the series
  // but counts among the pairs.
  c[1] = no_usage;
  AxisStat row = cost_row(pairs_of(b, c), kTable, 1);
  EXPECT_EQ(row.n, 3u);
  EXPECT_EQ(flag_names(row).back(), "no_pricing");
}

TEST(CostRow, NoPairWithBothCostsGivesTheFlaggedZeroRow) {
  std::vector<agentlog::Record> b = {priced("m"), priced("m")};
  std::vector<agentlog::Record> c = {response("{}"), response(R"({"model":"m"})")};
  AxisStat row = cost_row(pairs_of(b, c), kTable, 1);
  EXPECT_EQ(row.n, 0u);
  EXPECT_EQ(row.ci95_high, 0.0);
  EXPECT_EQ(flag_names(row), (std::vector<std::string>{"no_pricing"}));
  EXPECT_TRUE(cost_row({}, kTable, 1).flags.empty());
}

TEST(CostRow, ComparesMedianCosts) {
  std::vector<agentlog::Record> b, c;
  for (int i = 0; i < 6; ++i) {
    b.push_back(priced("m"));       // 300 + 150 = 450
    c.push_back(priced("batched"));  // 450 / 2 only for batch responses: 450
  }
  c[0] = response(R"({"model":"m","usage":{"input_tokens":1000,"output_tokens":10}})");
  AxisStat row = cost_row(pairs_of(b, c), kTable, 5);
  EXPECT_EQ(row.baseline_median, 450.0);
  EXPECT_EQ(row.candidate_median, 450.0);
  EXPECT_TRUE(row.flags.empty());
}

// ---------------------------------------------------------------------------
// Verbosity and latency.

struct ReadCase {
  const char* payload;
  std::optional<double> tokens, latency;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.payload; }

class ReportedNumbers : public testing::TestWithParam<ReadCase> {};

TEST_P(ReportedNumbers, OnlyNumbersInTheirPlaceCount) {
  agentlog::Record r = response(GetParam().payload);
  EXPECT_EQ(reported_output_tokens(r), GetParam().tokens);
  EXPECT_EQ(reported_latency_ms(r), GetParam().latency);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReportedNumbers,
    testing::Values(ReadCase{R"({"usage":{"output_tokens":1200},"latency_ms":1200.5})", 1200.0,
                             1200.5},
                    ReadCase{R"({"usage":{"output_tokens":-3.5},"latency_ms":0})", -3.5, 0.0},
                    ReadCase{R"({"usage":{"output_tokens":18446744073709551615}})",
                             18446744073709551615.0, std::nullopt},
                    ReadCase{R"({"output_tokens":12,"latency_ms":"1200"})", std::nullopt,
                             std::nullopt},
                    ReadCase{R"({"usage":[{"output_tokens":12}],"latency_ms":null})", std::nullopt,
                             std::nullopt},
                    ReadCase{R"({"usage":{"output_tokens":true},"latency_ms":[5]})", std::nullopt,
                             std::nullopt},
                    ReadCase{R"([{"latency_ms":5}])", std::nullopt, std::nullopt}));

TEST(LatencyRow, UsesOnlyPairsReportedOnBothSides) {
  std::vector<agentlog::Record> b = {response(R"({"latency_ms":100})"),
                                     response(R"({"latency_ms":200})"),
                                     response(R"({"latency_ms":300})")};
  std::vector<agentlog::Record> c = {response("{}"), response(R"({"latency_ms":250})"),
                                     response(R"({"latency_ms":350})")};
  AxisStat row = latency_row(pairs_of(b, c), 3);
  EXPECT_EQ(row.axis, Axis::kLatency);
  EXPECT_EQ(row.n, 2u);
  EXPECT_EQ(row.baseline_median, 250.0);
  EXPECT_EQ(row.candidate_median, 300.0);
  EXPECT_EQ(row.delta, 50.0);
  EXPECT_EQ(flag_names(row), (std::vector<std::string>{"low_power"}));
  // Nothing reported on both sides: the zero row.
  AxisStat none = latency_row(pairs_of(std::span(b).first(1), std::span(c).first(1)), 3);
  EXPECT_EQ(none.n, 0u);
  EXPECT_EQ(none.axis, Axis::kLatency);
}

TEST(VerbosityRow, ZeroBaselineMedianGivesMinor) {
  std::vector<agentlog::Record> b, c;
  for (int i = 0; i < 6; ++i) {
    b.push_back(response(R"({"usage":{"output_tokens":0}})"));
    c.push_back(response(R"({"usage":{"output_tokens":12}})"));
  }
  AxisStat row = verbosity_row(pairs_of(b, c), 8);
  EXPECT_EQ(row.axis, Axis::kVerbosity);
  EXPECT_EQ(row.delta, 12.0);
  EXPECT_EQ(row.ci95_low, 12.0);
  EXPECT_EQ(row.ci95_high, 12.0);
  EXPECT_EQ(row.severity, Severity::kMinor);
}

// ---------------------------------------------------------------------------
// Reasoning and judge.

struct ScoreCase {
  const char* payload;
  double expected;
};

void PrintTo(const ScoreCase& c, std::ostream* os) { *os << c.payload; }

class ReasoningScore : public testing::TestWithParam<ScoreCase> {};

TEST_P(ReasoningScore, ThinkingTokensPlusThinkingBlocks) {
  EXPECT_EQ(reasoning_score(response(GetParam().payload)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReasoningScore,
    testing::Values(
        ScoreCase{R"({"content":[{"type":"thinking","thinking":"a"},{"type":"text","text":"b"},)"
                  R"({"type":"thinking"}]})",
                  2.0},
        ScoreCase{R"({"usage":{"thinking_tokens":1200}})", 1200.0},
        ScoreCase{R"({"usage":{"thinking_tokens":500},"content":[{"type":"thinking"},)"
                  R"({"type":"thinking"}]})",
                  502.0},
        ScoreCase{R"({"content":[{"type":"Thinking"},"thinking",{"kind":"thinking"}]})", 0.0},
        ScoreCase{R"({"usage":{"thinking_tokens":"9"},"content":{"type":"thinking"}})", 0.0},
        ScoreCase{R"({"usage":"x","content":[{"type":"thinking"}]})", 1.0},
        ScoreCase{R"("thinking")", 0.0}));

TEST(ReasoningRow, EveryPairCountsAndNoReasoningIsNoChange) {
  std::vector<agentlog::Record> b(3, response(R"({"content":[]})"));
  std::vector<agentlog::Record> c(3, response("{}"));
  AxisStat row = reasoning_row(pairs_of(b, c), std::nullopt);
  EXPECT_EQ(row.axis, Axis::kReasoning);
  EXPECT_EQ(row.n, 3u);
  EXPECT_EQ(row.baseline_median, 0.0);
  EXPECT_EQ(row.delta, 0.0);
  EXPECT_EQ(row.severity, Severity::kNone);
}

TEST(JudgeRow, IsAlwaysTheZeroRow) {
  AxisStat row = judge_row();
  EXPECT_EQ(row.axis, Axis::kJudge);
  EXPECT_EQ(json::to_json_text(axis_stat_to_json(row)),
            "{\"axis\":\"judge\",\"baseline_median\":0.0,\"candidate_median\":0.0,\"delta\":0.0,"
            "\"ci95_low\":0.0,\"ci95_high\":0.0,\"severity\":\"none\",\"n\":0,\"flags\":[]}");
}

// ---------------------------------------------------------------------------
// The row builder.

TEST(BuildRow, FollowsTheCallingSequence) {
  std::vector<double> b = {0, 0, 1, 0, 0, 1}, c = {1, 1, 1, 0, 1, 1};
  AxisStat row = build_row(Axis::kSafety, RowKind::kRate, Statistic::kMean, b, c, 11);
  EXPECT_EQ(row.axis, Axis::kSafety);
  EXPECT_EQ(row.n, 6u);
  EXPECT_DOUBLE_EQ(row.baseline_median, 2.0 / 6);
  EXPECT_DOUBLE_EQ(row.candidate_median, 5.0 / 6);
  EXPECT_EQ(row.delta, row.candidate_median - row.baseline_median);
  EXPECT_EQ(row.severity, Severity::kSevere);
  auto [low, high] = paired_bootstrap(b, c, Statistic::kMean, 11);
  EXPECT_EQ(row.ci95_low, low);
  EXPECT_EQ(row.ci95_high, high);
  // Same seed, same row; an empty series gives the zero row of the axis.
  EXPECT_EQ(json::to_json_text(axis_stat_to_json(row)),
            json::to_json_text(axis_stat_to_json(
                build_row(Axis::kSafety, RowKind::kRate, Statistic::kMean, b, c, 11))));
  AxisStat zero = build_row(Axis::kCost, RowKind::kValue, Statistic::kMedian, {}, {}, 11);
  EXPECT_EQ(zero.axis, Axis::kCost);
  EXPECT_EQ(zero.n, 0u);
}

}  // namespace
}  // namespace korvane::diff
