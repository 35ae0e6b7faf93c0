// The format conformance axis.
//
// The axis asks whether the candidate keeps the output format the baseline
// established, pair by pair. Where the baseline's text (without a markdown
// code fence) starts with "{" or "[", each side conforms when its text is one
// complete JSON text (JSON mode). Otherwise, where the baseline calls a tool,
// the baseline conforms and the candidate conforms when its first tool call
// has exactly the same argument names (tool mode). Other pairs take no part.
//
// The text is response_text() without its code fence,
// strip_markdown_fences() (text_measures.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/diff/text_measures.h"
#include "core/diff/report.h"

namespace korvane::diff {

// The argument names of record's first tool-use block (an object with
// "type" "tool_use" and an object "input"), in ascending byte order without
// repeats; an empty set for an empty input. Nothing when the payload has no
// "content" array or no such block: blocks with another input are passed
// over.
std::optional<std::vector<std::string>> first_tool_use_keys(const agentlog::Record& record);

// The two values of one pair, 1.0 for a conforming side and 0.0 otherwise;
// nothing when the pair takes no part.
struct ConformancePair {
  double baseline;
  double candidate;
};
std::optional<ConformancePair> conformance_of(const agentlog::Record& baseline,
                                              const agentlog::Record& candidate);

// The conformance series: the values of the pairs that take part, reduced
// by the mean (the share of conforming responses) and graded as a rate.
AxisSeries conformance_series(std::span<const ResponsePair> pairs);

}  // namespace korvane::diff
