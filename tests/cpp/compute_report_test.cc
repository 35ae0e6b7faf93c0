#include "core/diff/compute_report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/agentlog/parser.h"
#include "core/json/reader.h"
#include "core/json/writer.h"

namespace korvane::diff {
namespace {

using agentlog::Kind;
using agentlog::Record;

Record record(Kind kind, std::string id, std::string_view payload = "{}") {
  Record r;
  r.kind = kind;
  r.id = std::move(id);
  r.payload = json::parse_json(payload);
  return r;
}

Record response(std::string id, int latency_ms, int thinking_tokens = 0) {
  return record(Kind::kChatResponse, std::move(id),
                R"({"model":"m","latency_ms":)" + std::to_string(latency_ms) +
                    R"(,"usage":{"input_tokens":10,"output_tokens":5,"thinking_tokens":)" +
                    std::to_string(thinking_tokens) + "}}");
}

std::string text_of(const DiffReport& report) { return json::to_json_text(report_to_json(report)); }
std::string text_of(const AxisStat& row) { return json::to_json_text(axis_stat_to_json(row)); }

TEST(ComputeReport, PairsResponsesByPositionAndSkipsOtherKinds) {
  std::vector<Record> b = {record(Kind::kMetadata, "meta-1"), record(Kind::kChatRequest, "q"), response("b0", 100),
                           record(Kind::kToolCall, "t"),      record(Kind::kToolResult, "u"),  response("b1", 200),
                           response("b2", 300)};
  std::vector<Record> c = {response("c0", 150), response("c1", 250), response("c2", 350), response("c3", 9000),
                           response("c4", 9000)};
  std::vector<const Record*> turns = chat_responses(b);
  ASSERT_EQ(turns.size(), 3u);
  EXPECT_EQ(turns[1]->id, "b1");

  const DiffReport report = compute_report(b, c, {}, 4);
  // Trace ids come from the first record of any kind.
  EXPECT_EQ(report.baseline_trace_id, "meta-1");
  EXPECT_EQ(report.candidate_trace_id, "c0");
  // The candidate's fourth and fifth responses take no part in the rows.
  EXPECT_EQ(report.pair_count, 3u);
  ASSERT_EQ(report.rows.size(), kAxisCount);
  for (size_t i = 0; i < kAxisCount; ++i) EXPECT_EQ(report.rows[i].axis, kAllAxes[i]);
  const AxisStat& latency = report.rows[static_cast<size_t>(Axis::kLatency)];
  EXPECT_EQ(latency.n, 3u);
  EXPECT_EQ(latency.baseline_median, 200.0);
  EXPECT_EQ(latency.candidate_median, 250.0);
  EXPECT_EQ(report.rows[static_cast<size_t>(Axis::kReasoning)].n, 3u);
}

TEST(ComputeReport, WithoutResponsesEveryRowIsZero) {
  const std::vector<Record> b = {record(Kind::kMetadata, "m")}, c = {response("c0", 100), response("c1", 100)};
  const DiffReport report = compute_report(b, c, {}, std::nullopt);
  EXPECT_EQ(report.pair_count, 0u);
  EXPECT_FALSE(report.first_divergence.has_value());
  EXPECT_TRUE(report.divergences.empty());
  EXPECT_TRUE(report.drill_down.empty());
  for (size_t i = 0; i < kAxisCount; ++i) EXPECT_EQ(text_of(report.rows[i]), text_of(AxisStat::zero(kAllAxes[i])));
  EXPECT_EQ(compute_report({}, c, {}, 1).baseline_trace_id, "");
}

TEST(ComputeReport, WithoutASeedOnlyTheIntervalsMayMove) {
  std::vector<Record> b, c;
  for (int i = 0; i < 12; ++i) {
    b.push_back(response("b" + std::to_string(i), 100 + 37 * i % 200, i % 3 == 0 ? 50 : 0));
    c.push_back(response("c" + std::to_string(i), 130 + 53 * i % 300, i % 4 == 0 ? 80 : 0));
  }
  const PricingTable pricing = {{"m", ModelPricing{1e-6, 5e-6}}};
  const DiffReport first = compute_report(b, c, pricing, std::nullopt);
  const DiffReport second = compute_report(b, c, pricing, std::nullopt);
  for (size_t i = 0; i < kAxisCount; ++i) {
    EXPECT_EQ(first.rows[i].baseline_median, second.rows[i].baseline_median);
    EXPECT_EQ(first.rows[i].delta, second.rows[i].delta);
    EXPECT_EQ(first.rows[i].n, second.rows[i].n);
  }
}

// Every paired trace of the corpus: a complete report whose rows rest on
// the pairs, reproducible under a seed.
TEST(ComputeReport, CorpusPairs) {
  const std::string dir = std::string(KORVANE_TEST_DATA) + "/corpus/";
  const auto read = [&](const std::string& name) {
    std::ifstream in(dir + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  const json::JsonValue list = json::parse_json(read("pairs.json"));
  const json::JsonValue::Array* pairs = list.find("pairs")->if_array();
  ASSERT_NE(pairs, nullptr);
  ASSERT_GT(pairs->size(), 10u);
  for (const json::JsonValue& pair : *pairs) {
    const std::vector<Record> b = agentlog::Parser(read(std::string(*pair.find("baseline")->if_string()))).collect_all();
    const std::vector<Record> c = agentlog::Parser(read(std::string(*pair.find("candidate")->if_string()))).collect_all();
    const DiffReport report = compute_report(b, c, {}, 7);
    const size_t n = std::min(chat_responses(b).size(), chat_responses(c).size());
    EXPECT_EQ(report.pair_count, n);
    EXPECT_EQ(report.rows[static_cast<size_t>(Axis::kReasoning)].n, n);
    EXPECT_LE(report.rows[static_cast<size_t>(Axis::kVerbosity)].n, n);
    EXPECT_EQ(report.baseline_trace_id, b.front().id);
    EXPECT_EQ(text_of(report), text_of(compute_report(b, c, {}, 7)));
  }
}

}  // namespace
}  // namespace korvane::diff
