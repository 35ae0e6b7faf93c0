// Turn alignment: the cheapest way to pair the baseline's turns with the
// candidate's, leaving turns on either side unpaired where that is cheaper.
//
// A turn list is the chat_response records of one trace in trace order;
// indices are positions in it. Pairing two turns costs their pair_cost();
// leaving a run of turns unpaired costs 0.6 for its first turn and 0.15 for
// each further one. Among paths of equal cost (within 1e-12) a pairing wins,
// then an unpaired candidate turn. The path is read back through one chosen
// move per cell: the cell's own cheapest move, whichever table the path
// came through.
//
// Beyond 1000 turns on the longer side only a band of cells around the
// diagonal is computed, of radius max(floor(sqrt(max(n, m))), 100) + |n - m|;
// cells outside it count as unreached (cost 1e18). Only two rows of each
// cost table and one traceback byte per computed cell are kept, so memory
// grows with the number of computed cells, not with n x m.
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

// Where banding starts and how narrow the band may get. Tests lower both to
// exercise the banded mode on small inputs.
struct AlignOptions {
  size_t banding_threshold = 1000;  // banded when max(n, m) exceeds it
  size_t min_band_radius = 100;
};

// The band radius for n baseline and m candidate turns, or 0 when the whole
// table is computed (max(n, m) <= banding threshold).
size_t band_radius(size_t n, size_t m, const AlignOptions& options = {});

// Writes the pair costs of baseline turn i against candidate turns
// [j_begin, j_end) to out[0 .. j_end - j_begin). Every cost must lie in
// [0, 1), as pair_cost() guarantees.
using RowCosts = std::function<void(size_t i, size_t j_begin, size_t j_end, double* out)>;

// The alignment of n baseline turns with m candidate turns under the given
// pair costs: steps in trace order, each baseline and each candidate index
// exactly once. row_costs is called once per baseline turn with the band's
// columns, so each computed cell's cost is asked for exactly once.
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
