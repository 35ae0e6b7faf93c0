#include "core/diff/usage.h"

#include <vector>

namespace korvane::diff {
namespace {

using Reader = std::optional<double> (*)(const agentlog::Record&);

AxisSeries reported_number_series(Axis axis, Reader read, std::span<const ResponsePair> pairs) {
  AxisSeries series{axis, RowKind::kValue, Statistic::kMedian, {}, {}};
  for (const ResponsePair& pair : pairs) {
    std::optional<double> b = read(*pair.baseline);
    std::optional<double> c = read(*pair.candidate);
    if (b && c) {
      series.baseline.push_back(*b);
      series.candidate.push_back(*c);
    }
  }
  return series;
}

}  // namespace

std::optional<double> reported_output_tokens(const agentlog::Record& response) {
  return usage_number(response, "output_tokens");
}

std::optional<double> reported_latency_ms(const agentlog::Record& response) {
  return number_member(response.payload, "latency_ms");
}

AxisSeries verbosity_series(std::span<const ResponsePair> pairs) {
  return reported_number_series(Axis::kVerbosity, reported_output_tokens, pairs);
}

AxisSeries latency_series(std::span<const ResponsePair> pairs) {
  return reported_number_series(Axis::kLatency, reported_latency_ms, pairs);
}

}  // namespace korvane::diff
