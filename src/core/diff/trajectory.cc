#include "core/diff/trajectory.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace korvane::diff {

std::vector<std::string> tool_shape_seq(const agentlog::Record& record) {
  std::vector<std::string> shapes;
  for_each_tool_use(record, [&](const json::JsonValue& block) { shapes.push_back(tool_shape_of(block)); });
  return shapes;
}

namespace {

// The dynamic programme over (|a| + 1) x (|b| + 1) cells with one row of
// counts: row[j] holds the cell above until it is overwritten. Cheapest for
// the few calls a response usually makes.
size_t edit_distance_by_rows(std::span<const std::string> a, std::span<const std::string> b) {
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

// The same distance by Myers' bit-vector algorithm in Hyyrö's block form:
// 64 cells of a column per machine word, so long sequences cost
// |pattern| / 64 x |text| word operations instead of |pattern| x |text|
// string comparisons. The shapes are first interned to integers.
//
// The pattern is cut into blocks of 64 rows, processed one after the other
// over the whole text; between blocks only the horizontal delta (-1, 0, +1)
// of each column's bottom cell is kept.
size_t edit_distance_by_bits(std::span<const std::string> pattern, std::span<const std::string> text) {
  std::unordered_map<std::string_view, uint32_t> ids;
  std::vector<uint32_t> p(pattern.size());
  std::vector<uint32_t> t(text.size());
  for (size_t i = 0; i < pattern.size(); ++i) p[i] = ids.emplace(pattern[i], ids.size()).first->second;
  // Text elements absent from the pattern match nothing: they share one id.
  const auto other = static_cast<uint32_t>(ids.size());
  for (size_t j = 0; j < text.size(); ++j) {
    const auto it = ids.find(text[j]);
    t[j] = it == ids.end() ? other : it->second;
  }

  std::vector<uint64_t> equal(other + 1, 0);  // per id: the rows of this block holding it
  std::vector<int8_t> carry(text.size(), 1);  // top row: D[0][j] = j
  for (size_t first = 0; first < p.size(); first += 64) {
    const size_t rows = std::min<size_t>(64, p.size() - first);
    for (size_t r = 0; r < rows; ++r) equal[p[first + r]] |= uint64_t{1} << r;
    const uint64_t last = uint64_t{1} << (rows - 1);
    uint64_t pv = ~uint64_t{0};  // left column: D[i][0] = i
    uint64_t mv = 0;
    for (size_t j = 0; j < t.size(); ++j) {
      uint64_t eq = equal[t[j]];
      const int h_in = carry[j];
      const uint64_t xv = eq | mv;
      if (h_in < 0) eq |= 1;
      const uint64_t xh = (((eq & pv) + pv) ^ pv) | eq;
      uint64_t ph = mv | ~(xh | pv);
      uint64_t mh = pv & xh;
      carry[j] = (ph & last) != 0 ? 1 : (mh & last) != 0 ? -1 : 0;
      ph <<= 1;
      mh <<= 1;
      if (h_in < 0) {
        mh |= 1;
      } else if (h_in > 0) {
        ph |= 1;
      }
      pv = mh | ~(xv | ph);
      mv = ph & xv;
    }
    for (size_t r = 0; r < rows; ++r) equal[p[first + r]] = 0;
  }
  // D[m][n] = D[m][0] + the horizontal deltas along the bottom row.
  int64_t distance = static_cast<int64_t>(p.size());
  for (int8_t delta : carry) distance += delta;
  return static_cast<size_t>(distance);
}

}  // namespace

size_t shape_edit_distance(std::span<const std::string> a, std::span<const std::string> b) {
  // A common prefix or suffix never changes the distance; most pairs share
  // most of their calls, so this leaves little or nothing to compare.
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
  if (a.size() * b.size() <= 256) return edit_distance_by_rows(a, b);
  // The distance is symmetric: the shorter sequence is the pattern.
  return a.size() <= b.size() ? edit_distance_by_bits(a, b) : edit_distance_by_bits(b, a);
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

AxisSeries trajectory_series(std::span<const ResponsePair> pairs) {
  std::vector<double> candidate = trajectory_distances(pairs);
  std::vector<double> baseline(candidate.size(), 0.0);
  return {Axis::kTrajectory, RowKind::kRate, Statistic::kMedian, std::move(baseline), std::move(candidate)};
}

}  // namespace korvane::diff
