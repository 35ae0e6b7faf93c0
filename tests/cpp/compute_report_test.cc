#include "core/diff/compute_report.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <string>
#include <vector>

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

// The diff's own walks of payload values (numbering tool inputs) fit a
// value nested as deep as conversion allows in a 256 KiB thread stack.
TEST(ComputeReport, DeepToolInputsFitASmallThreadStack) {
  const auto turn = [](std::string id, int z) {
    json::JsonValue deep(1.0);
    for (int level = 0; level < 1000; ++level) {
      json::JsonValue::Array wrapper;
      wrapper.push_back(std::move(deep));
      deep = json::JsonValue(std::move(wrapper));
    }
    json::JsonObject input, block, payload;
    input.append("q", std::move(deep));
    input.append("z", json::JsonValue(static_cast<uint64_t>(z)));
    block.append("type", json::JsonValue("tool_use"));
    block.append("name", json::JsonValue("t"));
    block.append("input", json::JsonValue(std::move(input)));
    json::JsonValue::Array content;
    content.emplace_back(std::move(block));
    payload.append("content", json::JsonValue(std::move(content)));
    Record r = record(Kind::kChatResponse, std::move(id));
    r.payload = json::JsonValue(std::move(payload));
    return r;
  };
  const std::vector<Record> b = {turn("b", 1)}, c = {turn("c", 2)};
  struct Call {
    const std::vector<Record>* b;
    const std::vector<Record>* c;
    std::string explanation;
  } call{&b, &c, ""};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, [](void* arg) -> void* {
              auto* call = static_cast<Call*>(arg);
              call->explanation = compute_report(*call->b, *call->c, {}, 1).first_divergence->explanation;
              return nullptr;
            }, &call), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(call.explanation, "tool arg value changed: `t(z)`: `1` \u2192 `2`");
}

}  // namespace
}  // namespace korvane::diff
