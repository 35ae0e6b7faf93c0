// The format conformance axis, and the response text other axes read.
//
// The axis asks whether the candidate keeps the output format the baseline
// established, pair by pair. Where the baseline's text (without a markdown
// code fence) starts with "{" or "[", each side conforms when its text is one
// complete JSON text (JSON mode). Otherwise, where the baseline calls a tool,
// the baseline conforms and the candidate conforms when its first tool call
// has exactly the same argument names (tool mode). Other pairs take no part.
//
// A text block is a content entry that is an object whose "type" is "text"
// and whose "text" is a string; type names compare exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/diff/report.h"

namespace korvane::diff {

// The texts of record's text blocks in content order, joined by single
// spaces; empty texts take part in the join. The empty text when the
// payload has no "content" array or no text block. The kind is not looked
// at. The semantic, safety and alignment measures read responses this way.
std::string response_text(const agentlog::Record& record);

// text without leading and trailing Unicode White_Space. text must be valid
// UTF-8; the result is a slice of it.
std::string_view trim_white_space(std::string_view text);

// The body of a markdown code fence, or the trimmed text when it does not
// start with one: a slice of text (valid UTF-8), never new characters.
//
// After trimming, a text starting with three backquotes loses its opening
// line (the fence and any language tag) when it holds a line feed;
// otherwise just the backquotes and the run of ASCII letters and digits
// right after them. Then one closing fence at the end, if any, goes, and the
// rest is trimmed again.
std::string_view strip_markdown_fences(std::string_view text);

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
