// The diff report: the value one diff produces, and its serialized form.
//
// Every record is a plain value that owns its texts and sequences and refers
// to no input record. Fields are declared in serialized order: report_to_json
// writes each record as an object whose keys are its field names, in that
// order. Enumerations serialize as their names (the *_name functions).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/value.h"

namespace korvane::diff {

// The nine behavioural axes; the code is the axis's row in DiffReport::rows.
enum class Axis : uint8_t {
  kSemantic,
  kTrajectory,
  kSafety,
  kVerbosity,
  kLatency,
  kCost,
  kReasoning,
  kJudge,
  kConformance,
};

inline constexpr size_t kAxisCount = 9;

inline constexpr std::array<Axis, kAxisCount> kAllAxes = {
    Axis::kSemantic,  Axis::kTrajectory, Axis::kSafety, Axis::kVerbosity,   Axis::kLatency,
    Axis::kCost,      Axis::kReasoning,  Axis::kJudge,  Axis::kConformance,
};

// The serialized name ("semantic", ...) and the wording used inside
// recommendation texts ("semantic similarity", ...).
std::string_view axis_name(Axis axis);
std::string_view axis_label(Axis axis);

// Severity of a row, weakest first. The name is also the word used in
// recommendation texts.
enum class Severity : uint8_t { kNone, kMinor, kModerate, kSevere };

std::string_view severity_name(Severity severity);

// Qualifiers of a row: low_power (1 to 4 pairs), ci_crosses_zero (the
// interval holds both signs), no_pricing (the cost row rests on fewer than
// half of the pairs being priced).
enum class AxisFlag : uint8_t { kLowPower, kCiCrossesZero, kNoPricing };

std::string_view axis_flag_name(AxisFlag flag);

// The kind of a divergence; the code is its rank when divergences are sorted.
enum class DriftKind : uint8_t { kStyleDrift, kDecisionDrift, kStructuralDrift };

std::string_view drift_kind_name(DriftKind kind);
inline int drift_kind_rank(DriftKind kind) { return static_cast<int>(kind); }

enum class RecommendationSeverity : uint8_t { kError, kWarning, kInfo };

std::string_view recommendation_severity_name(RecommendationSeverity severity);

enum class RecommendationAction : uint8_t { kRestore, kRemove, kRevert, kReview, kVerify };

std::string_view recommendation_action_name(RecommendationAction action);

// Deltas and interval bounds below this magnitude count as zero.
inline constexpr double kNegligible = 1e-9;
// A value row whose interval crosses zero is none while |delta| is below
// this share of |baseline|.
inline constexpr double kValueNoiseShare = 0.05;
// A value row is moderate from this |delta / baseline| on, severe from the
// next; below, minor.
inline constexpr double kValueModerateRatio = 0.1;
inline constexpr double kValueSevereRatio = 0.3;
// A rate row is moderate from this |delta| on, severe from the next; below,
// minor.
inline constexpr double kRateModerateDelta = 0.05;
inline constexpr double kRateSevereDelta = 0.15;
// A row resting on 1 to this many pairs is flagged low_power.
inline constexpr uint64_t kLowPowerPairs = 4;

// One row of the report: the statistic of each side (a median, or a mean for
// the safety and conformance axes), their delta, the 95% bootstrap interval
// of the delta, a severity, the number of pairs and the flags.
//
// new_value() and new_rate() store their arguments unchanged (they never
// recompute delta) and derive severity and the flags low_power and
// ci_crosses_zero from them: new_value() grades |delta| relative to the
// baseline, new_rate() grades |delta| on the absolute scale of a rate.
// zero() is the row of an axis without data: all numbers 0.0, n 0, severity
// none, no flags.
struct AxisStat {
  Axis axis = Axis::kSemantic;
  double baseline_median = 0.0;
  double candidate_median = 0.0;
  double delta = 0.0;
  double ci95_low = 0.0;
  double ci95_high = 0.0;
  Severity severity = Severity::kNone;
  uint64_t n = 0;
  std::vector<AxisFlag> flags;  // in the order added, each at most once

  static AxisStat new_value(Axis axis, uint64_t n, double baseline, double candidate, double delta,
                            double ci95_low, double ci95_high);
  static AxisStat new_rate(Axis axis, uint64_t n, double baseline, double candidate, double delta,
                           double ci95_low, double ci95_high);
  static AxisStat zero(Axis axis);

  [[nodiscard]] bool has_flag(AxisFlag flag) const;
  // Appends flag unless the row already carries it.
  void add_flag(AxisFlag flag);
};

// One axis's contribution to one pair of the drill-down; normalized_delta is
// on the common scale 0.0 to 4.0.
struct AxisScore {
  Axis axis = Axis::kSemantic;
  double baseline_value = 0.0;
  double candidate_value = 0.0;
  double delta = 0.0;
  double normalized_delta = 0.0;
};

// One response pair of the drill-down. baseline_turn and candidate_turn
// equal pair_index; axis_scores holds the eight axes other than judge, in
// axis order.
struct PairDrilldown {
  uint64_t pair_index = 0;
  uint64_t baseline_turn = 0;
  uint64_t candidate_turn = 0;
  std::vector<AxisScore> axis_scores;
  double regression_score = 0.0;
  Axis dominant_axis = Axis::kSemantic;
};

struct Recommendation {
  RecommendationSeverity severity = RecommendationSeverity::kInfo;
  RecommendationAction action = RecommendationAction::kReview;
  uint64_t turn = 0;  // the baseline turn; 0 for the aggregate recommendation
  std::string message;
  std::string rationale;
  Axis axis = Axis::kSemantic;
  double confidence = 0.0;  // 0 to 1
};

// One classified divergence between a baseline turn and a candidate turn;
// used both for the first divergence and for the ranked list.
struct FirstDivergence {
  uint64_t baseline_turn = 0;
  uint64_t candidate_turn = 0;
  DriftKind kind = DriftKind::kStyleDrift;
  Axis primary_axis = Axis::kSemantic;
  std::string explanation;
  double confidence = 0.0;  // 0 to 1
};

struct DiffReport {
  std::vector<AxisStat> rows;  // exactly nine, row i for axis code i
  std::string baseline_trace_id;
  std::string candidate_trace_id;
  uint64_t pair_count = 0;
  std::optional<FirstDivergence> first_divergence;
  std::vector<FirstDivergence> divergences;        // at most 5, ranked
  std::vector<Recommendation> recommendations;     // at most 8, ranked
  std::vector<PairDrilldown> drill_down;           // at most 5, ranked
};

// The serialized form of a report: an object with the members "rows",
// "baseline_trace_id", "candidate_trace_id", "pair_count",
// "first_divergence" (null when absent), "divergences", "recommendations" and
// "drill_down". Enumerations become their names, unsigned fields integers,
// finite doubles doubles (0.0 stays a double) and non-finite doubles null.
json::JsonValue report_to_json(const DiffReport& report);

// The serialized form of one row, as it appears inside "rows".
json::JsonValue axis_stat_to_json(const AxisStat& row);

}  // namespace korvane::diff
