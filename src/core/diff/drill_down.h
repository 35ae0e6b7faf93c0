// The drill-down: which response pairs moved most.
//
// Every response pair is scored on eight axes (all but judge) with measures
// of its own, simpler than the axis rows': a character-shingle overlap of
// the texts, the tool-shape edit distance, a short refusal phrase list,
// token and latency differences, the cost under the pricing table, thinking
// tokens and a JSON test of the text. Each delta is put on a common scale,
// capped at 4; their sum is the pair's regression score. The five pairs with
// the highest scores are kept.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/diff/cost.h"
#include "core/diff/pair_cost.h"
#include "core/diff/report.h"

namespace korvane::diff {

// The texts of a chat_response's text blocks in content order, separated by
// line feeds; empty texts add nothing (no line feed either). The empty text
// for a record of another kind or without a "content" array. Unlike
// response_text(), which joins with spaces and keeps empty texts.
std::string drill_down_text(const agentlog::Record& record);

// True when "stop_reason" is "refusal" or "content_filter", or when the
// lower-cased drill_down_text() contains "i can't help", "i cannot help",
// "i'm unable", "i am unable", "i won't" or "i will not" (ASCII apostrophes).
bool is_refusal(const agentlog::Record& record);

// True when text, trimmed, is one complete JSON text, after removing an
// opening fence of three backquotes (with the tag json, exactly in lower
// case, when present) and every closing fence at its end.
bool parses_as_json(std::string_view text);

// The scores of one response pair; pair_index is the pair's position.
PairDrilldown score_pair(uint64_t pair_index, const ResponsePair& pair, const PricingTable& pricing);

// The five pairs with the highest regression scores (ties in pair order),
// highest first.
std::vector<PairDrilldown> drill_down(std::span<const ResponsePair> pairs, const PricingTable& pricing);

}  // namespace korvane::diff
