// Times compute_report alone, in C++, on every pair of a corpus directory
// (its pairs.json names the baseline and candidate trace of each pair): the
// C++ share of compute_diff_report, without the conversion of Python records.
//
// usage: korvane_bench_corpus_diff corpus_dir [repeats] [seed] [only_pair]
//
// Prints one JSON object: per pair, the median over the repeats in CPU time
// of the thread, in seconds, and the number of responses on each side. With
// only_pair (an index into pairs.json) that pair alone runs, repeats times,
// for profiling.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/agentlog/parser.h"
#include "core/diff/compute_report.h"
#include "core/json/reader.h"

namespace {

using korvane::agentlog::Record;
namespace diff = korvane::diff;

std::vector<Record> read_trace(const std::string& path) {
  return korvane::agentlog::Parser(korvane::bench::read_file(path.c_str())).collect_all();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s corpus_dir [repeats] [seed] [only_pair]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 21;
  const std::optional<uint64_t> seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : uint64_t{1};
  const long only = argc > 4 ? std::atol(argv[4]) : -1;

  const korvane::json::JsonValue index =
      korvane::json::parse_json(korvane::bench::read_file((dir + "/pairs.json").c_str()));
  const auto& pairs = *index.find("pairs")->if_array();
  const diff::PricingTable no_pricing;
  std::printf("{\"pairs\": [");
  for (size_t k = 0; k < pairs.size(); ++k) {
    if (only >= 0 && static_cast<size_t>(only) != k) continue;
    const std::string b(*pairs[k].find("baseline")->if_string());
    const std::string c(*pairs[k].find("candidate")->if_string());
    const std::vector<Record> baseline = read_trace(dir + "/" + b);
    const std::vector<Record> candidate = read_trace(dir + "/" + c);
    uint64_t sink = 0;
    const double seconds = korvane::bench::median_seconds(
        repeats, [&] { sink += diff::compute_report(baseline, candidate, no_pricing, seed).pair_count; });
    std::printf("%s{\"baseline\": \"%s\", \"candidate\": \"%s\", \"responses\": [%zu, %zu], \"seconds\": %.9f}",
                only >= 0 || k == 0 ? "" : ", ", b.c_str(), c.c_str(), diff::chat_responses(baseline).size(),
                diff::chat_responses(candidate).size(), sink == 0 ? -1.0 : seconds);
  }
  std::printf("]}\n");
  return 0;
}
