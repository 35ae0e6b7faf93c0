// Lookups into the generated Unicode tables (tables_generated.h/.cc).
//
// char_info() gives every code point's record: canonical combining class,
// NFC quick-check value, simple lower-case delta and the property bits the
// Unicode layer needs. It accepts any char32_t: values past the last
// interesting code point, including those above U+10FFFF, get record 0 (no
// properties, class 0, lower-cases to itself). The other lookups answer for
// one scalar each and never read outside their tables.
//
// This header is internal to core/unicode; other code uses normalize.h,
// case.h and properties.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/unicode/tables_generated.h"

namespace korvane::unicode::tables {

inline const CharInfo& char_info(char32_t c) {
  if (c >= kCharInfoLimit) return kCharInfo[0];
  constexpr char32_t kMask = (char32_t{1} << kCharInfoShift) - 1;
  const char32_t block = kCharStage1[c >> kCharInfoShift];
  return kCharInfo[kCharStage2[(block << kCharInfoShift) | (c & kMask)]];
}

// Hangul syllables decompose and compose arithmetically.
inline constexpr char32_t kHangulSBase = 0xAC00, kHangulLBase = 0x1100, kHangulVBase = 0x1161,
                          kHangulTBase = 0x11A7;
inline constexpr char32_t kHangulLCount = 19, kHangulVCount = 21, kHangulTCount = 28;
inline constexpr char32_t kHangulNCount = kHangulVCount * kHangulTCount;
inline constexpr char32_t kHangulSCount = kHangulLCount * kHangulNCount;

// The full canonical decomposition of c, for a c whose record has
// kHasDecomposition; empty for any other c. Hangul syllables are not covered.
std::span<const char32_t> canonical_decomposition(char32_t c);

// The primary composite of the pair (first, second), Hangul included, or 0
// when the pair does not compose.
char32_t compose_pair(char32_t first, char32_t second);

// The lower-case mapping of c when its record has kSpecialLower: 2 or 3
// scalars. Empty for any other c.
std::span<const char32_t> special_lower(char32_t c);

}  // namespace korvane::unicode::tables
