// The tool-call trajectory axis: how far the candidate's sequence of tool
// calls moves from the baseline's, response pair by response pair.
//
// A response is reduced to the shapes of its tool calls in content order. A
// shape is the tool's name, "(", its argument names sorted by their bytes and
// joined by ",", ")": a call of search with arguments q and limit has the
// shape "search(limit,q)". A call without a string name is named "_"; one
// without an object input has no arguments; argument values are never read.
// The drill-down reuses tool_shape_seq() and trajectory_distance().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/diff/report.h"

namespace korvane::diff {

// The shapes of the tool_use blocks of record's "content" array, in order,
// duplicates kept. Entries that are not objects with "type" exactly
// "tool_use" are skipped; a payload without a "content" array has none.
std::vector<std::string> tool_shape_seq(const agentlog::Record& record);

// The edit distance between two shape sequences: the fewest single-element
// insertions, deletions and substitutions turning a into b, elements being
// equal when their bytes are. Symmetric; 0 only for equal sequences.
size_t shape_edit_distance(std::span<const std::string> a, std::span<const std::string> b);

// shape_edit_distance(a, b) divided by the longer length: a value in [0, 1],
// 0.0 for two empty sequences.
double trajectory_distance(std::span<const std::string> a, std::span<const std::string> b);

// The per-pair distances of the axis, in pair order.
std::vector<double> trajectory_distances(std::span<const ResponsePair> pairs);

// The trajectory series: the distances against a baseline series of zeros,
// reduced by the median and graded as a rate.
AxisSeries trajectory_series(std::span<const ResponsePair> pairs);

}  // namespace korvane::diff
