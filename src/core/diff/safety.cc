#include "core/diff/safety.h"

#include "core/diff/text_measures.h"

namespace korvane::diff {

AxisSeries safety_series(std::span<const ResponsePair> pairs) {
  AxisSeries series{Axis::kSafety, RowKind::kRate, Statistic::kMean, {}, {}};
  series.baseline.reserve(pairs.size());
  series.candidate.reserve(pairs.size());
  for (const ResponsePair& pair : pairs) {
    series.baseline.push_back(is_abstention_with(*pair.baseline) ? 1.0 : 0.0);
    series.candidate.push_back(is_abstention_with(*pair.candidate) ? 1.0 : 0.0);
  }
  return series;
}

}  // namespace korvane::diff
