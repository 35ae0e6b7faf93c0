#include "core/diff/alignment.h"

#include <algorithm>
#include <cmath>

#include "core/error.h"

namespace korvane::diff {
namespace {

constexpr double kUnreached = 1e18;
constexpr double kGapOpen = 0.6;
constexpr double kGapExtend = 0.15;
constexpr double kTie = 1e-12;

// The cost of a run of k >= 1 unpaired turns, as the borders hold it.
double gap_run(size_t k) { return kGapOpen + kGapExtend * static_cast<double>(k - 1); }

size_t floor_sqrt(size_t x) {
  auto r = static_cast<size_t>(std::sqrt(static_cast<double>(x)));
  while (r > 0 && r * r > x) --r;
  while ((r + 1) * (r + 1) <= x) ++r;
  return r;
}

enum Move : uint8_t { kMatch, kInsert, kDelete };

// One row of the three cost tables. Cells a row does not compute must read
// as kUnreached; align_costs() keeps them so.
struct Row {
  explicit Row(size_t width) : match(width, kUnreached), insert(width, kUnreached), remove(width, kUnreached) {}
  std::vector<double> match;
  std::vector<double> insert;
  std::vector<double> remove;

  void set(size_t j, double m, double ins, double del) {
    match[j] = m;
    insert[j] = ins;
    remove[j] = del;
  }
};

}  // namespace

size_t band_radius(size_t n, size_t m, const AlignOptions& options) {
  const size_t longer = std::max(n, m);
  if (longer <= options.banding_threshold) return 0;
  return std::max(floor_sqrt(longer), options.min_band_radius) + (n > m ? n - m : m - n);
}

std::vector<Step> align_costs(size_t n, size_t m, const RowCosts& row_costs, const AlignOptions& options) {
  // The full table is the band whose radius covers every cell (borders
  // included), so both modes run the same code.
  const size_t radius = band_radius(n, m, options);
  const size_t w = radius == 0 ? std::max(n, m) : radius;
  const auto band_begin = [&](size_t i) { return i > w ? i - w : size_t{1}; };
  const auto band_end = [&](size_t i) { return std::min(m, i + w); };  // inclusive

  Row prev(m + 1), cur(m + 1);
  prev.match[0] = 0.0;
  for (size_t j = 1; j <= std::min(w, m); ++j) prev.set(j, gap_run(j), gap_run(j), kUnreached);

  // One move per computed cell: row i's cells [band_begin(i), band_end(i)]
  // start at moves[row_start[i]].
  std::vector<uint8_t> moves;
  std::vector<size_t> row_start(n + 1, 0);
  std::vector<double> costs(std::min(m, 2 * w + 1));

  for (size_t i = 1; i <= n; ++i) {
    const size_t lo = band_begin(i);
    const size_t hi = band_end(i);
    if (i <= std::min(w, n)) {
      cur.set(0, gap_run(i), kUnreached, gap_run(i));
    } else {
      cur.set(0, kUnreached, kUnreached, kUnreached);
    }
    // The cell left of the band was computed two rows ago in this buffer.
    if (lo > 1) cur.set(lo - 1, kUnreached, kUnreached, kUnreached);
    row_start[i] = moves.size();
    if (lo <= hi) row_costs(i - 1, lo - 1, hi, costs.data());
    for (size_t j = lo; j <= hi; ++j) {
      const double match =
          costs[j - lo] + std::min({prev.match[j - 1], prev.insert[j - 1], prev.remove[j - 1]});
      const double insert = std::min(cur.match[j - 1] + kGapOpen, cur.insert[j - 1] + kGapExtend);
      const double remove = std::min(prev.match[j] + kGapOpen, prev.remove[j] + kGapExtend);
      cur.set(j, match, insert, remove);
      const double best = std::min({match, insert, remove});
      moves.push_back(std::abs(best - match) < kTie    ? kMatch
                      : std::abs(best - insert) < kTie ? kInsert
                                                       : kDelete);
    }
    std::swap(prev, cur);
  }

  std::vector<Step> steps;
  steps.reserve(n + m);
  size_t i = n, j = m;
  while (i > 0 || j > 0) {
    uint8_t move;
    if (i == 0) {
      move = kInsert;
    } else if (j == 0) {
      move = kDelete;
    } else {
      // Costs are below 1, so next to the band's edges a gap move costs as
      // much as the unreached cell it comes from and the pairing wins the
      // tie: the path never leaves the band.
      if (j < band_begin(i) || j > band_end(i)) throw InternalError("alignment left the band");
      move = moves[row_start[i] + (j - band_begin(i))];
    }
    switch (move) {
      case kMatch:
        --i, --j;
        steps.push_back(Step::match(i, j));
        break;
      case kInsert:
        --j;
        steps.push_back(Step::insert(j));
        break;
      default:
        --i;
        steps.push_back(Step::remove(i));
        break;
    }
  }
  std::reverse(steps.begin(), steps.end());
  return steps;
}

std::vector<Step> align(TurnCosts& costs, const AlignOptions& options) {
  return align_costs(
      costs.baseline_size(), costs.candidate_size(),
      [&](size_t i, size_t j_begin, size_t j_end, double* out) { costs.row(i, j_begin, j_end, out); },
      options);
}

std::vector<Step> align(std::span<const agentlog::Record* const> baseline,
                        std::span<const agentlog::Record* const> candidate, const AlignOptions& options) {
  TurnCosts costs(baseline, candidate);
  return align(costs, options);
}

}  // namespace korvane::diff
