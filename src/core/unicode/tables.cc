#include "core/unicode/tables.h"

#include <algorithm>

namespace korvane::unicode::tables {

std::span<const char32_t> canonical_decomposition(char32_t c) {
  const char32_t* keys_end = kDecompositionKeys + kDecompositionCount;
  const char32_t* it = std::lower_bound(kDecompositionKeys, keys_end, c);
  if (it == keys_end || *it != c) return {};
  const uint32_t slot = kDecompositionSlots[it - kDecompositionKeys];
  return {kDecompositionPool + (slot >> 3), slot & 7};
}

char32_t compose_pair(char32_t first, char32_t second) {
  if (first - kHangulLBase < kHangulLCount && second - kHangulVBase < kHangulVCount) {
    return kHangulSBase + ((first - kHangulLBase) * kHangulVCount + (second - kHangulVBase)) * kHangulTCount;
  }
  if (first - kHangulSBase < kHangulSCount && (first - kHangulSBase) % kHangulTCount == 0 &&
      second - kHangulTBase - 1 < kHangulTCount - 1) {
    return first + (second - kHangulTBase);
  }
  if (first > 0x10FFFF || second > 0x10FFFF) return 0;
  const uint64_t key = (uint64_t{first} << 21) | second;
  const uint64_t* keys_end = kCompositionKeys + kCompositionCount;
  const uint64_t* it = std::lower_bound(kCompositionKeys, keys_end, key);
  if (it == keys_end || *it != key) return 0;
  return kCompositionValues[it - kCompositionKeys];
}

std::span<const char32_t> special_lower(char32_t c) {
  for (const SpecialLowerMapping& entry : kSpecialLowerMappings) {
    if (entry.code == c) return {entry.mapping, entry.mapping[2] ? size_t{3} : size_t{2}};
  }
  return {};
}

}  // namespace korvane::unicode::tables
