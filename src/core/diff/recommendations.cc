#include "core/diff/recommendations.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/unicode/case.h"

namespace korvane::diff {
namespace {


bool contains(std::string_view text, std::string_view phrase) { return text.find(phrase) != std::string_view::npos; }

struct Rule {
  RecommendationSeverity severity;
  RecommendationAction action;
  std::string message;
};

Rule rule_for(const FirstDivergence& d, std::string_view lower) {
  using S = RecommendationSeverity;
  using A = RecommendationAction;
  const std::string turn = std::to_string(d.baseline_turn);
  const auto name = [&](std::string_view fallback) {
    return std::string(extract_backticked(d.explanation).value_or(fallback));
  };
  switch (d.kind) {
    case DriftKind::kStyleDrift:
      return {S::kInfo, A::kVerify, "Cosmetic wording change at turn " + turn + " \u2014 verify intended."};
    case DriftKind::kDecisionDrift:
      if (d.primary_axis == Axis::kSemantic) {
        return {S::kWarning, A::kReview, "Review response text at turn " + turn + ": semantic content shifted."};
      }
      if (d.primary_axis == Axis::kTrajectory && contains(lower, "arg value")) {
        return {S::kWarning, A::kRevert, "Revert " + name("arg value") + " at turn " + turn + " to the baseline value."};
      }
      if (d.primary_axis == Axis::kSafety && contains(lower, "stop_reason")) {
        return {contains(lower, "content_filter") ? S::kError : S::kWarning, A::kReview,
                "Review refusal behaviour at turn " + turn + ": candidate may be over-refusing."};
      }
      return {S::kWarning, A::kReview, "Review decision change at turn " + turn + "."};
    case DriftKind::kStructuralDrift:
      break;
  }
  if (contains(lower, "dropped tool") || contains(lower, "dropped a response turn") ||
      contains(lower, "dropped a turn")) {
    return {S::kError, A::kRestore, "Restore " + name("missing element") + " at turn " + turn + "."};
  }
  if (contains(lower, "added tool") || contains(lower, "inserted an extra")) {
    return {S::kError, A::kReview, "Review unexpected addition at turn " + turn + ": " + name("extra element") + "."};
  }
  if (contains(lower, "duplicate tool")) {
    return {S::kError, A::kRemove,
            "Remove duplicate invocation of " + name("the duplicated tool") + " at turn " + turn + "."};
  }
  if (contains(lower, "tool set changed") || contains(lower, "tool ordering differs")) {
    return {S::kError, A::kReview, "Review tool-schema change at turn " + turn + ": call shape diverged."};
  }
  return {S::kError, A::kReview, "Review structural change at turn " + turn + "."};
}

}  // namespace

std::optional<std::string_view> extract_backticked(std::string_view text) {
  const size_t open = text.find('`');
  if (open == std::string_view::npos) return std::nullopt;
  const size_t close = text.find('`', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return text.substr(open + 1, close - open - 1);
}

std::string signed_three_decimals(double x) {
  if (std::isnan(x)) return "+nan";
  if (std::isinf(x)) return x > 0 ? "+inf" : "-inf";
  char buffer[400];  // the longest fixed form of a double is about 312 characters
  buffer[0] = '+';
  const auto result = std::to_chars(buffer + 1, buffer + sizeof buffer, x, std::chars_format::fixed, 3);
  // to_chars writes the minus sign itself, also for -0.0.
  const char* begin = buffer[1] == '-' ? buffer + 1 : buffer;
  return std::string(begin, static_cast<const char*>(result.ptr));
}

Recommendation recommend(const FirstDivergence& d) {
  const std::string lower = unicode::to_lower(d.explanation);
  Rule rule = rule_for(d, lower);
  return Recommendation{rule.severity, rule.action, d.baseline_turn, std::move(rule.message),
                        d.explanation,  d.primary_axis, d.confidence};
}

std::vector<Recommendation> recommendations(std::span<const AxisStat> rows,
                                            std::span<const FirstDivergence> divergences) {
  std::vector<Recommendation> out;
  out.reserve(divergences.size() + 1);
  for (const FirstDivergence& d : divergences) out.push_back(recommend(d));

  const auto severe = std::find_if(rows.rbegin(), rows.rend(),
                                   [](const AxisStat& row) { return row.severity == Severity::kSevere; });
  const bool has_error = std::any_of(out.begin(), out.end(), [](const Recommendation& r) {
    return r.severity == RecommendationSeverity::kError;
  });
  if (severe != rows.rend() && !has_error) {
    const std::string label(axis_label(severe->axis));
    const std::string word(severity_name(severe->severity));
    out.push_back(Recommendation{
        RecommendationSeverity::kError, RecommendationAction::kReview, 0,
        "Review the candidate: " + label + " axis shifted with severity " + word + ".",
        "Aggregate signal crosses the `severe` threshold (" + label + ": delta " +
            signed_three_decimals(severe->delta) + ", CI [" + signed_three_decimals(severe->ci95_low) + ", " +
            signed_three_decimals(severe->ci95_high) + "]).",
        severe->axis, kAggregateConfidence});
  }

  std::stable_sort(out.begin(), out.end(), [](const Recommendation& a, const Recommendation& b) {
    if (a.severity != b.severity) return a.severity < b.severity;  // error, warning, info
    if (a.confidence != b.confidence) return a.confidence > b.confidence;
    return a.turn < b.turn;
  });
  if (out.size() > kRecommendationListLength) out.resize(kRecommendationListLength);
  return out;
}

}  // namespace korvane::diff
