// Turns for the alignment, divergence and drill-down tests: chat_response
// records with text and tool calls, and a seeded generator of varied turns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "axes_test_util.h"
#include "core/agentlog/record.h"
#include "core/diff/report.h"

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

// Every field of a divergence on one line, so that a mismatch shows whole.
inline std::string describe(const FirstDivergence& d) {
  char confidence[32];
  std::snprintf(confidence, sizeof confidence, "%.17g", d.confidence);
  return std::to_string(d.baseline_turn) + "/" + std::to_string(d.candidate_turn) + " " +
         std::string(drift_kind_name(d.kind)) + " " + std::string(axis_name(d.primary_axis)) + " " + confidence +
         " " + d.explanation;
}

// Varied turns drawn from small vocabularies, so that shapes, inputs, stop
// reasons and shingles are often shared between turns: texts of a few
// words (sometimes empty, sometimes with extra white space), zero to three
// tool calls with inputs from a few values, an optional stop reason.
class TurnGenerator {
 public:
  explicit TurnGenerator(uint64_t seed) : rng_(seed) {}

  std::vector<agentlog::Record> turns(size_t count) {
    std::vector<agentlog::Record> out;
    for (size_t k = 0; k < count; ++k) out.push_back(next());
    return out;
  }

  agentlog::Record next() {
    static constexpr std::string_view kWords[] = {"the", "flight", "is", "booked", "Sorry", "I",  "can't",
                                                  "help", "café", "NYC", "ok",     "à",     "\u3000", "x"};
    static constexpr std::string_view kTools[] = {"search", "book", "cancel", "_"};
    static constexpr std::string_view kStops[] = {"", "end_turn", "tool_use", "refusal"};
    // Inputs 2 and 3 end in a number 0 or 1 and a closing brace.
    static constexpr std::string_view kInputs[] = {"", R"(,"input":"raw")", R"(,"input":{"q":)",
                                                   R"(,"input":{"q":1,"n":)", R"(,"input":{"n":1.0,"q":1})"};
    std::string json = "{";
    if (const uint64_t stop = pick(5); stop < 4) json += R"("stop_reason":")" + std::string(kStops[stop]) + "\",";
    json += R"("content":[)";
    std::string_view separator;
    for (uint64_t t = pick(3); t > 0; --t) {
      json += std::string(separator) + R"({"type":"text","text":")";
      for (uint64_t w = pick(7); w > 0; --w) {
        json += pick(4) == 0 ? "  " : " ";
        json += kWords[pick(std::size(kWords))];
      }
      json += "\"}";
      separator = ",";
    }
    for (uint64_t c = pick(4); c > 0; --c) {
      const uint64_t form = pick(5);
      std::string input(kInputs[form]);
      if (form == 2 || form == 3) input += std::to_string(pick(2)) + "}";
      const std::string_view name = kTools[pick(std::size(kTools))];
      json += std::string(separator) + R"({"type":"tool_use")" +
              (name == "_" ? "" : R"(,"name":")" + std::string(name) + "\"") + input + "}";
      separator = ",";
    }
    return response(json + "]}");
  }

  uint64_t pick(uint64_t n) { return rng_() % n; }

 private:
  std::mt19937_64 rng_;
};

}  // namespace korvane::diff::test
