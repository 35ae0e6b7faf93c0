#include "core/diff/drill_down.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "turn_test_util.h"

namespace korvane::diff {
namespace {

using test::response;

TEST(DrillDownText, LineFeedsBetweenNonEmptyTexts) {
  EXPECT_EQ(drill_down_text(response(R"({"content":[{"type":"text","text":"a"},{"type":"text","text":""},
                                                {"type":"image"},{"type":"text","text":7},
                                                {"type":"text","text":"b"}]})")),
            "a\nb");
  EXPECT_EQ(drill_down_text(response(R"({"content":[{"type":"text","text":""},{"type":"text","text":"b"}]})")), "b");
  EXPECT_EQ(drill_down_text(response(R"({"content":"a"})")), "");
  agentlog::Record request = response(R"({"content":[{"type":"text","text":"a"}]})");
  request.kind = agentlog::Kind::kChatRequest;
  EXPECT_EQ(drill_down_text(request), "");
}

TEST(ShingleSimilarity, TextsAsTheyAre) {
  EXPECT_EQ(shingle_similarity("", ""), 1.0);
  EXPECT_EQ(shingle_similarity("", "x"), 0.0);
  EXPECT_EQ(shingle_similarity("abc", "abd"), 0.0);
  EXPECT_EQ(shingle_similarity("a b", "a  b"), 0.0);  // no whitespace normalisation
  EXPECT_EQ(shingle_similarity("abcde", "abcdf"), 1.0 / 3.0);
}

struct RefusalCase {
  const char* name;
  const char* payload;
  bool refuses;
};

class IsRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(IsRefusal, StopReasonOrPhrase) {
  EXPECT_EQ(is_refusal(response(GetParam().payload)), GetParam().refuses);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IsRefusal,
    ::testing::Values(
        RefusalCase{"stop_refusal", R"({"stop_reason":"refusal"})", true},
        RefusalCase{"stop_content_filter", R"({"stop_reason":"content_filter"})", true},
        RefusalCase{"stop_other", R"({"stop_reason":"end_turn"})", false},
        RefusalCase{"mixed_case", R"({"content":[{"type":"text","text":"I Can't Help with that."}]})", true},
        RefusalCase{"typographic_apostrophe", R"({"content":[{"type":"text","text":"I can\u2019t help"}]})", false},
        RefusalCase{"will_not", R"({"content":[{"type":"text","text":"Sorry, I WILL NOT."}]})", true},
        RefusalCase{"phrase_across_blocks",
                    R"({"content":[{"type":"text","text":"I am"},{"type":"text","text":"unable"}]})", false},
        RefusalCase{"plain", R"({"content":[{"type":"text","text":"Done: I'm able to help."}]})", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct JsonCase {
  const char* name;
  const char* text;
  bool parses;
};

class ParsesAsJson : public ::testing::TestWithParam<JsonCase> {};

TEST_P(ParsesAsJson, FencesAndTrimming) { EXPECT_EQ(parses_as_json(GetParam().text), GetParam().parses); }

INSTANTIATE_TEST_SUITE_P(
    Cases, ParsesAsJson,
    ::testing::Values(JsonCase{"json_fence", "```json\n{\"a\": 1}\n```", true},
                      JsonCase{"upper_case_tag_stays", "```JSON\n{\"a\": 1}\n```", false},
                      JsonCase{"bare_fence", "```\n[1, 2]\n```", true},
                      JsonCase{"one_line_fence", "```{\"a\":1}```", true},
                      JsonCase{"all_trailing_fences", "```json{\"a\":1}`````````", true},
                      JsonCase{"fence_after_blank_stays", "```json\n{\"a\":1}\n``` \n```", false},
                      JsonCase{"unfenced_with_blanks", " \n {\"a\": [true, null]} \t", true},
                      JsonCase{"unicode_blanks_trimmed", "\u00a0{}\u3000", true},
                      JsonCase{"scalar", "1", true},
                      JsonCase{"empty", "", false},
                      JsonCase{"blank", " \n ", false},
                      JsonCase{"tag_only", "```json", false},
                      JsonCase{"unclosed", "{\"a\": 1", false},
                      JsonCase{"leading_prose", "Here: [1, 2]", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParsesAsJson, NestingLimit) {
  EXPECT_TRUE(parses_as_json("```json\n" + std::string(127, '[') + std::string(127, ']') + "\n```"));
  EXPECT_FALSE(parses_as_json(std::string(128, '[') + std::string(128, ']')));
}

// ---- Scores ---------------------------------------------------------------

const PricingTable kPricing = {{"m", ModelPricing{0.001, 0.002}}};

const AxisScore& entry(const PairDrilldown& row, Axis axis) {
  for (const AxisScore& s : row.axis_scores) {
    if (s.axis == axis) return s;
  }
  throw std::logic_error("axis missing");
}

PairDrilldown score(const agentlog::Record& b, const agentlog::Record& c) {
  return score_pair(0, ResponsePair{&b, &c}, kPricing);
}

TEST(ScorePair, IdenticalResponsesScoreZeroWithConformanceDominant) {
  const agentlog::Record r = response(
      R"({"model":"m","latency_ms":900,"usage":{"input_tokens":10,"output_tokens":20,"thinking_tokens":5},
          "content":[{"type":"text","text":"{\"a\":1}"},{"type":"tool_use","name":"s","input":{"q":1}}]})");
  const PairDrilldown row = score(r, r);
  ASSERT_EQ(row.axis_scores.size(), 8u);
  const Axis order[] = {Axis::kSemantic, Axis::kTrajectory, Axis::kSafety,    Axis::kVerbosity,
                        Axis::kLatency,  Axis::kCost,       Axis::kReasoning, Axis::kConformance};
  for (size_t k = 0; k < 8; ++k) {
    EXPECT_EQ(row.axis_scores[k].axis, order[k]);
    EXPECT_EQ(row.axis_scores[k].normalized_delta, 0.0);
    EXPECT_EQ(row.axis_scores[k].delta, 0.0);
  }
  EXPECT_EQ(entry(row, Axis::kVerbosity).baseline_value, 20.0);
  EXPECT_EQ(entry(row, Axis::kLatency).baseline_value, 900.0);
  EXPECT_EQ(entry(row, Axis::kCost).baseline_value, 10 * 0.001 + 20 * 0.002 + 5 * 0.002);
  EXPECT_EQ(entry(row, Axis::kReasoning).baseline_value, 5.0);
  EXPECT_EQ(entry(row, Axis::kConformance).baseline_value, 1.0);
  EXPECT_EQ(row.regression_score, 0.0);
  EXPECT_EQ(row.dominant_axis, Axis::kConformance);
}

struct ScoreCase {
  const char* name;
  const char* baseline;
  const char* candidate;
  Axis axis;
  double baseline_value, candidate_value, normalized;
};

class ScoreAxis : public ::testing::TestWithParam<ScoreCase> {};

TEST_P(ScoreAxis, ValuesAndScale) {
  const ScoreCase& c = GetParam();
  const PairDrilldown row = score(response(c.baseline), response(c.candidate));
  const AxisScore& s = entry(row, c.axis);
  EXPECT_DOUBLE_EQ(s.baseline_value, c.baseline_value);
  EXPECT_DOUBLE_EQ(s.candidate_value, c.candidate_value);
  EXPECT_DOUBLE_EQ(s.delta, c.candidate_value - c.baseline_value);
  EXPECT_DOUBLE_EQ(s.normalized_delta, c.normalized);
}

#define TXT(t) R"({"content":[{"type":"text","text":")" t R"("}]})"
#define USAGE(u) R"({"model":"m","usage":{"input_tokens":0,"output_tokens":)" u "}}"

INSTANTIATE_TEST_SUITE_P(
    Cases, ScoreAxis,
    ::testing::Values(
        ScoreCase{"empty_texts", TXT(""), TXT(""), Axis::kSemantic, 1.0, 1.0, 0.0},
        ScoreCase{"empty_against_text", TXT(""), TXT("hello"), Axis::kSemantic, 1.0, 0.0, 2.0},
        ScoreCase{"short_texts_differ", TXT("abc"), TXT("abd"), Axis::kSemantic, 1.0, 0.0, 2.0},
        ScoreCase{"repeated_call", R"({"content":[{"type":"tool_use","name":"search","input":{"q":1}}]})",
                  R"({"content":[{"type":"tool_use","name":"search","input":{"q":1}},
                                 {"type":"tool_use","name":"search","input":{"q":2}}]})",
                  Axis::kTrajectory, 0.0, 0.5, 1.0},
        ScoreCase{"refusal", R"({"stop_reason":"end_turn"})", R"({"stop_reason":"refusal"})", Axis::kSafety, 0.0,
                  1.0, 1.0},
        ScoreCase{"refusal_gone", TXT("I won't do that"), TXT("Done"), Axis::kSafety, 1.0, 0.0, 1.0},
        ScoreCase{"verbosity", USAGE("100"), USAGE("350"), Axis::kVerbosity, 100.0, 350.0, 2.5},
        ScoreCase{"verbosity_capped", USAGE("0"), USAGE("1000"), Axis::kVerbosity, 0.0, 1000.0, 4.0},
        ScoreCase{"latency_capped", R"({"latency_ms":500})", R"({"latency_ms":10500})", Axis::kLatency, 500.0,
                  10500.0, 4.0},
        ScoreCase{"latency_half_second", R"({"latency_ms":1500})", R"({"latency_ms":1000.0})", Axis::kLatency,
                  1500.0, 1000.0, 0.5},
        ScoreCase{"latency_not_a_number", R"({"latency_ms":"fast"})", R"({"latency_ms":250})", Axis::kLatency,
                  0.0, 250.0, 0.25},
        ScoreCase{"cost", USAGE("0"), USAGE("1"), Axis::kCost, 0.0, 0.002, 0.2},
        ScoreCase{"cost_unpriceable_is_zero", R"({"model":"m"})", USAGE("1"), Axis::kCost, 0.0, 0.002, 0.2},
        ScoreCase{"reasoning", R"({"usage":{"thinking_tokens":50}})", R"({"usage":{"thinking_tokens":10}})",
                  Axis::kReasoning, 50.0, 10.0, 0.4},
        ScoreCase{"reasoning_usage_not_object", R"({"usage":[1]})", R"({"usage":{"thinking_tokens":100}})",
                  Axis::kReasoning, 0.0, 100.0, 1.0},
        ScoreCase{"conformance", TXT("```json\\n{}\\n```"), TXT("```JSON\\n{}\\n```"), Axis::kConformance, 1.0, 0.0,
                  1.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ScorePair, NotANumberNormalizesToZero) {
  // An infinite price makes both costs infinite; their delta is NaN.
  const PricingTable infinite = {{"m", ModelPricing{std::numeric_limits<double>::infinity(), 1.0}}};
  const agentlog::Record r = response(R"({"model":"m","usage":{"input_tokens":1,"output_tokens":1}})");
  const PairDrilldown row = score_pair(0, ResponsePair{&r, &r}, infinite);
  const AxisScore& cost = entry(row, Axis::kCost);
  EXPECT_TRUE(std::isnan(cost.delta));
  EXPECT_EQ(cost.normalized_delta, 0.0);
  EXPECT_EQ(row.regression_score, 0.0);
}

TEST(ScorePair, LaterAxisWinsATieAndScoresAddUp) {
  // Safety 1.0 (refusal) and conformance 1.0 (JSON lost); the semantic score
  // is larger still unless the texts match: keep them equal.
  const agentlog::Record b = response(R"({"content":[{"type":"text","text":"[1]"}]})");
  const agentlog::Record c = response(R"({"stop_reason":"refusal","content":[{"type":"text","text":"[1]"}]})");
  PairDrilldown row = score(b, c);
  EXPECT_EQ(row.dominant_axis, Axis::kSafety);
  EXPECT_EQ(row.regression_score, 1.0);
  const agentlog::Record d = response(R"({"stop_reason":"refusal","content":[{"type":"text","text":"[1"}]})");
  row = score(b, d);  // semantic: "[1]" vs "[1" differ, s = 0, normalized 2
  EXPECT_EQ(row.dominant_axis, Axis::kSemantic);
  EXPECT_EQ(row.regression_score, 2.0 + 1.0 + 1.0);
  const agentlog::Record e = response(R"({"latency_ms":1000,"content":[{"type":"text","text":"[1]"}]})");
  const agentlog::Record f = response(R"({"latency_ms":2000,"stop_reason":"refusal","content":[{"type":"text","text":"[1]"}]})");
  row = score(e, f);  // safety 1.0 and latency 1.0: latency comes later
  EXPECT_EQ(row.dominant_axis, Axis::kLatency);
}

TEST(DrillDown, KeepsTheFiveHighestScoresInPairOrderOnTies) {
  // Latency deltas give scores 0.1, 0.5, 0.3, 0.5, 0.0, 0.9, 0.3.
  const double deltas[] = {100, 500, 300, 500, 0, 900, 300};
  std::vector<agentlog::Record> b, c;
  for (double d : deltas) {
    b.push_back(response(R"({"latency_ms":1000})"));
    c.push_back(response(R"({"latency_ms":)" + std::to_string(1000 + d) + "}"));
  }
  std::vector<ResponsePair> pairs;
  for (size_t i = 0; i < b.size(); ++i) pairs.push_back({&b[i], &c[i]});
  const std::vector<PairDrilldown> rows = drill_down(pairs, kPricing);
  std::vector<uint64_t> order;
  for (const PairDrilldown& r : rows) {
    order.push_back(r.pair_index);
    EXPECT_EQ(r.baseline_turn, r.pair_index);
    EXPECT_EQ(r.candidate_turn, r.pair_index);
  }
  EXPECT_EQ(order, (std::vector<uint64_t>{5, 1, 3, 2, 6}));
  EXPECT_TRUE(drill_down({}, kPricing).empty());
}

}  // namespace
}  // namespace korvane::diff
