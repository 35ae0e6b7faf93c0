#include "core/diff/turn_costs.h"

#include <algorithm>

namespace korvane::diff {

TurnCosts::TurnCosts(std::span<const agentlog::Record* const> baseline,
                     std::span<const agentlog::Record* const> candidate) {
  ShingleDictionary dictionary;
  baseline_.reserve(baseline.size());
  candidate_.reserve(candidate.size());
  for (const agentlog::Record* turn : baseline) baseline_.push_back(turn_features(*turn, dictionary));
  for (const agentlog::Record* turn : candidate) candidate_.push_back(turn_features(*turn, dictionary));

  // Counting sort of (shingle id, candidate turn): turns are visited in
  // order, so each posting list comes out ascending.
  offsets_.assign(dictionary.size() + 1, 0);
  for (const TurnFeatures& f : candidate_) {
    for (uint32_t id : f.shingles) ++offsets_[id + 1];
  }
  for (size_t id = 0; id < dictionary.size(); ++id) offsets_[id + 1] += offsets_[id];
  postings_.resize(offsets_.back());
  std::vector<uint32_t> fill(offsets_.begin(), offsets_.end() - 1);
  for (size_t j = 0; j < candidate_.size(); ++j) {
    for (uint32_t id : candidate_[j].shingles) postings_[fill[id]++] = static_cast<uint32_t>(j);
  }
  common_.assign(candidate_.size(), 0);
}

double TurnCosts::cost(size_t i, size_t j) const { return pair_cost(baseline_[i], candidate_[j]); }

void TurnCosts::row(size_t i, size_t j_begin, size_t j_end, double* out) {
  const TurnFeatures& b = baseline_[i];
  const bool whole_row = j_begin == 0 && j_end == candidate_.size();
  std::fill(common_.begin() + j_begin, common_.begin() + j_end, 0u);
  for (uint32_t id : b.shingles) {
    const uint32_t* first = postings_.data() + offsets_[id];
    const uint32_t* last = postings_.data() + offsets_[id + 1];
    if (!whole_row) {
      first = std::lower_bound(first, last, static_cast<uint32_t>(j_begin));
    }
    for (; first != last && *first < j_end; ++first) ++common_[*first];
  }
  for (size_t j = j_begin; j < j_end; ++j) {
    const TurnFeatures& c = candidate_[j];
    const double text_similarity = jaccard_of_counts(common_[j], b.shingles.size(), c.shingles.size());
    out[j - j_begin] = combine_cost(b, c, text_similarity);
  }
}

}  // namespace korvane::diff
