#include "core/diff/trajectory.h"

#include <algorithm>
#include <string_view>

namespace korvane::diff {

std::vector<std::string> tool_shape_seq(const agentlog::Record& record) {
  std::vector<std::string> shapes;
  const json::JsonValue::Array* content = content_blocks(record);
  if (content == nullptr) return shapes;
  std::vector<std::string_view> names;
  for (const json::JsonValue& block : *content) {
    const std::string* type = string_member(block, "type");
    if (type == nullptr || *type != "tool_use") continue;
    const std::string* name = string_member(block, "name");
    std::string shape = name != nullptr ? *name : std::string("_");
    shape += '(';
    names.clear();
    if (const json::JsonObject* input = object_member(block, "input")) {
      for (const json::JsonObject::Member& m : *input) names.push_back(m.key);
      // string_view orders by unsigned bytes, as the shapes require.
      std::stable_sort(names.begin(), names.end());
    }
    for (size_t k = 0; k < names.size(); ++k) {
      if (k != 0) shape += ',';
      shape += names[k];
    }
    shape += ')';
    shapes.push_back(std::move(shape));
  }
  return shapes;
}

size_t shape_edit_distance(std::span<const std::string> a, std::span<const std::string> b) {
  // A common prefix or suffix never changes the distance; most pairs share
  // most of their calls, so this leaves little or nothing for the table.
  while (!a.empty() && !b.empty() && a.front() == b.front()) {
    a = a.subspan(1);
    b = b.subspan(1);
  }
  while (!a.empty() && !b.empty() && a.back() == b.back()) {
    a = a.first(a.size() - 1);
    b = b.first(b.size() - 1);
  }
  if (a.empty()) return b.size();
  if (b.empty()) return a.size();

  // The dynamic programme over (|a| + 1) x (|b| + 1) cells, one row of
  // counts: row[j] holds the cell above until it is overwritten.
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const size_t substitution = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      row[j] = std::min({above + 1, row[j - 1] + 1, substitution});
      diagonal = above;
    }
  }
  return row[b.size()];
}

double trajectory_distance(std::span<const std::string> a, std::span<const std::string> b) {
  const size_t longer = std::max(a.size(), b.size());
  if (longer == 0) return 0.0;
  return static_cast<double>(shape_edit_distance(a, b)) / static_cast<double>(longer);
}

std::vector<double> trajectory_distances(std::span<const ResponsePair> pairs) {
  std::vector<double> distances;
  distances.reserve(pairs.size());
  for (const ResponsePair& pair : pairs) {
    distances.push_back(trajectory_distance(tool_shape_seq(*pair.baseline), tool_shape_seq(*pair.candidate)));
  }
  return distances;
}

AxisStat trajectory_row(std::span<const ResponsePair> pairs, std::optional<uint64_t> seed) {
  const std::vector<double> candidate = trajectory_distances(pairs);
  const std::vector<double> baseline(candidate.size(), 0.0);
  return build_row(Axis::kTrajectory, RowKind::kRate, Statistic::kMedian, baseline, candidate, seed);
}

}  // namespace korvane::diff
