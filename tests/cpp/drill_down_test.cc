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

#define TXT(t) R"({"content":[{"type":"text","text":")" t R"("}]})"
#define USAGE(u) R"({"model":"m","usage":{"input_tokens":0,"output_tokens":)" u "}}"

TEST(DrillDownText, LineFeedsBetweenNonEmptyTexts) {
  EXPECT_EQ(drill_down_text(response(R"({"content":[{"type":"text","text":""},{"type":"text","text":"a"},
                                                {"type":"image"},{"type":"text","text":7},
                                                {"type":"text","text":""},{"type":"text","text":"b"}]})")),
            "a\nb");
  EXPECT_EQ(drill_down_text(response(R"({"content":"a"})")), "");
  agentlog::Record request = response(TXT("a"));
  request.kind = agentlog::Kind::kChatRequest;
  EXPECT_EQ(drill_down_text(request), "");
}

TEST(IsRefusal, StopReasonOrPhrase) {
  const std::pair<const char*, bool> cases[] = {
      {R"({"stop_reason":"refusal"})", true}, {R"({"stop_reason":"content_filter"})", true},
      {TXT("I Can't Help with that."), true}, {TXT("Sorry, I WILL NOT."), true},
      {TXT("I can\u2019t help"), false},  // typographic apostrophe
      {R"({"content":[{"type":"text","text":"I am"},{"type":"text","text":"unable"}]})", false},
      {TXT("Done: I'm able to help."), false},
  };
  for (const auto& [payload, refuses] : cases) EXPECT_EQ(is_refusal(response(payload)), refuses) << payload;
}

TEST(ParsesAsJson, FencesAndTrimming) {
  const std::pair<std::string, bool> cases[] = {
      {"```json\n{\"a\": 1}\n```", true},
      {"```JSON\n{\"a\": 1}\n```", false},  // the tag is case-sensitive
      {"```\n[1, 2]\n```", true}, {"```json{\"a\":1}`````````", true},  // all trailing fences go
      {"```json\n{\"a\":1}\n``` \n```", false},
      {" \n {\"a\": [true, null]} \t", true}, {"\u00a0{}\u3000", true}, {"1", true},
      {" \n ", false}, {"```json", false}, {"{\"a\": 1", false},
      {"```json\n" + std::string(127, '[') + std::string(127, ']') + "\n```", true},
      {std::string(128, '[') + std::string(128, ']'), false},
  };
  for (const auto& [text, parses] : cases) EXPECT_EQ(parses_as_json(text), parses) << text;
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
  const Axis order[] = {Axis::kSemantic, Axis::kTrajectory, Axis::kSafety,    Axis::kVerbosity,
                        Axis::kLatency,  Axis::kCost,       Axis::kReasoning, Axis::kConformance};
  const double values[] = {1.0, 0.0, 0.0, 20.0, 900.0, 10 * 0.001 + 20 * 0.002 + 5 * 0.002, 5.0, 1.0};
  ASSERT_EQ(row.axis_scores.size(), 8u);
  for (size_t k = 0; k < 8; ++k) {
    const AxisScore& s = row.axis_scores[k];
    EXPECT_EQ(s.axis, order[k]);
    EXPECT_EQ(s.baseline_value, values[k]) << k;
    EXPECT_EQ(s.candidate_value, values[k]) << k;
    EXPECT_EQ(s.delta, 0.0);
    EXPECT_EQ(s.normalized_delta, 0.0);
  }
  EXPECT_EQ(row.regression_score, 0.0);
  EXPECT_EQ(row.dominant_axis, Axis::kConformance);
}

TEST(ScorePair, AxisValuesAndScale) {
  const struct {
    const char* baseline;
    const char* candidate;
    Axis axis;
    double baseline_value, candidate_value, normalized;
  } cases[] = {
      {TXT(""), TXT(""), Axis::kSemantic, 1.0, 1.0, 0.0},
      {TXT(""), TXT("hello"), Axis::kSemantic, 1.0, 0.0, 2.0},
      {TXT("abc"), TXT("abd"), Axis::kSemantic, 1.0, 0.0, 2.0},
      {TXT("a b"), TXT("a  b"), Axis::kSemantic, 1.0, 0.0, 2.0},  // white space as it is
      {R"({"content":[{"type":"tool_use","name":"search","input":{"q":1}}]})",
       R"({"content":[{"type":"tool_use","name":"search","input":{"q":1}},
                      {"type":"tool_use","name":"search","input":{"q":2}}]})",
       Axis::kTrajectory, 0.0, 0.5, 1.0},
      {R"({"stop_reason":"end_turn"})", R"({"stop_reason":"refusal"})", Axis::kSafety, 0.0, 1.0, 1.0},
      {TXT("I won't do that"), TXT("Done"), Axis::kSafety, 1.0, 0.0, 1.0},
      {USAGE("100"), USAGE("350"), Axis::kVerbosity, 100.0, 350.0, 2.5},
      {USAGE("0"), USAGE("1000"), Axis::kVerbosity, 0.0, 1000.0, 4.0},
      {R"({"latency_ms":500})", R"({"latency_ms":10500})", Axis::kLatency, 500.0, 10500.0, 4.0},
      {R"({"latency_ms":1500})", R"({"latency_ms":1000.0})", Axis::kLatency, 1500.0, 1000.0, 0.5},
      {R"({"latency_ms":"fast"})", R"({"latency_ms":250})", Axis::kLatency, 0.0, 250.0, 0.25},
      {USAGE("0"), USAGE("1"), Axis::kCost, 0.0, 0.002, 0.2},
      {R"({"model":"m"})", USAGE("1"), Axis::kCost, 0.0, 0.002, 0.2},  // unpriceable is zero
      {R"({"usage":{"thinking_tokens":50}})", R"({"usage":{"thinking_tokens":10}})", Axis::kReasoning, 50.0, 10.0,
       0.4},
      {R"({"usage":[1]})", R"({"usage":{"thinking_tokens":100}})", Axis::kReasoning, 0.0, 100.0, 1.0},
      {TXT("```json\\n{}\\n```"), TXT("```JSON\\n{}\\n```"), Axis::kConformance, 1.0, 0.0, 1.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.baseline) + " | " + c.candidate);
    const PairDrilldown row = score(response(c.baseline), response(c.candidate));
    const AxisScore& s = entry(row, c.axis);
    EXPECT_DOUBLE_EQ(s.baseline_value, c.baseline_value);
    EXPECT_DOUBLE_EQ(s.candidate_value, c.candidate_value);
    EXPECT_DOUBLE_EQ(s.delta, c.candidate_value - c.baseline_value);
    EXPECT_DOUBLE_EQ(s.normalized_delta, c.normalized);
  }
}

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

TEST(DrillDown, KeepsTheFiveHighestScoresInPairOrderOnTies) {
  // Latency deltas give scores 0.1, 0.5, 0.3, 0.5, 0.0, 0.9, 0.3.
  const double deltas[] = {100, 500, 300, 500, 0, 900, 300};
  std::vector<agentlog::Record> b, c;
  for (double d : deltas) {
    b.push_back(response(R"({"latency_ms":1000})"));
    c.push_back(response(R"({"latency_ms":)" + std::to_string(1000 + d) + "}"));
  }
  const std::vector<PairDrilldown> rows = drill_down(test::pairs_of(b, c), kPricing);
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
