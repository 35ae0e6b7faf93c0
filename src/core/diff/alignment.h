// Turn alignment: the cheapest way to pair the baseline's turns with the
// candidate's, leaving turns on either side unpaired where that is cheaper.
//
// A turn list is the chat_response records of one trace in trace order;
// indices are positions in it. Pairing two turns costs their pair_cost();
// leaving a run of turns unpaired costs kGapOpenCost for its first turn and
// kGapExtendCost for each further one. Among paths of equal cost (within
// kTieTolerance) a pairing wins, then an unpaired candidate turn. The path
// is read back through one chosen move per cell: the cell's own cheapest
// move, whichever table the path came through.
//
// Beyond kBandingThreshold turns on the longer side only a band of cells
// around the diagonal is computed, of radius max(floor(sqrt(max(n, m))),
// kMinBandRadius) + |n - m|; cells outside it count as unreached
// (kUnreachedCost). Two rows of each cost table are kept while the rows are
// computed. When the moves of every cell fit kTracebackBudgetBytes they are
// kept; otherwise the traceback recomputes the square blocks of cells the
// path crosses, from checkpoints the forward pass keeps: every side-th row
// and, in every row, the cells of every side-th column. A recomputed cell
// holds the value the forward pass gave it, so the path, ties included, is
// the one a full table of moves gives. Memory grows with n times about
// 2 kBlocksPerBandWidth cells, not with n x m.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/turn_costs.h"

namespace korvane::diff {

// One move of an alignment: Match pairs baseline turn `baseline` with
// candidate turn `candidate`; Insert leaves candidate turn `candidate`
// unpaired; Delete leaves baseline turn `baseline` unpaired. The index a
// move does not use is 0.
struct Step {
  enum class Kind : uint8_t { kMatch, kInsert, kDelete };
  Kind kind = Kind::kMatch;
  uint64_t baseline = 0;
  uint64_t candidate = 0;

  static Step match(uint64_t i, uint64_t j) { return Step{Kind::kMatch, i, j}; }
  static Step insert(uint64_t j) { return Step{Kind::kInsert, 0, j}; }
  static Step remove(uint64_t i) { return Step{Kind::kDelete, i, 0}; }

  friend bool operator==(const Step&, const Step&) = default;
};

// The cost of a cell no path reaches.
inline constexpr double kUnreachedCost = 1e18;
// The cost of the first unpaired turn of a run.
inline constexpr double kGapOpenCost = 0.6;
// The cost of each further unpaired turn of the same run.
inline constexpr double kGapExtendCost = 0.15;
// Two costs closer than this are equal when a cell chooses its move.
inline constexpr double kTieTolerance = 1e-12;
// The band applies when the longer side has more turns than this.
inline constexpr size_t kBandingThreshold = 1000;
// The band's radius is at least this, before |n - m| is added.
inline constexpr size_t kMinBandRadius = 100;
// Moves of up to this many bytes (four cells a byte) are kept whole by the
// forward pass: small alignments and narrow bands run without checkpoints.
inline constexpr size_t kTracebackBudgetBytes = 16 << 20;
// Beyond the budget, blocks of the traceback are the band's width divided by
// this a side: the blocks the path crosses hold about (n + m) /
// kBlocksPerBandWidth band widths of cells, and the checkpoints take about
// 2 x 24 x kBlocksPerBandWidth bytes per row.
inline constexpr size_t kBlocksPerBandWidth = 32;
// Blocks are at least this many rows and columns a side, so that narrow
// bands are not recomputed in slivers.
inline constexpr size_t kMinBlockSide = 64;

// Where banding starts, how narrow the band may get and how the traceback
// is cut into blocks. Tests lower them to exercise the banded mode and the
// blocks on small inputs.
struct AlignOptions {
  size_t banding_threshold = kBandingThreshold;  // banded when max(n, m) exceeds it
  size_t min_band_radius = kMinBandRadius;
  size_t traceback_budget_bytes = kTracebackBudgetBytes;
  size_t block_side = 0;  // rows and columns per block beyond the budget; 0 chooses by block_side()
};

// The band radius for n baseline and m candidate turns, or 0 when the whole
// table is computed (max(n, m) <= banding threshold).
size_t band_radius(size_t n, size_t m, const AlignOptions& options = {});

// Rows and columns a side of the traceback's blocks for n rows of
// row_cells computed cells: 0 when the moves of every cell fit the budget,
// else row_cells / kBlocksPerBandWidth and at least kMinBlockSide.
size_t block_side(size_t n, size_t row_cells, const AlignOptions& options = {});

// Writes the pair costs of baseline turn i against candidate turns
// [j_begin, j_end) to out[0 .. j_end - j_begin). Every cost must lie in
// [0, 1), as pair_cost() guarantees.
using RowCosts = std::function<void(size_t i, size_t j_begin, size_t j_end, double* out)>;

// The alignment of n baseline turns with m candidate turns under the given
// pair costs: steps in trace order, each baseline and each candidate index
// exactly once. row_costs is called once per baseline turn with the band's
// columns, and again for each row of a block the traceback recomputes
// (with the block's columns); the costs must be the same every time.
std::vector<Step> align_costs(size_t n, size_t m, const RowCosts& row_costs,
                              const AlignOptions& options = {});

// The alignment of two turn lists under pair_cost(). The records are read,
// never copied or changed.
std::vector<Step> align(std::span<const agentlog::Record* const> baseline,
                        std::span<const agentlog::Record* const> candidate,
                        const AlignOptions& options = {});

// The same from costs already set up (the divergence walk reuses their turn
// features).
std::vector<Step> align(TurnCosts& costs, const AlignOptions& options = {});

}  // namespace korvane::diff
