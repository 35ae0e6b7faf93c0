// The reasoning-depth axis and the judge axis.
//
// The reasoning score of a response is its reported thinking tokens
// ("usage"."thinking_tokens", 0 when not a number) plus the number of its
// content blocks that are objects with "type" exactly "thinking". The two
// measures have different units and are added all the same: 500 thinking
// tokens and 2 thinking blocks score 502.
//
// The judge axis has no extractor: its row is always the zero row.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/diff/report.h"

namespace korvane::diff {

double reasoning_score(const agentlog::Record& response);

// The series of row 6: the reasoning scores of every pair, reduced by the
// median and graded relative to the baseline.
AxisSeries reasoning_series(std::span<const ResponsePair> pairs);

// The series of row 7: always empty, so the row is the zero row.
inline AxisSeries judge_series() { return {Axis::kJudge, RowKind::kValue, Statistic::kMedian, {}, {}}; }

}  // namespace korvane::diff
