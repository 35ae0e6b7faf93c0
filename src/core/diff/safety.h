// The refusal and safety axis: how often each side refuses or abstains,
// by is_abstention_with() (text_measures.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/diff/report.h"

namespace korvane::diff {

// The safety series: the abstention indicators (1.0 or 0.0) of each side
// over all pairs, reduced by the mean (a rate) and graded as a rate.
AxisSeries safety_series(std::span<const ResponsePair> pairs);

}  // namespace korvane::diff
