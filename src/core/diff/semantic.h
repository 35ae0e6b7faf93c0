// The semantic similarity axis: how far the candidate's answers drift in
// wording from the baseline's.
//
// Each response text is split into tokens, the tokens of one call are
// interned to dense integer ids, and every response becomes a tf-idf vector:
// a sorted array of (id, weight) entries. A pair's similarity is the cosine
// of its two vectors, between 0 and 1; the row reports the median similarity
// against a baseline of 1.0 (a response compared with itself).
//
// Document frequencies count the 2n responses of the pairs and nothing
// else. Sums are formed in ascending id order, and ids follow the first
// appearance of each token, so a seeded report is reproducible to the bit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/diff/axes.h"
#include "core/diff/report.h"

namespace korvane::diff {

// A tf-idf vector whose norm is below this counts as empty.
inline constexpr double kNullNorm = 1e-12;

// The tokens of text (valid UTF-8), in order, duplicates kept: the text is
// normalised to NFC, every character is replaced by its full lower-case
// mapping (without context rules: a final capital sigma becomes the ordinary
// small sigma), and the result is split at every character that is not
// alphanumeric (Alphabetic, or general category Nd, Nl or No). Underscores,
// apostrophes, punctuation, symbols, white space and non-alphabetic marks
// all separate tokens; empty pieces are dropped.
std::vector<std::string> tokenize(std::string_view text);

// Interns token texts to dense ids 0, 1, 2, ... in order of first appearance.
// Owns copies of the texts. One table serves one call.
class TokenTable {
 public:
  TokenTable();

  // The id of token, adding it when new.
  uint32_t intern(std::string_view token);

  [[nodiscard]] size_t size() const { return starts_.size() - 1; }
  [[nodiscard]] std::string_view text(uint32_t id) const {
    return std::string_view(chars_).substr(starts_[id], starts_[id + 1] - starts_[id]);
  }

 private:
  // A slot of the open-addressing table (linear probing, at most half
  // full). A token of up to 7 bytes is identified by its key alone (its
  // bytes packed into the word); a longer one by a 64-bit hash of it and
  // then its text.
  struct Slot {
    uint64_t key = 0;
    size_t size = 0;
    uint32_t id_plus_one = 0;  // 0 for a free slot
  };

  uint32_t add(std::string_view token, size_t slot, uint64_t key);
  void grow();

  std::string chars_;           // the texts of all ids, back to back
  std::vector<size_t> starts_;  // text of id k: chars_[starts_[k], starts_[k + 1])
  std::vector<Slot> slots_;
};

// Appends the ids of text's tokens (as tokenize() finds them) to ids,
// interning new tokens into table.
void tokenize_into(std::string_view text, TokenTable& table, std::vector<uint32_t>& ids);

// One entry of a tf-idf vector.
struct TermWeight {
  uint32_t id;
  double weight;
};

// A tf-idf vector: one entry per distinct token, in ascending id order.
using TfidfVector = std::vector<TermWeight>;

// The cosine of the angle between a and b, clamped to [0, 1]. Two vectors
// whose norms are both below kNullNorm are alike (1.0); exactly one below
// gives 0.0.
double cosine_similarity(std::span<const TermWeight> a, std::span<const TermWeight> b);

// The similarity of each pair's two response texts, in pair order: the
// cosine of their tf-idf vectors, where a token occurring tf times in a
// response weighs (ln(tf) + 1) x (idf + 1), with idf = ln((N + 1) / (df + 1)),
// N = 2n documents and df the number of them holding the token.
std::vector<double> semantic_similarities(std::span<const ResponsePair> pairs);

// The semantic series: the similarities against a baseline series of ones,
// reduced by the median and graded relative to the baseline.
AxisSeries semantic_series(std::span<const ResponsePair> pairs);

}  // namespace korvane::diff
