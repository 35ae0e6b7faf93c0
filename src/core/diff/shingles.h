// Shingles: the runs of four consecutive characters of a text, the unit of
// the character-overlap similarity of the pair cost and the drill-down.
//
// The shingle set of a text of n >= 4 scalar values holds its n - 3 runs of
// four; a text of 1 to 3 scalars has the whole text as its one shingle; the
// empty text has none. Two shingles are equal when their scalars are.
//
// A ShingleCoder turns shingles into 64-bit keys that are equal exactly when
// the shingles are, for every text it codes: each scalar gets a 16-bit code
// (ASCII its own value, the others the next free code in order of first
// appearance), and a run is its four codes side by side. A text of 1 to 3
// scalars is marked by its length in the top code, which no run uses. Past
// kShingleCodes distinct scalars (a text would need tens of thousands of
// different characters), a shingle holding an uncoded scalar is numbered by
// a table of the shingles themselves and marked with kWideShingleMark. The
// order of keys is not the byte order of the texts, which no measure uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/unicode/utf8.h"

namespace korvane::diff {

// The number of scalar codes; the codes above them mark keys.
inline constexpr uint64_t kShingleCodes = 0xFFFC;
// The top code of a key numbered by the table of wide shingles.
inline constexpr uint64_t kWideShingleMark = 0xFFFC;
// The number of scalars in a shingle cut from a longer text.
inline constexpr size_t kShingleLength = 4;

class ShingleCoder {
 public:
  // Calls f(key) for each shingle of text (valid UTF-8), repeats included.
  template <typename F>
  void for_each_key(std::string_view text, F&& f) {
    uint32_t window[kShingleLength] = {};  // the last codes, newest last
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
      const auto byte = static_cast<unsigned char>(text[i]);
      const uint32_t code = byte < 0x80 ? (++i, byte) : code_of(unicode::decode(text, i));
      for (size_t k = 1; k < kShingleLength; ++k) window[k - 1] = window[k];
      window[kShingleLength - 1] = code;
      if (++n >= kShingleLength) f(key_of(window, kShingleLength));
    }
    if (n > 0 && n < kShingleLength) f(key_of(window + kShingleLength - n, n));
  }

  // The keys of text's shingles, sorted, without repeats: its shingle set.
  std::vector<uint64_t> set_of(std::string_view text);

 private:
  // The code of a non-ASCII scalar: the next free one when it is new, its
  // value plus kShingleCodes once none is free.
  uint32_t code_of(char32_t c);

  // The key of the shingle of count codes: the codes side by side for a
  // run, the length in the top code for a shorter text.
  uint64_t key_of(const uint32_t* codes, size_t count) {
    uint64_t key = count == kShingleLength ? 0 : (kShingleCodes + count) << 48;
    uint32_t all = 0;
    for (size_t k = 0; k < count; ++k) {
      key |= uint64_t{codes[k]} << (16 * (count - 1 - k));
      all |= codes[k];
    }
    return all < kShingleCodes ? key : wide_key(codes, count);
  }
  // The number of a shingle holding an uncoded scalar; its codes identify
  // it, since coded and uncoded scalars have codes of their own.
  uint64_t wide_key(const uint32_t* codes, size_t count);

  std::unordered_map<char32_t, uint32_t> non_ascii_;   // scalar -> code
  uint32_t next_code_ = 0x80;
  std::unordered_map<std::u32string, uint64_t> wide_;  // codes of a shingle -> number
};

// The number of elements two sorted, duplicate-free sequences share.
template <typename T>
size_t common_count(const std::vector<T>& a, const std::vector<T>& b) {
  size_t common = 0;
  auto i = a.begin();
  auto j = b.begin();
  while (i != a.end() && j != b.end()) {
    if (*i < *j) {
      ++i;
    } else if (*j < *i) {
      ++j;
    } else {
      ++common, ++i, ++j;
    }
  }
  return common;
}

// |a ∩ b| / |a ∪ b| from the set sizes, 1.0 when both sets are empty.
inline double jaccard_of_counts(size_t common, size_t a_size, size_t b_size) {
  if (a_size == 0 && b_size == 0) return 1.0;
  return static_cast<double>(common) / static_cast<double>(a_size + b_size - common);
}

// Jaccard similarity of two sorted, duplicate-free sets.
template <typename T>
double jaccard(const std::vector<T>& a, const std::vector<T>& b) {
  return jaccard_of_counts(common_count(a, b), a.size(), b.size());
}

// Texts of up to this many bytes together are compared through a hash table
// (16 bytes a slot, two slots a byte); longer ones through sorted key sets
// (8 bytes a scalar).
inline constexpr size_t kHashedShingleBytes = 1 << 20;

// The Jaccard similarity of the shingle sets of two texts (valid UTF-8),
// 1.0 when both are empty.
double shingle_similarity(std::string_view a, std::string_view b);

}  // namespace korvane::diff
