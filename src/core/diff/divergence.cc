#include "core/diff/divergence.h"

#include <algorithm>
#include <charconv>

namespace korvane::diff {
namespace {

// "%.2f" without the C locale's say: the exact double rounded to two
// decimals, ties to even.
std::string two_decimals(double x) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, 2);
  return std::string(buffer, result.ptr);
}

// Elements of a missing from b; both sorted and duplicate-free.
std::vector<std::string> set_minus(std::span<const std::string> a, std::span<const std::string> b) {
  std::vector<std::string> out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

// "a turn with 2 tool calls", "an extra response turn with no tool calls".
std::string describe_turn(size_t shapes, bool extra) {
  const std::string_view article = extra ? "an extra " : "a ";
  if (shapes == 0) return std::string(article) + "response turn with no tool calls";
  if (shapes == 1) return std::string(article) + "turn with 1 tool call";
  return std::string(article) + "turn with " + std::to_string(shapes) + " tool calls";
}

FirstDivergence divergence(uint64_t i, uint64_t j, DriftKind kind, Axis axis, std::string explanation,
                           double confidence) {
  return FirstDivergence{i, j, kind, axis, std::move(explanation), confidence};
}

}  // namespace

std::string list(std::span<const std::string> items) {
  std::string out;
  for (size_t k = 0; k < items.size(); ++k) {
    if (k > 0) out += ", ";
    out += '`';
    out += items[k];
    out += '`';
  }
  return out;
}

std::optional<FirstDivergence> classify_pair(uint64_t i, uint64_t j, const PairMeasures& m) {
  if (m.cost <= kDivergenceThreshold) return std::nullopt;
  const double confidence = std::clamp((m.cost - kDivergenceThreshold) / kConfidenceScale, 0.0, 1.0);
  const auto structural = [&](std::string text) {
    return divergence(i, j, DriftKind::kStructuralDrift, Axis::kTrajectory, std::move(text), confidence);
  };
  const auto decision = [&](Axis axis, std::string text) {
    return divergence(i, j, DriftKind::kDecisionDrift, axis, std::move(text), confidence);
  };

  const auto& sb = m.baseline_shapes;
  const auto& sc = m.candidate_shapes;
  if (!std::equal(sb.begin(), sb.end(), sc.begin(), sc.end())) {
    const std::vector<std::string> removed = set_minus(sb, sc);
    const std::vector<std::string> added = set_minus(sc, sb);
    if (removed.empty()) return structural("candidate added tool call(s): " + list(added));
    if (added.empty()) return structural("candidate dropped tool call(s): " + list(removed));
    return structural("tool set changed: removed " + list(removed) + ", added " + list(added));
  }
  if (m.baseline_calls != m.candidate_calls) {
    // Equal shape sets with different counts: neither side is empty.
    const std::string subject =
        sb.size() == 1 ? list(sb) : std::to_string(sb.size()) + " tool(s)";
    const std::string counts = std::to_string(m.candidate_calls) + " time(s) vs baseline's " +
                               std::to_string(m.baseline_calls);
    if (m.candidate_calls > m.baseline_calls) {
      return structural("candidate called " + subject + " " + counts + " \u2014 duplicate tool invocation");
    }
    return structural("candidate called " + subject + " " + counts +
                      " \u2014 dropped one or more repeat invocations");
  }
  if (m.baseline_stop != m.candidate_stop) {
    return decision(Axis::kSafety, "stop_reason changed: `" + std::string(m.baseline_stop) + "` \u2192 `" +
                                       std::string(m.candidate_stop) + "`");
  }
  if (m.arg_diff) return decision(Axis::kTrajectory, "tool arg value changed: " + *m.arg_diff);
  if (m.cost > kTextDivergenceCost || m.text_similarity < kTextSimilarityFloor) {
    return decision(Axis::kSemantic, "response text diverged (text similarity " +
                                         two_decimals(m.text_similarity) + "); same tool sequence");
  }
  return divergence(i, j, DriftKind::kStyleDrift, Axis::kSemantic,
                    "cosmetic wording change \u2014 tool sequence and semantics preserved", confidence);
}

std::vector<FirstDivergence> walk_collecting(std::span<const Step> steps, TurnCosts& costs,
                                             size_t max_count) {
  std::vector<FirstDivergence> found;
  if (max_count == 0) return found;
  uint64_t baseline_cursor = 0;
  uint64_t candidate_cursor = 0;
  for (const Step& step : steps) {
    switch (step.kind) {
      case Step::Kind::kDelete: {
        const size_t shapes = costs.baseline(step.baseline).shapes.size();
        found.push_back(divergence(step.baseline, candidate_cursor, DriftKind::kStructuralDrift,
                                   Axis::kTrajectory,
                                   "candidate dropped " + describe_turn(shapes, false) + " (baseline turn #" +
                                       std::to_string(step.baseline) + " has no counterpart)",
                                   1.0));
        ++baseline_cursor;
        break;
      }
      case Step::Kind::kInsert: {
        const size_t shapes = costs.candidate(step.candidate).shapes.size();
        const uint64_t before = baseline_cursor == 0 ? 0 : baseline_cursor - 1;
        found.push_back(divergence(baseline_cursor, step.candidate, DriftKind::kStructuralDrift,
                                   Axis::kTrajectory,
                                   "candidate inserted " + describe_turn(shapes, true) + " between baseline turns #" +
                                       std::to_string(before) + " and #" + std::to_string(baseline_cursor),
                                   1.0));
        ++candidate_cursor;
        break;
      }
      case Step::Kind::kMatch: {
        const TurnFeatures& b = costs.baseline(step.baseline);
        const TurnFeatures& c = costs.candidate(step.candidate);
        baseline_cursor = step.baseline + 1;
        candidate_cursor = step.candidate + 1;
        const double similarity = costs.text_similarity(step.baseline, step.candidate);
        const double cost = combine_cost(b, c, similarity);
        if (cost <= kDivergenceThreshold) break;
        PairMeasures m;
        m.baseline_shapes = b.shapes;
        m.candidate_shapes = c.shapes;
        m.baseline_calls = b.call_count;
        m.candidate_calls = c.call_count;
        m.baseline_stop = b.stop_reason;
        m.candidate_stop = c.stop_reason;
        m.arg_diff = arg_value_diff(b, c);
        m.text_similarity = similarity;
        m.cost = cost;
        found.push_back(*classify_pair(step.baseline, step.candidate, m));
        break;
      }
    }
    if (found.size() >= max_count) break;
  }
  return found;
}

std::vector<FirstDivergence> walk_collecting(std::span<const Step> steps,
                                             std::span<const agentlog::Record* const> baseline,
                                             std::span<const agentlog::Record* const> candidate,
                                             size_t max_count) {
  TurnCosts costs(baseline, candidate);
  return walk_collecting(steps, costs, max_count);
}

void rank_divergences(std::vector<FirstDivergence>& divergences) {
  std::stable_sort(divergences.begin(), divergences.end(),
                   [](const FirstDivergence& a, const FirstDivergence& b) {
                     if (a.kind != b.kind) return drift_kind_rank(a.kind) > drift_kind_rank(b.kind);
                     return a.confidence > b.confidence;
                   });
  if (divergences.size() > kDivergenceListLength) divergences.resize(kDivergenceListLength);
}

Divergences find_divergences(std::span<const agentlog::Record* const> baseline,
                             std::span<const agentlog::Record* const> candidate, const AlignOptions& options) {
  Divergences result;
  if (baseline.empty() || candidate.empty()) return result;
  TurnCosts costs(baseline, candidate);
  const std::vector<Step> steps = align(costs, options);
  // One walk without a limit: its first entry is what a walk limited to one
  // divergence would find.
  std::vector<FirstDivergence> all = walk_collecting(steps, costs, baseline.size() + candidate.size());
  if (!all.empty()) result.first = all.front();
  rank_divergences(all);
  result.ranked = std::move(all);
  return result;
}

}  // namespace korvane::diff
