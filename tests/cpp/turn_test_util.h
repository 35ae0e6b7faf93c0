// Turns for the alignment, divergence and drill-down tests: chat_response
// records with text and tool calls, and a seeded generator of varied turns.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "axes_test_util.h"
#include "core/agentlog/record.h"

namespace korvane::diff::test {

// A chat_response with one text block and, for each name, a tool call with
// the input {"q": 1}.
inline agentlog::Record text_turn(std::string_view text, std::initializer_list<std::string_view> tools = {},
                                  std::string_view stop = "end_turn") {
  std::string json = R"({"stop_reason":")" + std::string(stop) + R"(","content":[{"type":"text","text":")" +
                     std::string(text) + "\"}";
  for (std::string_view tool : tools) {
    json += R"(,{"type":"tool_use","name":")" + std::string(tool) + R"(","input":{"q":1}})";
  }
  return response(json + "]}");
}

inline std::vector<const agentlog::Record*> pointers(const std::vector<agentlog::Record>& records) {
  std::vector<const agentlog::Record*> out;
  for (const agentlog::Record& r : records) out.push_back(&r);
  return out;
}

// Varied turns drawn from small vocabularies, so that shapes, inputs, stop
// reasons and shingles are often shared between turns: texts of a few
// words (sometimes empty, sometimes with extra white space), zero to three
// tool calls with inputs from a few values, an optional stop reason.
class TurnGenerator {
 public:
  explicit TurnGenerator(uint64_t seed) : rng_(seed) {}

  agentlog::Record next() { return response(next_payload()); }

  std::string next_payload() {
    static constexpr std::string_view kWords[] = {"the", "flight", "is", "booked", "Sorry", "I",  "can't",
                                                  "help", "café", "NYC", "ok",     "à",     "\u3000", "x"};
    static constexpr std::string_view kTools[] = {"search", "book", "cancel", "_"};
    static constexpr std::string_view kStops[] = {"", "end_turn", "tool_use", "refusal"};
    std::string json = "{";
    const uint64_t stop = pick(5);
    if (stop < 4) json += R"("stop_reason":")" + std::string(kStops[stop]) + "\",";
    json += R"("content":[)";
    bool first = true;
    const auto block = [&](const std::string& b) {
      if (!first) json += ',';
      json += b;
      first = false;
    };
    const uint64_t texts = pick(3);
    for (uint64_t t = 0; t < texts; ++t) {
      std::string text;
      const uint64_t words = pick(7);
      for (uint64_t w = 0; w < words; ++w) {
        text += pick(4) == 0 ? "  " : " ";
        text += kWords[pick(std::size(kWords))];
      }
      block(R"({"type":"text","text":")" + text + "\"}");
    }
    const uint64_t calls = pick(4);
    for (uint64_t c = 0; c < calls; ++c) {
      std::string input;
      switch (pick(5)) {
        case 0: input = ""; break;
        case 1: input = R"(,"input":"raw")"; break;
        case 2: input = R"(,"input":{"q":)" + std::to_string(pick(2)) + "}"; break;
        case 3: input = R"(,"input":{"q":1,"n":)" + std::to_string(pick(2)) + "}"; break;
        default: input = R"(,"input":{"n":1.0,"q":1})"; break;
      }
      const std::string_view name = kTools[pick(std::size(kTools))];
      const std::string name_member = name == "_" ? "" : R"(,"name":")" + std::string(name) + "\"";
      block(R"({"type":"tool_use")" + name_member + input + "}");
    }
    return json + "]}";
  }

  uint64_t pick(uint64_t n) { return rng_() % n; }

 private:
  std::mt19937_64 rng_;
};

}  // namespace korvane::diff::test
