// Full Unicode lower-case mapping.
//
// The mappings are those of UnicodeData.txt plus the unconditional ones of
// SpecialCasing.txt (U+0130 lower-cases to "i" followed by U+0307); the
// language-specific mappings are never applied. ASCII text lower-cases byte
// by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::unicode {

// The eight ASCII bytes of word with A-Z turned to a-z: adding 0x3F sets a
// byte's top bit when it is 'A' or above, adding 0x25 when it is above 'Z';
// no addition carries into the next byte, and the top bit of a capital,
// shifted down two, is the 0x20 to add.
inline uint64_t lower_ascii_word(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  const uint64_t upper = (word + kOnes * (0x80 - 'A')) & ~(word + kOnes * (0x7F - 'Z')) & (kOnes * 0x80);
  return word | upper >> 2;
}

// Writes the full lower-case mapping of c, without context rules, into out
// (1 to 3 scalars) and returns their count. Capital sigma always maps to the
// ordinary small sigma. A c without a mapping, or outside the scalar values,
// maps to itself.
size_t lower_mapping(char32_t c, char32_t out[3]);

// Appends the UTF-8 form of lower_mapping(c) to out. A c that is not a scalar
// value (a surrogate or above U+10FFFF) is written as U+FFFD so that out
// stays valid UTF-8.
void append_lower_char(std::string& out, char32_t c);

// Returns the full lower-case form of text (valid UTF-8), with the
// Final_Sigma rule: a capital sigma becomes final sigma (U+03C2) when,
// skipping case-ignorable characters, a cased character precedes it and none
// follows it. Python's str.lower() gives the same result.
std::string to_lower(std::string_view text);

}  // namespace korvane::unicode
