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

// Row 6, over every pair. Throws InternalError only when OS entropy is
// needed and refused.
AxisStat reasoning_row(std::span<const ResponsePair> pairs, std::optional<uint64_t> seed);

// Row 7.
inline AxisStat judge_row() { return AxisStat::zero(Axis::kJudge); }

}  // namespace korvane::diff
