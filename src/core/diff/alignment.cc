#include "core/diff/alignment.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/error.h"

namespace korvane::diff {
namespace {

// The cost of a run of k >= 1 unpaired turns, as the borders hold it.
double gap_run(size_t k) { return kGapOpenCost + kGapExtendCost * static_cast<double>(k - 1); }

size_t floor_sqrt(size_t x) {
  auto r = static_cast<size_t>(std::sqrt(static_cast<double>(x)));
  while (r > 0 && r * r > x) --r;
  while ((r + 1) * (r + 1) <= x) ++r;
  return r;
}

enum Move : uint8_t { kMatch, kInsert, kDelete };

// The three cost tables of one row, at full width; cells the row does not
// compute read as kUnreachedCost.
struct Row {
  explicit Row(size_t width) : match(width, kUnreachedCost), insert(width, kUnreachedCost), remove(width, kUnreachedCost) {}
  std::vector<double> match;
  std::vector<double> insert;
  std::vector<double> remove;

  void set(size_t j, double m, double ins, double del) {
    match[j] = m;
    insert[j] = ins;
    remove[j] = del;
  }
  void clear() {
    std::fill(match.begin(), match.end(), kUnreachedCost);
    std::fill(insert.begin(), insert.end(), kUnreachedCost);
    std::fill(remove.begin(), remove.end(), kUnreachedCost);
  }
};

// The rows of the tables in order, from row 0 or from a checkpointed row.
//
// Two row buffers alternate. Invariant: before row i is computed, prev holds
// row i - 1 at every column row i reads ([band_begin(i) - 1, end of row i]),
// and cur holds no computed value right of the columns row i computes that
// row i + 1 could read: a buffer's cells are written two rows apart, and a
// row's band ends at most one column right of the row before. The cell left
// of the band, written two rows ago, is reset explicitly.
class Rows {
 public:
  Rows(size_t n, size_t m, size_t w, const RowCosts& row_costs)
      : n_(n), m_(m), w_(w), row_costs_(row_costs), prev_(m + 1), cur_(m + 1), costs_(std::min(m, 2 * w + 1)) {}

  [[nodiscard]] size_t band_begin(size_t i) const { return i > w_ ? i - w_ : 1; }
  [[nodiscard]] size_t band_end(size_t i) const { return std::min(m_, i + w_); }  // inclusive

  // Row 0: the candidate border within the radius.
  void start() {
    prev_.clear();
    cur_.clear();
    prev_.match[0] = 0.0;
    for (size_t j = 1; j <= std::min(w_, m_); ++j) prev_.set(j, gap_run(j), gap_run(j), kUnreachedCost);
  }

  // The cells of row i that row i + 1 reads, to restart from with restart().
  struct Checkpoint {
    size_t first = 0;  // column of match[0]
    std::vector<double> match, insert, remove;
  };
  [[nodiscard]] Checkpoint checkpoint(size_t i) const {
    Checkpoint c;
    if (i == n_) return c;
    c.first = band_begin(i + 1) - 1;
    const size_t last = band_end(i + 1);
    const auto slice = [&](const std::vector<double>& v) {
      return std::vector<double>(v.begin() + static_cast<std::ptrdiff_t>(c.first),
                                 v.begin() + static_cast<std::ptrdiff_t>(last + 1));
    };
    c.match = slice(prev_.match);
    c.insert = slice(prev_.insert);
    c.remove = slice(prev_.remove);
    return c;
  }
  void restart(const Checkpoint& c) {
    prev_.clear();
    cur_.clear();
    std::copy(c.match.begin(), c.match.end(), prev_.match.begin() + static_cast<std::ptrdiff_t>(c.first));
    std::copy(c.insert.begin(), c.insert.end(), prev_.insert.begin() + static_cast<std::ptrdiff_t>(c.first));
    std::copy(c.remove.begin(), c.remove.end(), prev_.remove.begin() + static_cast<std::ptrdiff_t>(c.first));
  }

  // Computes row i up to column min(band_end(i), last) and appends the move
  // of each computed cell to moves when it is given. A cell depends only on
  // cells at or left of its own column, so a row cut at column last holds
  // the same values up to it.
  void compute(size_t i, size_t last, std::vector<uint8_t>* moves) {
    const size_t lo = band_begin(i);
    const size_t hi = std::min(band_end(i), last);
    if (i <= std::min(w_, n_)) {
      cur_.set(0, gap_run(i), kUnreachedCost, gap_run(i));
    } else {
      cur_.set(0, kUnreachedCost, kUnreachedCost, kUnreachedCost);
    }
    if (lo > 1) cur_.set(lo - 1, kUnreachedCost, kUnreachedCost, kUnreachedCost);
    if (lo <= hi) row_costs_(i - 1, lo - 1, hi, costs_.data());
    for (size_t j = lo; j <= hi; ++j) {
      const double match =
          costs_[j - lo] + std::min({prev_.match[j - 1], prev_.insert[j - 1], prev_.remove[j - 1]});
      const double insert = std::min(cur_.match[j - 1] + kGapOpenCost, cur_.insert[j - 1] + kGapExtendCost);
      const double remove = std::min(prev_.match[j] + kGapOpenCost, prev_.remove[j] + kGapExtendCost);
      cur_.set(j, match, insert, remove);
      if (moves == nullptr) continue;
      const double best = std::min({match, insert, remove});
      moves->push_back(std::abs(best - match) < kTieTolerance    ? kMatch
                       : std::abs(best - insert) < kTieTolerance ? kInsert
                                                                 : kDelete);
    }
    std::swap(prev_, cur_);
  }

 private:
  size_t n_, m_, w_;
  const RowCosts& row_costs_;
  Row prev_, cur_;
  std::vector<double> costs_;  // the pair costs of the row being computed
};

// The moves of rows (first, last] up to a column, as Rows::compute() left
// them: row i's cells from band_begin(i) start at moves[row_start[i - first - 1]].
struct Stretch {
  size_t first = 0;
  std::vector<uint8_t> moves;
  std::vector<size_t> row_start;
};

}  // namespace

size_t band_radius(size_t n, size_t m, const AlignOptions& options) {
  const size_t longer = std::max(n, m);
  if (longer <= options.banding_threshold) return 0;
  return std::max(floor_sqrt(longer), options.min_band_radius) + (n > m ? n - m : m - n);
}

size_t stretch_rows(size_t n, size_t row_cells, const AlignOptions& options) {
  if (n == 0) return 1;
  // Checkpoints cost about kCheckpointBytesPerCell bytes per cell of a
  // row, moves one byte per cell: sqrt(kCheckpointBytesPerCell n) rows per
  // stretch balance the two.
  const size_t balanced = floor_sqrt(kCheckpointBytesPerCell * n) + 1;
  const size_t in_budget = options.traceback_budget_bytes / std::max<size_t>(row_cells, 1);
  return std::clamp<size_t>(std::max(balanced, in_budget), 1, n);
}

std::vector<Step> align_costs(size_t n, size_t m, const RowCosts& row_costs, const AlignOptions& options) {
  // The full table is the band whose radius covers every cell (borders
  // included), so both modes run the same code.
  const size_t radius = band_radius(n, m, options);
  const size_t w = radius == 0 ? std::max(n, m) : radius;
  Rows rows(n, m, w, row_costs);

  // Forward: every row once, keeping a checkpoint every `stride` rows and
  // the moves of the last stretch, where the traceback starts.
  const size_t stride = options.stretch_rows != 0 ? options.stretch_rows : stretch_rows(n, std::min(m, 2 * w + 1), options);
  std::vector<Rows::Checkpoint> checkpoints;  // checkpoints[k]: after row k x stride
  Stretch stretch;
  stretch.first = n == 0 ? 0 : (n - 1) / stride * stride;
  rows.start();
  for (size_t i = 1; i <= n; ++i) {
    if ((i - 1) % stride == 0) checkpoints.push_back(rows.checkpoint(i - 1));
    const bool last_stretch = i > stretch.first;
    if (last_stretch) stretch.row_start.push_back(stretch.moves.size());
    rows.compute(i, m, last_stretch ? &stretch.moves : nullptr);
  }

  // Back from (n, m), one stretch at a time: a stretch is recomputed from
  // its checkpoint, up to the column where the path enters it.
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
      if (i <= stretch.first) {
        stretch.first -= stride;
        stretch.moves.clear();
        stretch.row_start.clear();
        rows.restart(checkpoints[stretch.first / stride]);
        for (size_t r = stretch.first + 1; r <= i; ++r) {
          stretch.row_start.push_back(stretch.moves.size());
          rows.compute(r, j, &stretch.moves);
        }
      }
      // Costs are below 1, so next to the band's edges a gap move costs as
      // much as the unreached cell it comes from and the pairing wins the
      // tie: the path never leaves the band.
      if (j < rows.band_begin(i) || j > rows.band_end(i)) throw InternalError("alignment left the band");
      move = stretch.moves[stretch.row_start[i - stretch.first - 1] + (j - rows.band_begin(i))];
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
