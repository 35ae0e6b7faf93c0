// Character properties used to split and trim text.
//
// Each predicate takes any char32_t; values that are not assigned scalars
// (unassigned code points, surrogates, anything above U+10FFFF) have none of
// the properties.
#pragma once

#include "core/unicode/tables.h"

namespace korvane::unicode {

// The White_Space property: U+0009 to U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
inline bool is_white_space(char32_t c) {
  if (c < 0x80) return c == ' ' || c - 0x09 < 5u;
  return (tables::char_info(c).flags & tables::kWhiteSpace) != 0;
}

// The derived Alphabetic property.
inline bool is_alphabetic(char32_t c) {
  if (c < 0x80) return (c | 0x20) - 'a' < 26u;
  return (tables::char_info(c).flags & tables::kAlphabetic) != 0;
}

// Alphabetic, or of general category Nd, Nl or No (ASCII letters and digits
// included).
inline bool is_alphanumeric(char32_t c) {
  if (c < 0x80) return (c | 0x20) - 'a' < 26u || c - '0' < 10u;
  return (tables::char_info(c).flags & tables::kAlphanumeric) != 0;
}

}  // namespace korvane::unicode
