// Reads lines of space-separated hexadecimal scalar values from stdin and
// answers each with one line of four ';'-separated fields:
//   the NFC form; the per-character lower-case mapping; the whole-string
//   lower-case form (all three as hexadecimal scalars); and one digit per
//   input scalar, bit 0 White_Space, bit 1 Alphabetic, bit 2 alphanumeric.
// With the argument --version it prints the Unicode version of its tables.
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "core/unicode/case.h"
#include "core/unicode/normalize.h"
#include "core/unicode/properties.h"
#include "core/unicode/tables.h"
#include "core/unicode/utf8.h"

namespace {

using namespace korvane::unicode;

void write_scalars(std::ostream& out, std::string_view text) {
  bool first = true;
  for (size_t i = 0; i < text.size();) {
    out << (first ? "" : " ") << std::hex << static_cast<uint32_t>(decode(text, i));
    first = false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << tables::kUnicodeVersion << '\n';
    return 0;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    std::u32string scalars;
    std::string text;
    std::istringstream in(line);
    for (std::string hex; in >> hex;) {
      scalars += static_cast<char32_t>(std::stoul(hex, nullptr, 16));
      append_utf8(text, scalars.back());
    }
    std::string per_char;
    for (const char32_t c : scalars) append_lower_char(per_char, c);
    write_scalars(std::cout, to_nfc(text));
    std::cout << ';';
    write_scalars(std::cout, per_char);
    std::cout << ';';
    write_scalars(std::cout, to_lower(text));
    std::cout << ';';
    for (const char32_t c : scalars) {
      std::cout << (int(is_white_space(c)) | int(is_alphabetic(c)) << 1 | int(is_alphanumeric(c)) << 2);
    }
    std::cout << std::endl;
  }
  return 0;
}
