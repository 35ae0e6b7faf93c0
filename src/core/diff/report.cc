#include "core/diff/report.h"

#include <algorithm>
#include <cmath>

namespace korvane::diff {
namespace {

constexpr std::array<std::string_view, kAxisCount> kAxisNames = {
    "semantic", "trajectory", "safety",    "verbosity",   "latency",
    "cost",     "reasoning",  "judge",     "conformance",
};

constexpr std::array<std::string_view, kAxisCount> kAxisLabels = {
    "semantic similarity", "tool-call trajectory", "refusal / safety",
    "verbosity",           "latency",              "cost",
    "reasoning depth",     "llm-judge score",      "format conformance",
};

constexpr std::array<std::string_view, 4> kSeverityNames = {"none", "minor", "moderate", "severe"};
constexpr std::array<std::string_view, 3> kFlagNames = {"low_power", "ci_crosses_zero", "no_pricing"};
constexpr std::array<std::string_view, 3> kDriftNames = {"style_drift", "decision_drift",
                                                         "structural_drift"};
constexpr std::array<std::string_view, 3> kRecommendationSeverityNames = {"error", "warning", "info"};
constexpr std::array<std::string_view, 5> kActionNames = {"restore", "remove", "revert", "review",
                                                          "verify"};

template <size_t N, typename E>
std::string_view name_of(const std::array<std::string_view, N>& names, E value) {
  return names[static_cast<size_t>(value)];
}


bool crosses_zero(double low, double high) { return high > kNegligible && low < -kNegligible; }

// The interval rule shared by both builders: a moderate or severe tier whose
// interval crosses zero stands only when the delta is at least as wide as
// the interval (or the interval has no width); otherwise it drops to minor.
Severity confirm_tier(Severity tier, double delta, double low, double high) {
  if (tier < Severity::kModerate || !crosses_zero(low, high)) return tier;
  double width = std::fabs(high - low);
  return std::fabs(delta) >= width || width < kNegligible ? tier : Severity::kMinor;
}

Severity value_severity(double baseline, double delta, double low, double high) {
  if (!std::isfinite(delta) || !std::isfinite(baseline) || !std::isfinite(low) ||
      !std::isfinite(high) || std::fabs(delta) < kNegligible) {
    return Severity::kNone;
  }
  if (crosses_zero(low, high) && std::fabs(delta) < std::max(std::fabs(baseline) * kValueNoiseShare, kNegligible)) {
    return Severity::kNone;
  }
  if (std::fabs(baseline) < kNegligible) return Severity::kMinor;
  double r = std::fabs(delta / baseline);
  Severity tier = r < kValueModerateRatio ? Severity::kMinor : r < kValueSevereRatio ? Severity::kModerate : Severity::kSevere;
  return confirm_tier(tier, delta, low, high);
}

Severity rate_severity(double delta, double low, double high) {
  if (!std::isfinite(delta) || !std::isfinite(low) || !std::isfinite(high) ||
      std::fabs(delta) < kNegligible) {
    return Severity::kNone;
  }
  double d = std::fabs(delta);
  Severity tier = d < kRateModerateDelta ? Severity::kMinor : d < kRateSevereDelta ? Severity::kModerate : Severity::kSevere;
  return confirm_tier(tier, delta, low, high);
}

AxisStat make_row(Axis axis, uint64_t n, double baseline, double candidate, double delta,
                  double low, double high, Severity severity) {
  AxisStat row{axis, baseline, candidate, delta, low, high, severity, n, {}};
  if (n >= 1 && n <= kLowPowerPairs) row.flags.push_back(AxisFlag::kLowPower);
  if (std::isfinite(low) && std::isfinite(high) && crosses_zero(low, high)) {
    row.flags.push_back(AxisFlag::kCiCrossesZero);
  }
  return row;
}

json::JsonValue name_value(std::string_view name) { return json::JsonValue(name); }

json::JsonValue score_to_json(const AxisScore& score) {
  json::JsonObject o;
  o.reserve(5);
  o.append("axis", name_value(axis_name(score.axis)));
  o.append("baseline_value", json::JsonValue(score.baseline_value));
  o.append("candidate_value", json::JsonValue(score.candidate_value));
  o.append("delta", json::JsonValue(score.delta));
  o.append("normalized_delta", json::JsonValue(score.normalized_delta));
  return json::JsonValue(std::move(o));
}

json::JsonValue drilldown_to_json(const PairDrilldown& pair) {
  json::JsonValue::Array scores;
  scores.reserve(pair.axis_scores.size());
  for (const AxisScore& score : pair.axis_scores) scores.push_back(score_to_json(score));
  json::JsonObject o;
  o.reserve(6);
  o.append("pair_index", json::JsonValue(pair.pair_index));
  o.append("baseline_turn", json::JsonValue(pair.baseline_turn));
  o.append("candidate_turn", json::JsonValue(pair.candidate_turn));
  o.append("axis_scores", json::JsonValue(std::move(scores)));
  o.append("regression_score", json::JsonValue(pair.regression_score));
  o.append("dominant_axis", name_value(axis_name(pair.dominant_axis)));
  return json::JsonValue(std::move(o));
}

json::JsonValue recommendation_to_json(const Recommendation& r) {
  json::JsonObject o;
  o.reserve(7);
  o.append("severity", name_value(recommendation_severity_name(r.severity)));
  o.append("action", name_value(recommendation_action_name(r.action)));
  o.append("turn", json::JsonValue(r.turn));
  o.append("message", json::JsonValue(r.message));
  o.append("rationale", json::JsonValue(r.rationale));
  o.append("axis", name_value(axis_name(r.axis)));
  o.append("confidence", json::JsonValue(r.confidence));
  return json::JsonValue(std::move(o));
}

json::JsonValue divergence_to_json(const FirstDivergence& d) {
  json::JsonObject o;
  o.reserve(6);
  o.append("baseline_turn", json::JsonValue(d.baseline_turn));
  o.append("candidate_turn", json::JsonValue(d.candidate_turn));
  o.append("kind", name_value(drift_kind_name(d.kind)));
  o.append("primary_axis", name_value(axis_name(d.primary_axis)));
  o.append("explanation", json::JsonValue(d.explanation));
  o.append("confidence", json::JsonValue(d.confidence));
  return json::JsonValue(std::move(o));
}

template <typename T, typename F>
json::JsonValue array_of(const std::vector<T>& items, F to_json) {
  json::JsonValue::Array out;
  out.reserve(items.size());
  for (const T& item : items) out.push_back(to_json(item));
  return json::JsonValue(std::move(out));
}

}  // namespace

std::string_view axis_name(Axis axis) { return name_of(kAxisNames, axis); }
std::string_view axis_label(Axis axis) { return name_of(kAxisLabels, axis); }
std::string_view severity_name(Severity severity) { return name_of(kSeverityNames, severity); }
std::string_view axis_flag_name(AxisFlag flag) { return name_of(kFlagNames, flag); }
std::string_view drift_kind_name(DriftKind kind) { return name_of(kDriftNames, kind); }
std::string_view recommendation_severity_name(RecommendationSeverity severity) {
  return name_of(kRecommendationSeverityNames, severity);
}
std::string_view recommendation_action_name(RecommendationAction action) {
  return name_of(kActionNames, action);
}

AxisStat AxisStat::new_value(Axis axis, uint64_t n, double baseline, double candidate,
                             double delta, double ci95_low, double ci95_high) {
  return make_row(axis, n, baseline, candidate, delta, ci95_low, ci95_high,
                  value_severity(baseline, delta, ci95_low, ci95_high));
}

AxisStat AxisStat::new_rate(Axis axis, uint64_t n, double baseline, double candidate,
                            double delta, double ci95_low, double ci95_high) {
  return make_row(axis, n, baseline, candidate, delta, ci95_low, ci95_high,
                  rate_severity(delta, ci95_low, ci95_high));
}

AxisStat AxisStat::zero(Axis axis) {
  AxisStat row;
  row.axis = axis;
  return row;
}

bool AxisStat::has_flag(AxisFlag flag) const {
  return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

void AxisStat::add_flag(AxisFlag flag) {
  if (!has_flag(flag)) flags.push_back(flag);
}

json::JsonValue axis_stat_to_json(const AxisStat& row) {
  json::JsonValue::Array flags;
  flags.reserve(row.flags.size());
  for (AxisFlag flag : row.flags) flags.push_back(name_value(axis_flag_name(flag)));
  json::JsonObject o;
  o.reserve(9);
  o.append("axis", name_value(axis_name(row.axis)));
  o.append("baseline_median", json::JsonValue(row.baseline_median));
  o.append("candidate_median", json::JsonValue(row.candidate_median));
  o.append("delta", json::JsonValue(row.delta));
  o.append("ci95_low", json::JsonValue(row.ci95_low));
  o.append("ci95_high", json::JsonValue(row.ci95_high));
  o.append("severity", name_value(severity_name(row.severity)));
  o.append("n", json::JsonValue(row.n));
  o.append("flags", json::JsonValue(std::move(flags)));
  return json::JsonValue(std::move(o));
}

json::JsonValue report_to_json(const DiffReport& report) {
  json::JsonObject o;
  o.reserve(8);
  o.append("rows", array_of(report.rows, axis_stat_to_json));
  o.append("baseline_trace_id", json::JsonValue(report.baseline_trace_id));
  o.append("candidate_trace_id", json::JsonValue(report.candidate_trace_id));
  o.append("pair_count", json::JsonValue(report.pair_count));
  o.append("first_divergence", report.first_divergence ? divergence_to_json(*report.first_divergence)
                                                       : json::JsonValue(nullptr));
  o.append("divergences", array_of(report.divergences, divergence_to_json));
  o.append("recommendations", array_of(report.recommendations, recommendation_to_json));
  o.append("drill_down", array_of(report.drill_down, drilldown_to_json));
  return json::JsonValue(std::move(o));
}

}  // namespace korvane::diff
