// The verbosity and latency axes: one number reported by each response.
//
// Verbosity reads "usage"."output_tokens", latency the top-level
// "latency_ms" of a chat_response payload; any JSON number counts (converted
// to the nearest double, no range check), anything else is not reported.
// Only pairs reporting the number on both sides enter the row, which compares
// medians with a severity relative to the baseline median.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/diff/report.h"

namespace korvane::diff {

std::optional<double> reported_output_tokens(const agentlog::Record& response);
std::optional<double> reported_latency_ms(const agentlog::Record& response);

// The series of rows 3 and 4: the pairs where both sides report the number,
// reduced by the median and graded relative to the baseline.
AxisSeries verbosity_series(std::span<const ResponsePair> pairs);
AxisSeries latency_series(std::span<const ResponsePair> pairs);

}  // namespace korvane::diff
