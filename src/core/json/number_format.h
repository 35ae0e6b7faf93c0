// Decimal forms of doubles.
//
// Both forms start from the shortest digit string d1..dn that reads back as
// exactly the same double (std::to_chars), and the decimal exponent kk with
// value = 0.d1..dn x 10^kk:
//
//  - append_double() writes the interchange form of the trace writer:
//    "1.0", "0.1", "1e16", "1e-6", "1.5e-7", "0.00001", "-0.0". It is also the
//    form of doubles quoted inside messages.
//  - append_canonical_double() writes plain positional notation with neither
//    an exponent nor a trailing ".0", and zero of either sign as "0".
//
// A double that is not finite is written as "null" by both.
#pragma once

#include <charconv>
#include <concepts>
#include <string>

namespace korvane::json {

// Plain decimal digits of an integer, "-" first when it is negative: the
// form of integers in both the interchange and the canonical text.
template <std::integral Int>
void append_integer(std::string& out, Int value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);  // 24 hold any 64-bit value
  out.append(digits, result.ptr);
}

void append_double(std::string& out, double value);
void append_canonical_double(std::string& out, double value);

// The interchange form as a new string.
std::string format_double(double value);

}  // namespace korvane::json
