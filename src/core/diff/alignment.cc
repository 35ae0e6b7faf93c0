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

// Moves two bits each, in the order they were added.
class PackedMoves {
 public:
  [[nodiscard]] size_t size() const { return size_; }
  void clear() {
    words_.clear();
    size_ = 0;
  }
  void push_back(uint8_t move) {
    if (size_ % 32 == 0) words_.push_back(0);
    words_.back() |= uint64_t{move} << (2 * (size_ % 32));
    ++size_;
  }
  [[nodiscard]] uint8_t operator[](size_t k) const { return (words_[k / 32] >> (2 * (k % 32))) & 3; }

 private:
  std::vector<uint64_t> words_;
  size_t size_ = 0;
};

// The three costs of a cell (i, j): the cheapest path to it that ends by
// pairing baseline turn i - 1 with candidate turn j - 1, by leaving the
// candidate turn unpaired, or by leaving the baseline turn unpaired.
struct Cell {
  double match = kUnreachedCost;
  double insert = kUnreachedCost;
  double remove = kUnreachedCost;
};

// The cells of the table: row i (1 to n) computes columns lo(i) to hi(i);
// row 0 and column 0 are borders within the radius; every other cell is
// unreached.
class Band {
 public:
  Band(size_t n, size_t m, size_t w) : n_(n), m_(m), w_(w) {}

  [[nodiscard]] size_t rows() const { return n_; }
  [[nodiscard]] size_t lo(size_t i) const { return i > w_ ? i - w_ : 1; }
  [[nodiscard]] size_t hi(size_t i) const { return std::min(m_, i + w_); }
  [[nodiscard]] bool computes(size_t i, size_t j) const { return i >= 1 && j >= lo(i) && j <= hi(i); }
  // Cells computed by one row at most: the width of the band.
  [[nodiscard]] size_t row_cells() const { return std::min(m_, 2 * w_ + 1); }

  // A cell no row computes.
  [[nodiscard]] Cell outside(size_t i, size_t j) const {
    if (i == 0 && j == 0) return {0.0, kUnreachedCost, kUnreachedCost};
    if (i == 0 && j <= w_) return {gap_run(j), gap_run(j), kUnreachedCost};
    if (j == 0 && i <= w_) return {gap_run(i), kUnreachedCost, gap_run(i)};
    return {};
  }

 private:
  size_t n_, m_, w_;
};

// Computes cells of the table a row at a time, for the forward pass and for
// the blocks the traceback recomputes: both run this code, so a recomputed
// cell holds the very value the forward pass gave it.
class RowComputer {
 public:
  RowComputer(const Band& band, const RowCosts& row_costs)
      : band_(band), row_costs_(row_costs), costs_(band.row_cells()) {}

  // Writes row i at columns [first, last] (first >= 1) to row[c - base]:
  // the band's cells from their neighbours, the others unreached. up[c - base]
  // must hold row i - 1 at columns [first - 1, last], and row[first - 1 - base]
  // row i's cell left of first. Appends the move of each computed cell to
  // moves when it is given, in column order.
  void compute(size_t i, size_t first, size_t last, size_t base, const Cell* up, Cell* row,
               PackedMoves* moves) {
    const size_t lo = std::max(first, band_.lo(i));
    const size_t hi = std::min(last, band_.hi(i));
    for (size_t j = first; j < lo && j <= last; ++j) row[j - base] = Cell{};
    if (lo <= hi) row_costs_(i - 1, lo - 1, hi, costs_.data());
    for (size_t j = lo; j <= hi; ++j) {
      const Cell& diagonal = up[j - 1 - base];
      const Cell& above = up[j - base];
      const Cell& left = row[j - 1 - base];
      Cell& cell = row[j - base];
      cell.match = costs_[j - lo] + std::min({diagonal.match, diagonal.insert, diagonal.remove});
      cell.insert = std::min(left.match + kGapOpenCost, left.insert + kGapExtendCost);
      cell.remove = std::min(above.match + kGapOpenCost, above.remove + kGapExtendCost);
      if (moves == nullptr) continue;
      const double best = std::min({cell.match, cell.insert, cell.remove});
      moves->push_back(std::abs(best - cell.match) < kTieTolerance    ? kMatch
                       : std::abs(best - cell.insert) < kTieTolerance ? kInsert
                                                                      : kDelete);
    }
    for (size_t j = std::max(lo, hi + 1); j <= last; ++j) row[j - base] = Cell{};
  }

 private:
  const Band& band_;
  const RowCosts& row_costs_;
  std::vector<double> costs_;  // the pair costs of the row being computed
};

// The moves of the cells of rows (first_row, last_row] at columns
// [first_col, last_col], as RowComputer::compute() appended them: row i's
// first computed cell is moves[row_start[i - first_row - 1]].
struct Moves {
  size_t first_row = 0, last_row = 0, first_col = 1, last_col = 0;
  PackedMoves moves;
  std::vector<size_t> row_start;

  void reset(size_t rows_after, size_t rows_up_to, size_t from_col, size_t to_col) {
    first_row = rows_after, last_row = rows_up_to, first_col = from_col, last_col = to_col;
    moves.clear();
    row_start.clear();
  }
  [[nodiscard]] bool holds(size_t i, size_t j) const {
    return i > first_row && i <= last_row && j >= first_col && j <= last_col;
  }
  [[nodiscard]] uint8_t at(const Band& band, size_t i, size_t j) const {
    return moves[row_start[i - first_row - 1] + (j - std::max(first_col, band.lo(i)))];
  }
};

// What the forward pass keeps for the traceback to recompute blocks of
// `side` rows by `side` columns: the cells of every side-th row that the
// next row reads, and in every row the computed cells at the columns that
// are multiples of side.
class Checkpoints {
 public:
  // Nothing is kept for side 0 (no blocks).
  Checkpoints(const Band& band, size_t side) : band_(band), side_(side) {
    if (side == 0) return;
    rows_.reserve(band.rows() / side + 1);
    row_first_.reserve(band.rows() / side + 1);
    column_cells_.reserve(band.rows() * (band.row_cells() / side + 1));
    column_start_.reserve(band.rows() + 1);
  }

  // Row i, held in row[0 .. m] while row i + 1 is computed.
  void keep_row(size_t i, const Cell* row) {
    if (i % side_ != 0 || i == band_.rows()) return;
    const size_t first = band_.lo(i + 1) - 1;
    row_first_.push_back(first);
    rows_.emplace_back(row + first, row + band_.hi(i + 1) + 1);
  }
  // Row i, just computed in row[0 .. m].
  void keep_columns(size_t i, const Cell* row) {
    for (size_t j = first_multiple(i); j <= band_.hi(i); j += side_) column_cells_.push_back(row[j]);
    column_start_.push_back(column_cells_.size());
  }

  // Cell (i, j) of a row i that is a multiple of side, for a j that row
  // i + 1 reads or that no row computes.
  [[nodiscard]] Cell row_cell(size_t i, size_t j) const {
    const size_t k = i / side_;
    if (j < row_first_[k] || j - row_first_[k] >= rows_[k].size()) return band_.outside(i, j);
    return rows_[k][j - row_first_[k]];
  }
  // Cell (i, j) of a column j that is a multiple of side.
  [[nodiscard]] Cell column_cell(size_t i, size_t j) const {
    if (!band_.computes(i, j)) return band_.outside(i, j);
    return column_cells_[column_start_[i - 1] + (j - first_multiple(i)) / side_];
  }

 private:
  // The first multiple of side_ row i computes.
  [[nodiscard]] size_t first_multiple(size_t i) const { return (band_.lo(i) + side_ - 1) / side_ * side_; }

  const Band& band_;
  size_t side_;
  std::vector<std::vector<Cell>> rows_;  // rows_[k]: row k x side_ from column row_first_[k]
  std::vector<size_t> row_first_;
  std::vector<Cell> column_cells_;    // row i's at column_cells_[column_start_[i - 1] ..]
  std::vector<size_t> column_start_{0};  // where each row's cells start, and one past the last row's
};

}  // namespace

size_t band_radius(size_t n, size_t m, const AlignOptions& options) {
  const size_t longer = std::max(n, m);
  if (longer <= options.banding_threshold) return 0;
  return std::max(floor_sqrt(longer), options.min_band_radius) + (n > m ? n - m : m - n);
}

size_t block_side(size_t n, size_t row_cells, const AlignOptions& options) {
  if (n * row_cells / 4 <= options.traceback_budget_bytes) return 0;
  if (options.block_side != 0) return options.block_side;
  return std::max(kMinBlockSide, row_cells / kBlocksPerBandWidth);
}

std::vector<Step> align_costs(size_t n, size_t m, const RowCosts& row_costs, const AlignOptions& options) {
  // The full table is the band whose radius covers every cell (borders
  // included), so both modes run the same code.
  const size_t radius = band_radius(n, m, options);
  const Band band(n, m, radius == 0 ? std::max(n, m) : radius);
  RowComputer computer(band, row_costs);
  const size_t side = block_side(n, band.row_cells(), options);

  // Forward: every row once, from the border row. Without blocks the moves
  // of every cell are kept; with blocks, the checkpoints.
  Moves moves;
  Checkpoints checkpoints(band, side);
  std::vector<Cell> up(m + 1), row(m + 1);
  for (size_t j = 0; j <= m; ++j) up[j] = band.outside(0, j);
  if (side == 0) moves.reset(0, n, 1, m);
  for (size_t i = 1; i <= n; ++i) {
    if (side != 0) checkpoints.keep_row(i - 1, up.data());
    row[band.lo(i) - 1] = band.outside(i, band.lo(i) - 1);
    if (side == 0) moves.row_start.push_back(moves.moves.size());
    computer.compute(i, band.lo(i), std::min(m, band.hi(i) + 1), 0, up.data(), row.data(),
                     side == 0 ? &moves.moves : nullptr);
    if (side != 0) checkpoints.keep_columns(i, row.data());
    std::swap(up, row);
  }

  // Recomputes the block holding cell (i, j), rows and columns up to it:
  // the path only moves up and left from there.
  const auto recompute_block = [&](size_t i, size_t j) {
    const size_t first_row = (i - 1) / side * side;
    const size_t first_col = (j - 1) / side * side + 1;
    const size_t base = first_col - 1;
    moves.reset(first_row, i, first_col, j);
    up.resize(j - base + 1);
    row.resize(j - base + 1);
    for (size_t c = base; c <= j; ++c) up[c - base] = checkpoints.row_cell(first_row, c);
    for (size_t r = first_row + 1; r <= i; ++r) {
      row[0] = checkpoints.column_cell(r, base);
      moves.row_start.push_back(moves.moves.size());
      computer.compute(r, first_col, j, base, up.data(), row.data(), &moves.moves);
      std::swap(up, row);
    }
  };

  // Back from (n, m), through the move chosen at each cell.
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
      if (!band.computes(i, j)) throw InternalError("alignment left the band");
      if (!moves.holds(i, j)) recompute_block(i, j);
      move = moves.at(band, i, j);
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
