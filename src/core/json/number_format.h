// Decimal forms of numbers.
//
// Both forms of doubles start from the shortest digit string d1..dn that
// reads back as exactly the same double (std::to_chars), and the decimal
// exponent kk with value = 0.d1..dn x 10^kk:
//
//  - the interchange form of the trace writer: "1.0", "0.1", "1e16", "1e-6",
//    "1.5e-7", "0.00001", "-0.0". It is also the form of doubles quoted
//    inside messages.
//  - the canonical form: plain positional notation with neither an exponent
//    nor a trailing ".0", and zero of either sign as "0".
//
// A double that is not finite is written as "null" by both. The write_*
// functions write at the given position, which must have room for
// kMaxNumberChars bytes, and return the end of what they wrote.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <string>

namespace korvane::json {

// The longest form of any number: the canonical form of the smallest
// subnormal double, "-0." and 323 zeros before its one digit.
inline constexpr size_t kMaxNumberChars = 330;

// The longest integer, "-9223372036854775808".
inline constexpr size_t kMaxIntegerChars = 20;

// The interchange form writes a double positionally when its decimal exponent
// kk is above kPositionalExponentFloor and at most kPositionalExponentCeiling
// (magnitudes from 1e-5 to below 1e16), else with an exponent.
inline constexpr int kPositionalExponentFloor = -5;
inline constexpr int kPositionalExponentCeiling = 16;

// Plain decimal digits of an integer, "-" first when it is negative: the
// form of integers in both the interchange and the canonical text.
template <std::integral Int>
char* write_integer(char* out, Int value) {
  return std::to_chars(out, out + kMaxIntegerChars, value).ptr;
}

char* write_double(char* out, double value);
char* write_canonical_double(char* out, double value);

// The interchange form as a new string.
std::string format_double(double value);

}  // namespace korvane::json
