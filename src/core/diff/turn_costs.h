// TurnCosts: the pair costs of every baseline turn against every candidate
// turn of one diff, computed from features extracted once per turn.
//
// The text term dominates the work: it needs |A ∩ B| for two shingle sets of
// a few hundred elements. Instead of merging the two sets for every cell,
// row() walks an inverted index of the candidate turns' shingles once per
// baseline turn and counts the common shingles of all the columns it is
// asked for at the same time; shingles of the baseline turn that no
// candidate turn has cost nothing. cost() is the same number for one cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/pair_cost.h"

namespace korvane::diff {

// The most cells per turn of an alignment whose cells merge shingle sets.
inline constexpr size_t kMergeCellsPerTurn = 2;

class TurnCosts {
 public:
  // The records must outlive this object.
  TurnCosts(std::span<const agentlog::Record* const> baseline,
            std::span<const agentlog::Record* const> candidate);

  [[nodiscard]] size_t baseline_size() const { return baseline_.size(); }
  [[nodiscard]] size_t candidate_size() const { return candidate_.size(); }
  [[nodiscard]] const TurnFeatures& baseline(size_t i) const { return baseline_[i]; }
  [[nodiscard]] const TurnFeatures& candidate(size_t j) const { return candidate_[j]; }

  // text_similarity() of the response texts of baseline turn i and
  // candidate turn j.
  double text_similarity(size_t i, size_t j);

  // pair_cost(baseline turn i, candidate turn j).
  double cost(size_t i, size_t j);

  // The costs of baseline turn i against candidate turns [j_begin, j_end),
  // written to out[0 .. j_end - j_begin).
  void row(size_t i, size_t j_begin, size_t j_end, double* out);

 private:
  std::vector<TurnFeatures> baseline_;
  std::vector<TurnFeatures> candidate_;
  // Small alignments: the shingle set of each turn as sorted keys, and the
  // features hold no shingle ids.
  bool merge_sets_ = false;
  std::vector<std::vector<uint64_t>> baseline_sets_;
  std::vector<std::vector<uint64_t>> candidate_sets_;
  // For every shingle id, the candidate turns holding it, ascending:
  // postings_[offsets_[id] .. offsets_[id + 1]).
  std::vector<uint32_t> offsets_;
  std::vector<uint32_t> postings_;
  // Per shingle id, where row() resumes its posting list, valid when
  // cursor_pass_[id] is pass_: at or before the first posting at or above
  // cursor_column_, the first column of the last row.
  std::vector<uint32_t> cursors_;
  std::vector<uint32_t> cursor_pass_;
  uint32_t pass_ = 0;  // counts the rows that started further left than the row before
  size_t cursor_column_ = 0;
  std::vector<uint32_t> common_;   // per-row scratch, one counter per column
  std::vector<uint32_t> marks_;   // per shingle id, scratch of text_similarity()
  uint32_t mark_ = 0;
};

}  // namespace korvane::diff
