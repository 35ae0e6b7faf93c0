// Recommendations: the report's findings as short instructions.
//
// One recommendation comes from each entry of the ranked divergence list,
// chosen by its kind, its axis and key phrases of its explanation (tested on
// the lower-cased explanation); the name it mentions is the explanation's
// first backquoted text. One aggregate recommendation is added when a row
// is severe and no recommendation so far is an error. The list is ranked by
// severity (error first), confidence (higher first) and turn (smaller
// first), stably, and cut to 8.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/diff/report.h"

namespace korvane::diff {

// The number of recommendations the report lists.
inline constexpr size_t kRecommendationListLength = 8;
// The confidence of the aggregate recommendation of a severe row.
inline constexpr double kAggregateConfidence = 0.8;

// The text between the first backquote of text and the next one (possibly
// empty), or nothing when text holds fewer than two backquotes.
std::optional<std::string_view> extract_backticked(std::string_view text);

// x rounded to three decimals, ties to even on the exact value of the
// double, with an explicit sign: "+0.250", "-0.012", "+0.000". The sign is
// the double's own, so a negative value that rounds to zero, and -0.0,
// give "-0.000"; non-finite values give "+inf", "-inf" and "+nan". This is
// Python's format(x, "+.3f"), independent of the C locale.
std::string signed_three_decimals(double x);

// The recommendation for one divergence.
Recommendation recommend(const FirstDivergence& divergence);

// The recommendations for the rows (in axis order) and the report's ranked
// divergence list.
std::vector<Recommendation> recommendations(std::span<const AxisStat> rows,
                                            std::span<const FirstDivergence> divergences);

}  // namespace korvane::diff
