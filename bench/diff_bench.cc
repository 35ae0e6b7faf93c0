// Times the stages of a diff of two trace files: each of the nine axis rows,
// the alignment with its divergences, the drill-down and the whole report.
// bench/run.py generates the traces and folds these figures into its table.
//
// usage: korvane_bench_diff baseline.agentlog candidate.agentlog [repeats] [seed]
//
// Every model of the traces is priced. Prints one JSON object: the number of
// response pairs and, per stage, the median over the repeats in CPU time of
// the thread, in seconds.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench_util.h"
#include "core/agentlog/parser.h"
#include "core/diff/compute_report.h"
#include "core/diff/conformance.h"
#include "core/diff/cost.h"
#include "core/diff/divergence.h"
#include "core/diff/drill_down.h"
#include "core/diff/reasoning.h"
#include "core/diff/safety.h"
#include "core/diff/semantic.h"
#include "core/diff/trajectory.h"
#include "core/diff/usage.h"

namespace {

using korvane::agentlog::Record;
namespace diff = korvane::diff;

std::vector<Record> read_trace(const char* path) {
  return korvane::agentlog::Parser(korvane::bench::read_file(path)).collect_all();  // records own their data
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s baseline.agentlog candidate.agentlog [repeats] [seed]\n", argv[0]);
    return 2;
  }
  const std::vector<Record> baseline = read_trace(argv[1]);
  const std::vector<Record> candidate = read_trace(argv[2]);
  const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  const std::optional<uint64_t> seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : uint64_t{7};

  const std::vector<const Record*> b = diff::chat_responses(baseline);
  const std::vector<const Record*> c = diff::chat_responses(candidate);
  const std::vector<diff::ResponsePair> pairs = diff::pair_by_position(b, c);
  diff::PricingTable pricing;
  for (const Record* r : b) {
    const auto* model = r->payload.find("model");
    if (model != nullptr && model->if_string() != nullptr) {
      pricing.emplace(*model->if_string(), diff::ModelPricing{3e-6, 1.5e-5, 3e-7});
    }
  }
  for (const Record* r : c) {
    const auto* model = r->payload.find("model");
    if (model != nullptr && model->if_string() != nullptr) {
      pricing.emplace(*model->if_string(), diff::ModelPricing{2.5e-6, 1e-5, 1.25e-6});
    }
  }

  double sink = 0.0;
  std::vector<std::pair<const char*, double>> stages;
  const auto stage = [&](const char* name, const std::function<void()>& work) {
    stages.emplace_back(name, korvane::bench::median_seconds(repeats, work));
  };
  stage("semantic", [&] { sink += diff::build_row(diff::semantic_series(pairs), seed).delta; });
  stage("trajectory", [&] { sink += diff::build_row(diff::trajectory_series(pairs), seed).delta; });
  stage("safety", [&] { sink += diff::build_row(diff::safety_series(pairs), seed).delta; });
  stage("verbosity", [&] { sink += diff::build_row(diff::verbosity_series(pairs), seed).delta; });
  stage("latency", [&] { sink += diff::build_row(diff::latency_series(pairs), seed).delta; });
  stage("cost", [&] { sink += diff::build_row(diff::cost_series(pairs, pricing), seed).delta; });
  stage("reasoning", [&] { sink += diff::build_row(diff::reasoning_series(pairs), seed).delta; });
  stage("conformance", [&] { sink += diff::build_row(diff::conformance_series(pairs), seed).delta; });
  stage("divergences", [&] { sink += static_cast<double>(diff::find_divergences(b, c).ranked.size()); });
  stage("drill_down", [&] { sink += static_cast<double>(diff::drill_down(pairs, pricing).size()); });
  stage("compute_report",
        [&] { sink += static_cast<double>(diff::compute_report(baseline, candidate, pricing, seed).pair_count); });

  std::printf("{\"pairs\": %zu, \"baseline_responses\": %zu, \"candidate_responses\": %zu", pairs.size(), b.size(),
              c.size());
  for (const auto& [name, seconds] : stages) std::printf(", \"%s\": %.6f", name, seconds);
  std::printf(", \"sink\": %g}\n", sink == 12345.678 ? 1.0 : 0.0);
  return 0;
}
