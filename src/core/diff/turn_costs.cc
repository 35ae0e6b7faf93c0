#include "core/diff/turn_costs.h"

#include <algorithm>

#include "core/diff/conformance.h"

namespace korvane::diff {

TurnCosts::TurnCosts(std::span<const agentlog::Record* const> baseline,
                     std::span<const agentlog::Record* const> candidate) {
  const size_t n = baseline.size();
  const size_t m = candidate.size();
  merge_sets_ = n * m <= kMergeCellsPerTurn * (n + m);
  size_t text_bytes = 0;
  if (!merge_sets_) {
    for (const auto* side : {&baseline, &candidate}) {
      for (const agentlog::Record* turn : *side) text_bytes += response_text(*turn).size();
    }
  }
  TurnDictionary dictionary(text_bytes);
  ShingleCoder coder;
  baseline_.reserve(n);
  candidate_.reserve(m);
  for (const agentlog::Record* turn : baseline) {
    baseline_.push_back(turn_features(*turn, dictionary, !merge_sets_));
    if (merge_sets_) baseline_sets_.push_back(coder.set_of(normalise_whitespace(response_text(*turn))));
  }
  for (const agentlog::Record* turn : candidate) {
    candidate_.push_back(turn_features(*turn, dictionary, !merge_sets_));
    if (merge_sets_) candidate_sets_.push_back(coder.set_of(normalise_whitespace(response_text(*turn))));
  }
  if (merge_sets_) return;

  // Counting sort of (shingle id, candidate turn): turns are visited in
  // order, so each posting list comes out ascending.
  const size_t ids = dictionary.shingle_count();
  offsets_.assign(ids + 1, 0);
  for (const TurnFeatures& f : candidate_) {
    for (uint32_t id : f.shingles) ++offsets_[id + 1];
  }
  for (size_t id = 0; id < ids; ++id) offsets_[id + 1] += offsets_[id];
  postings_.resize(offsets_.back());
  std::vector<uint32_t> fill(offsets_.begin(), offsets_.end() - 1);
  for (size_t j = 0; j < candidate_.size(); ++j) {
    for (uint32_t id : candidate_[j].shingles) postings_[fill[id]++] = static_cast<uint32_t>(j);
  }
  common_.assign(candidate_.size(), 0);
  cursors_.assign(offsets_.begin(), offsets_.end() - 1);
  cursor_pass_.assign(ids, 0);
  marks_.assign(ids, 0);
}

double TurnCosts::text_similarity(size_t i, size_t j) {
  if (merge_sets_) return jaccard(baseline_sets_[i], candidate_sets_[j]);
  const TurnFeatures& b = baseline_[i];
  const TurnFeatures& c = candidate_[j];
  if (++mark_ == 0) {  // the marks wrapped around: start afresh
    std::fill(marks_.begin(), marks_.end(), 0u);
    mark_ = 1;
  }
  for (uint32_t id : b.shingles) marks_[id] = mark_;
  size_t common = 0;
  for (uint32_t id : c.shingles) common += marks_[id] == mark_;
  return jaccard_of_counts(common, b.shingles.size(), c.shingles.size());
}

double TurnCosts::cost(size_t i, size_t j) {
  return combine_cost(baseline_[i], candidate_[j], text_similarity(i, j));
}

void TurnCosts::row(size_t i, size_t j_begin, size_t j_end, double* out) {
  const TurnFeatures& b = baseline_[i];
  if (merge_sets_) {
    for (size_t j = j_begin; j < j_end; ++j) out[j - j_begin] = cost(i, j);
    return;
  }
  // Rows asked for with a non-decreasing first column (the alignment's
  // forward pass, and the rows of one block its traceback recomputes) skip
  // each posting list forward from where the last row left it. A row that
  // starts further left begins a new pass, which finds its place in each
  // list by binary search the first time it meets the list.
  if (j_begin < cursor_column_ && ++pass_ == 0) {  // the passes wrapped around: start afresh
    std::fill(cursor_pass_.begin(), cursor_pass_.end(), 0u);
    pass_ = 1;
  }
  cursor_column_ = j_begin;
  std::fill(common_.begin() + j_begin, common_.begin() + j_end, 0u);
  for (uint32_t id : b.shingles) {
    const uint32_t* const list = postings_.data() + offsets_[id];
    const uint32_t* const last = postings_.data() + offsets_[id + 1];
    const uint32_t* first;
    if (pass_ == 0 || cursor_pass_[id] == pass_) {  // every cursor is valid in the first pass
      first = postings_.data() + cursors_[id];
      while (first != last && *first < j_begin) ++first;
    } else {
      first = std::lower_bound(list, last, static_cast<uint32_t>(j_begin));
      cursor_pass_[id] = pass_;
    }
    cursors_[id] = static_cast<uint32_t>(first - postings_.data());
    for (; first != last && *first < j_end; ++first) ++common_[*first];
  }
  for (size_t j = j_begin; j < j_end; ++j) {
    const TurnFeatures& c = candidate_[j];
    const double similarity = jaccard_of_counts(common_[j], b.shingles.size(), c.shingles.size());
    out[j - j_begin] = combine_cost(b, c, similarity);
  }
}

}  // namespace korvane::diff
