// Times alignment, divergences, drill-down and recommendations on two
// generated traces: responses of about 500 characters of Zipf-distributed
// made-up words and zero to three tool calls each. The candidate is the
// baseline with edits: most turns kept or lightly reworded, some rewritten,
// some dropped, some inserted, a few with other tool calls or stop reasons.
//
// usage: alignment_bench [responses] [repeats] [seed] [stage] [candidate_responses]
//
// With a stage name, only that stage runs (for profiling; "all" runs every
// stage). With candidate_responses the candidate keeps only its first turns,
// for sides of very unequal length. Prints the median over the repeats of
// each stage and of the whole report, the resident memory once the traces
// are built and the peak resident memory of the process.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/alignment.h"
#include "core/diff/compute_report.h"
#include "core/diff/divergence.h"
#include "core/diff/drill_down.h"
#include "core/diff/recommendations.h"
#include "core/diff/turn_costs.h"

namespace {

using korvane::agentlog::Record;
using korvane::json::JsonObject;
using korvane::json::JsonValue;
namespace diff = korvane::diff;

class Generator {
 public:
  explicit Generator(uint64_t seed) : rng_(seed) {
    // A vocabulary of random lower-case words, drawn with Zipf weights: a
    // few very common short words, a long tail of rarer ones.
    std::vector<double> weights;
    for (int k = 0; k < 20000; ++k) {
      std::string word;
      const uint64_t length = 1 + (k < 50 ? rng_() % 4 : 2 + rng_() % 8);
      for (uint64_t c = 0; c < length; ++c) word += static_cast<char>('a' + rng_() % 26);
      words_.push_back(word);
      weights.push_back(1.0 / (k + 1));
    }
    pick_word_ = std::discrete_distribution<size_t>(weights.begin(), weights.end());
  }

  std::string prose(size_t chars) {
    std::string text;
    while (text.size() < chars) {
      text += words_[pick_word_(rng_)];
      const uint64_t r = rng_() % 60;
      text += r == 0 ? ". " : r == 1 ? ", " : r == 2 ? " caf\u00e9 " : " ";
    }
    return text;
  }

  // Replaces about one word in ten.
  std::string reword(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(' ', start);
      if (end == std::string::npos) end = text.size();
      out += rng_() % 10 == 0 ? words_[pick_word_(rng_)] : text.substr(start, end - start);
      if (end < text.size()) out += ' ';
      start = end + 1;
    }
    return out;
  }

  JsonValue tool_call() {
    static const char* kTools[] = {"search_flights", "get_reservation", "cancel", "update_passengers", "book"};
    static const char* kArgs[] = {"origin", "destination", "date", "reservation_id", "cabin", "passengers"};
    JsonObject input;
    const uint64_t args = 1 + rng_() % 3;
    for (uint64_t k = 0; k < args; ++k) {
      input.insert_or_assign(kArgs[rng_() % 6], JsonValue(static_cast<uint64_t>(rng_() % 4)));
    }
    JsonObject block;
    block.append("type", JsonValue("tool_use"));
    block.append("name", JsonValue(kTools[rng_() % 5]));
    block.append("input", JsonValue(std::move(input)));
    return JsonValue(std::move(block));
  }

  Record response(std::string text, JsonValue::Array calls, const char* stop) {
    JsonValue::Array content;
    JsonObject block;
    block.append("type", JsonValue("text"));
    block.append("text", JsonValue(std::move(text)));
    content.emplace_back(std::move(block));
    for (JsonValue& call : calls) content.push_back(std::move(call));
    JsonObject usage;
    usage.append("input_tokens", JsonValue(uint64_t{1000 + rng_() % 500}));
    usage.append("output_tokens", JsonValue(uint64_t{100 + rng_() % 200}));
    JsonObject payload;
    payload.append("model", JsonValue("m"));
    payload.append("content", JsonValue(std::move(content)));
    payload.append("stop_reason", JsonValue(stop));
    payload.append("usage", JsonValue(std::move(usage)));
    payload.append("latency_ms", JsonValue(uint64_t{500 + rng_() % 3000}));
    Record record;
    record.id = "r" + std::to_string(serial_++);
    record.kind = korvane::agentlog::Kind::kChatResponse;
    record.payload = JsonValue(std::move(payload));
    return record;
  }

  struct Turn {
    std::string text;
    JsonValue::Array calls;
    const char* stop;
  };

  Turn fresh_turn() {
    Turn t{prose(500), {}, "end_turn"};
    const uint64_t calls = rng_() % 4;
    for (uint64_t k = 0; k < calls; ++k) t.calls.push_back(tool_call());
    if (calls > 0) t.stop = "tool_use";
    return t;
  }

  void traces(size_t n, std::vector<Record>& baseline, std::vector<Record>& candidate) {
    for (size_t i = 0; i < n; ++i) {
      Turn t = fresh_turn();
      const uint64_t fate = rng_() % 100;
      if (fate < 3) {  // dropped by the candidate
      } else if (fate < 6) {  // the candidate inserts a turn first
        Turn extra = fresh_turn();
        candidate.push_back(response(extra.text, extra.calls, extra.stop));
        candidate.push_back(response(t.text, t.calls, t.stop));
      } else if (fate < 40) {  // kept
        candidate.push_back(response(t.text, t.calls, t.stop));
      } else if (fate < 80) {  // reworded
        candidate.push_back(response(reword(t.text), t.calls, t.stop));
      } else if (fate < 90) {  // rewritten
        candidate.push_back(response(prose(500), t.calls, t.stop));
      } else {  // other tools or stop reason
        Turn other = fresh_turn();
        candidate.push_back(response(reword(t.text), other.calls, other.stop));
      }
      baseline.push_back(response(std::move(t.text), std::move(t.calls), t.stop));
    }
  }

 private:
  std::mt19937_64 rng_;
  std::vector<std::string> words_;
  std::discrete_distribution<size_t> pick_word_;
  uint64_t serial_ = 0;
};

// A line of /proc/self/status ("VmRSS:", "VmHWM:") in megabytes.
double resident_mb(const char* key) {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0.0;
  char line[256];
  double kb = 0.0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, key, std::strlen(key)) == 0) kb = std::atof(line + std::strlen(key));
  }
  std::fclose(status);
  return kb / 1024.0;
}

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Timing {
  double wall;
  double cpu;
};

// Medians of wall-clock and CPU time; on a shared machine the CPU time is
// the steadier figure.
Timing median_seconds(int repeats, const std::function<void()>& work) {
  std::vector<double> wall, cpu;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_seconds();
    work();
    cpu.push_back(cpu_seconds() - cpu_start);
    wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  const uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  const std::string only = argc > 4 && std::string(argv[4]) != "all" ? argv[4] : "";
  const size_t candidate_cut = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : SIZE_MAX;

  Generator gen(seed);
  std::vector<Record> baseline, candidate;
  gen.traces(n, baseline, candidate);
  if (candidate.size() > candidate_cut) candidate.resize(candidate_cut);
  const double records_mb = resident_mb("VmRSS:");
  const std::vector<const Record*> b = diff::chat_responses(baseline);
  const std::vector<const Record*> c = diff::chat_responses(candidate);
  const std::vector<diff::ResponsePair> pairs = diff::pair_by_position(b, c);
  const diff::PricingTable pricing = {{"m", diff::ModelPricing{3e-6, 15e-6}}};

  size_t sink = 0;
  const auto stage = [&](const char* name, const std::function<void()>& work) {
    if (!only.empty() && only != name) return;
    const Timing t = median_seconds(repeats, work);
    std::printf("%-22s %9.2f ms wall %9.2f ms cpu\n", name, 1e3 * t.wall, 1e3 * t.cpu);
  };
  std::vector<diff::Step> steps;
  stage("features + index", [&] { sink += diff::TurnCosts(b, c).baseline_size(); });
  stage("align (with features)", [&] {
    diff::TurnCosts costs(b, c);
    steps = diff::align(costs);
  });
  stage("walk", [&] { sink += diff::walk_collecting(steps, b, c, b.size() + c.size()).size(); });
  diff::Divergences divergences;
  stage("find_divergences", [&] { divergences = diff::find_divergences(b, c); });
  stage("drill_down", [&] { sink += diff::drill_down(pairs, pricing).size(); });
  diff::DiffReport report;
  stage("compute_report", [&] { report = diff::compute_report(baseline, candidate, pricing, uint64_t{7}); });
  stage("recommendations",
        [&] { sink += diff::recommendations(report.rows, divergences.ranked).size(); });

  size_t computed = 0;
  const size_t w = diff::band_radius(b.size(), c.size());
  for (size_t i = 1; i <= b.size(); ++i) {
    computed += w == 0 ? c.size() : std::min(c.size(), i + w) - (i > w ? i - w : 1) + 1;
  }
  std::printf("%zu x %zu turns, band radius %zu, %zu pair costs, %zu steps, %zu divergences\n", b.size(),
              c.size(), w, computed, steps.size(), divergences.ranked.size());
  std::printf("RSS with the traces built %.1f MB, peak RSS %.1f MB; median of %d runs; checksum %zu\n", records_mb,
              resident_mb("VmHWM:"), repeats, sink);
  return 0;
}
