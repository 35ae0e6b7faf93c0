#include "core/diff/usage.h"

#include <vector>

namespace korvane::diff {
namespace {

using Reader = std::optional<double> (*)(const agentlog::Record&);

AxisStat reported_number_row(Axis axis, Reader read, std::span<const ResponsePair> pairs,
                             std::optional<uint64_t> seed) {
  std::vector<double> baseline, candidate;
  for (const ResponsePair& pair : pairs) {
    std::optional<double> b = read(*pair.baseline);
    std::optional<double> c = read(*pair.candidate);
    if (b && c) {
      baseline.push_back(*b);
      candidate.push_back(*c);
    }
  }
  return build_row(axis, RowKind::kValue, Statistic::kMedian, baseline, candidate, seed);
}

}  // namespace

std::optional<double> reported_output_tokens(const agentlog::Record& response) {
  return usage_number(response, "output_tokens");
}

std::optional<double> reported_latency_ms(const agentlog::Record& response) {
  return number_member(response.payload, "latency_ms");
}

AxisStat verbosity_row(std::span<const ResponsePair> pairs, std::optional<uint64_t> seed) {
  return reported_number_row(Axis::kVerbosity, reported_output_tokens, pairs, seed);
}

AxisStat latency_row(std::span<const ResponsePair> pairs, std::optional<uint64_t> seed) {
  return reported_number_row(Axis::kLatency, reported_latency_ms, pairs, seed);
}

}  // namespace korvane::diff
