// The numeric axes: verbosity, latency, cost (with the price entry reader),
// reasoning and judge, and the shared row builder.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <tuple>
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

using agentlog::Record;
using test::pairs_of;
using test::response;
using test::row_has;

// ---------------------------------------------------------------------------
// Price entries.

std::string pricing_text(const ModelPricing& p) {
  json::JsonObject o;
  for (auto [name, price] : std::initializer_list<std::pair<const char*, double>>{
           {"input", p.input}, {"output", p.output}, {"cached_input", p.cached_input},
           {"cached_write_5m", p.cached_write_5m}, {"cached_write_1h", p.cached_write_1h},
           {"reasoning", p.reasoning}, {"batch_discount", p.batch_discount}}) {
    o.append(name, json::JsonValue(price));
  }
  return json::to_json_text(json::JsonValue(std::move(o)));
}

std::string pricing_or_error(const json::JsonValue& value, bool* ok = nullptr) {
  try {
    return pricing_text(model_pricing_from_value(value));
  } catch (const Error& e) {
    if (ok != nullptr) *ok = false;
    return e.what();
  }
}

TEST(ModelPricingFromValue, KnownAnswerVectors) {
  std::vector<vectors::Vector> all = vectors::load_vectors("pricing_value.jsonl");
  ASSERT_FALSE(all.empty());
  for (const vectors::Vector& v : all) {
    bool ok = true;
    EXPECT_EQ(pricing_or_error(json::parse_json(v.input), &ok) + "\n", v.expected) << v.name;
    EXPECT_EQ(ok, v.ok.value_or(ok)) << v.name;
  }
}

TEST(ModelPricingFromValue, PriceNamedTwiceFails) {
  json::JsonObject o;
  o.append("input", json::JsonValue(1.0));
  o.append("output", json::JsonValue(2.0));
  o.append("input", json::JsonValue(3.0));
  EXPECT_EQ(pricing_or_error(json::JsonValue(std::move(o))), "duplicate field `input`");
}

// ---------------------------------------------------------------------------
// Cost.

const PricingTable kTable = {
    {"m", ModelPricing{3, 15, 0.3, 0, 0, 0, 0}},
    {"batched", ModelPricing{3, 15, 0.3, 0, 0, 0, 0.5}},
    {"cache", ModelPricing{3, 15, 0, 0, 6, 0, 0}},
    {"nan", ModelPricing{3, 15, std::numeric_limits<double>::quiet_NaN(), -1, 0, -2, 0}},
};

// 1000 * 3 + 200 * 15 + 500 * 0.3 + 100 * 15 with the prices of "m".
#define USAGE_7650 \
  R"("usage":{"input_tokens":1000,"output_tokens":200,"cached_input_tokens":500,"thinking_tokens":100})"

TEST(CostOf, PricesTheReportedTokens) {
  const std::pair<const char*, std::optional<double>> cases[] = {
      {R"({"model":"m",)" USAGE_7650 "}", 7650.0},
      {R"({"model":"batched","batch":true,)" USAGE_7650 "}", 3825.0},
      {R"({"model":"m","batch":true,)" USAGE_7650 "}", 7650.0},
      {R"({"model":"batched","batch":false,)" USAGE_7650 "}", 7650.0},
      {R"({"model":"batched","batch":"true",)" USAGE_7650 "}", 7650.0},
      // Prices not above zero fall back to input (cached, cache writes) or output (reasoning).
      {R"({"model":"cache","usage":{"input_tokens":0,"output_tokens":0,"cached_write_5m_tokens":100,)"
       R"("cached_write_1h_tokens":10}})", 300.0 + 60.0},
      {R"({"model":"cache","usage":{"input_tokens":1,"output_tokens":1,"cached_input_tokens":10}})", 3.0 + 30 + 15},
      {R"({"model":"nan","usage":{"input_tokens":0,"output_tokens":0,"cached_input_tokens":1,)"
       R"("cached_write_5m_tokens":1,"thinking_tokens":1}})", 3.0 + 3 + 15},
      // Counts as reported, floats and negatives included; other optional counts read as zero.
      {R"({"model":"m","usage":{"input_tokens":1000.0,"output_tokens":-10}})", 3000.0 - 150},
      {R"({"model":"m","usage":{"input_tokens":1,"output_tokens":1,"cached_input_tokens":"500",)"
       R"("thinking_tokens":null}})", 18.0},
      {R"({"model":"other","usage":{"input_tokens":5,"output_tokens":5}})", 0.0},
      // Not priceable.
      {R"({"model":"m"})", std::nullopt},
      {R"({"model":7,"usage":{"input_tokens":1,"output_tokens":1}})", std::nullopt},
      {R"({"model":"m","usage":{"input_tokens":"1","output_tokens":1}})", std::nullopt},
      {R"({"model":"m","usage":{"input_tokens":1}})", std::nullopt},
      {R"(["model","m"])", std::nullopt}};
  for (const auto& [payload, expected] : cases) {
    EXPECT_DOUBLE_EQ(cost_of(response(payload), kTable).value_or(-1), expected.value_or(-1)) << payload;
  }
}

Record priced(const char* model) {
  return response(std::string(R"({"model":")") + model + R"(","usage":{"input_tokens":100,"output_tokens":10}})");
}

TEST(CostRow, WithoutPricesEveryCostIsZeroAndTheRowSaysSo) {
  std::vector<Record> b(3, priced("x")), c(3, priced("y"));
  EXPECT_TRUE(row_has(build_row(cost_series(pairs_of(b, c), PricingTable{}), 1), "n=3 b=0 d=0 none flags=low_power,no_pricing"));
}

TEST(CostRow, NoPricingWhenFewerThanHalfOfAllPairsArePriced) {
  // Two of four pairs priced on both sides: exactly half, no flag.
  std::vector<Record> b = {priced("m"), priced("m"), priced("m"), priced("x")};
  std::vector<Record> c = {priced("m"), priced("m"), priced("x"), priced("m")};
  EXPECT_FALSE(build_row(cost_series(pairs_of(b, c), kTable), 1).has_flag(AxisFlag::kNoPricing));
  // One of four: flagged. The pair without usage is left out of the series
  // but counts among the pairs.
  c[1] = response(R"({"model":"m"})");
  const AxisStat row = build_row(cost_series(pairs_of(b, c), kTable), 1);
  EXPECT_TRUE(row_has(row, "n=3"));
  EXPECT_EQ(row.flags.back(), AxisFlag::kNoPricing);
  // No pair with both costs: the zero row, flagged; no pairs at all: no flag.
  c = {response("{}"), response(R"({"model":"m"})")};
  EXPECT_TRUE(row_has(build_row(cost_series(pairs_of(std::span(b).first(2), c), kTable), 1), "n=0 ci=[0,0] flags=no_pricing"));
  EXPECT_TRUE(row_has(build_row(cost_series({}, kTable), 1), "cost n=0 flags="));
}

TEST(CostRow, ComparesMedianCosts) {
  // 450 each; the batch discount applies only to batch responses.
  std::vector<Record> b(6, priced("m")), c(6, priced("batched"));
  c[0] = response(R"({"model":"m","usage":{"input_tokens":1000,"output_tokens":10}})");
  EXPECT_TRUE(row_has(build_row(cost_series(pairs_of(b, c), kTable), 5), "b=450 c=450 flags="));
}

// ---------------------------------------------------------------------------
// Verbosity, latency, reasoning and judge.

TEST(ReportedNumbers, OnlyNumbersInTheirPlaceCount) {
  const std::tuple<const char*, std::optional<double>, std::optional<double>> cases[] = {
      {R"({"usage":{"output_tokens":1200},"latency_ms":1200.5})", 1200.0, 1200.5},
      {R"({"usage":{"output_tokens":-3.5},"latency_ms":0})", -3.5, 0.0},
      {R"({"usage":{"output_tokens":18446744073709551615}})", 18446744073709551615.0, std::nullopt},
      {R"({"output_tokens":12,"latency_ms":"1200"})", std::nullopt, std::nullopt},
      {R"({"usage":[{"output_tokens":12}],"latency_ms":null})", std::nullopt, std::nullopt},
      {R"({"usage":{"output_tokens":true},"latency_ms":[5]})", std::nullopt, std::nullopt},
      {R"([{"latency_ms":5}])", std::nullopt, std::nullopt}};
  for (const auto& [payload, tokens, latency] : cases) {
    EXPECT_EQ(reported_output_tokens(response(payload)), tokens) << payload;
    EXPECT_EQ(reported_latency_ms(response(payload)), latency) << payload;
  }
}

TEST(LatencyRow, UsesOnlyPairsReportedOnBothSides) {
  std::vector<Record> b = {response(R"({"latency_ms":100})"), response(R"({"latency_ms":200})"),
                           response(R"({"latency_ms":300})")};
  std::vector<Record> c = {response("{}"), response(R"({"latency_ms":250})"), response(R"({"latency_ms":350})")};
  EXPECT_TRUE(row_has(build_row(latency_series(pairs_of(b, c)), 3), "latency n=2 b=250 c=300 d=50 flags=low_power"));
  EXPECT_TRUE(row_has(build_row(latency_series(pairs_of(std::span(b).first(1), c)), 3), "latency n=0"));
}

TEST(VerbosityRow, ZeroBaselineMedianGivesMinor) {
  std::vector<Record> b(6, response(R"({"usage":{"output_tokens":0}})"));
  std::vector<Record> c(6, response(R"({"usage":{"output_tokens":12}})"));
  EXPECT_TRUE(row_has(build_row(verbosity_series(pairs_of(b, c)), 8), "verbosity d=12 ci=[12,12] minor"));
}

TEST(ReasoningScore, ThinkingTokensPlusThinkingBlocks) {
  const std::pair<const char*, double> cases[] = {
      {R"({"content":[{"type":"thinking","thinking":"a"},{"type":"text","text":"b"},{"type":"thinking"}]})", 2.0},
      {R"({"usage":{"thinking_tokens":1200}})", 1200.0},
      {R"({"usage":{"thinking_tokens":500},"content":[{"type":"thinking"},{"type":"thinking"}]})", 502.0},
      {R"({"content":[{"type":"Thinking"},"thinking",{"kind":"thinking"}]})", 0.0},
      {R"({"usage":{"thinking_tokens":"9"},"content":{"type":"thinking"}})", 0.0},
      {R"({"usage":"x","content":[{"type":"thinking"}]})", 1.0},
      {R"("thinking")", 0.0}};
  for (const auto& [payload, expected] : cases) EXPECT_EQ(reasoning_score(response(payload)), expected) << payload;
}

TEST(ReasoningRow, EveryPairCountsAndNoReasoningIsNoChange) {
  std::vector<Record> b(3, response(R"({"content":[]})")), c(3, response("{}"));
  EXPECT_TRUE(row_has(build_row(reasoning_series(pairs_of(b, c)), std::nullopt), "reasoning n=3 b=0 d=0 none"));
  EXPECT_TRUE(row_has(build_row(judge_series(), 1), "judge n=0 b=0 c=0 d=0 ci=[0,0] none flags="));
}

// ---------------------------------------------------------------------------
// The row builder.

// The rows of series whose every resample gives the same delta, so the
// interval is known without the draws; the extra flags come last.
TEST(BuildRows, FollowTheCallingSequence) {
  const std::vector<double> zeros(6, 0.0), ones(6, 1.0), halves = {0, 1, 0, 1, 0, 1};
  const AxisSeries series[] = {
      {Axis::kSafety, RowKind::kRate, Statistic::kMean, zeros, ones},
      {Axis::kCost, RowKind::kValue, Statistic::kMedian, {}, {}, {AxisFlag::kNoPricing}},
      {Axis::kReasoning, RowKind::kValue, Statistic::kMedian, std::vector<double>(3, 4.0), std::vector<double>(3, 5.0)},
      {Axis::kConformance, RowKind::kRate, Statistic::kMean, halves, halves},
  };
  const std::vector<AxisStat> rows = build_rows(series, 11);
  EXPECT_TRUE(row_has(rows[0], "safety n=6 b=0 c=1 d=1 ci=[1,1] severe flags="));
  EXPECT_TRUE(row_has(rows[1], "cost n=0 b=0 d=0 ci=[0,0] none flags=no_pricing"));
  EXPECT_TRUE(row_has(rows[2], "reasoning n=3 b=4 c=5 d=1 ci=[1,1] moderate flags=low_power"));
  EXPECT_TRUE(row_has(rows[3], "conformance n=6 b=0.5 c=0.5 d=0 ci=[0,0] none flags="));
  for (size_t k = 0; k < std::size(series); ++k) {
    EXPECT_EQ(test::row_summary(rows[k]), test::row_summary(build_row(series[k], 11))) << k;
  }
}

}  // namespace
}  // namespace korvane::diff
