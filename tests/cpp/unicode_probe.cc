// Answers each line of space-separated hexadecimal scalar values on stdin
// with four ';'-separated fields: the NFC form, the per-character lower-case
// mapping and the whole-string lower-case form (hexadecimal scalars), and one
// digit per input scalar: bit 0 White_Space, bit 1 Alphabetic, bit 2
// alphanumeric.
#include <iostream>
#include <sstream>
#include <string>

#include "core/unicode/case.h"
#include "core/unicode/normalize.h"
#include "core/unicode/properties.h"
#include "core/unicode/utf8.h"

using namespace korvane::unicode;

std::string scalars_of(std::string_view text) {
  std::ostringstream out;
  for (size_t i = 0; i < text.size();) out << (i == 0 ? "" : " ") << std::hex << static_cast<uint32_t>(decode(text, i));
  return out.str();
}

int main() {
  for (std::string line; std::getline(std::cin, line);) {
    std::string text, per_char, flags;
    std::istringstream in(line);
    for (std::string hex; in >> hex;) {
      const auto c = static_cast<char32_t>(std::stoul(hex, nullptr, 16));
      append_utf8(text, c);
      append_lower_char(per_char, c);
      flags += static_cast<char>('0' + (is_white_space(c) | is_alphabetic(c) << 1 | is_alphanumeric(c) << 2));
    }
    std::cout << scalars_of(to_nfc(text)) << ';' << scalars_of(per_char) << ';' << scalars_of(to_lower(text)) << ';'
              << flags << std::endl;
  }
  return 0;
}
