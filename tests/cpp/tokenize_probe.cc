// Reads lines of hexadecimal UTF-8 text on stdin; for each writes one line
// with the tokens of the text, each in hexadecimal, separated by spaces.
// Driven by tokenize_vs_unicodedata.py.
#include <iostream>
#include <string>

#include "core/diff/semantic.h"
#include "core/unicode/utf8.h"

int main() {
  std::ios::sync_with_stdio(false);
  static const char kDigits[] = "0123456789abcdef";
  const auto hex = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::string line, text, out;
  while (std::getline(std::cin, line)) {
    text.clear();
    for (size_t k = 0; k + 1 < line.size(); k += 2) text += static_cast<char>(hex(line[k]) << 4 | hex(line[k + 1]));
    if (!korvane::unicode::is_valid_utf8(text)) {
      std::cerr << "invalid UTF-8 input\n";
      return 2;
    }
    out.clear();
    for (const std::string& token : korvane::diff::tokenize(text)) {
      out += out.empty() ? "" : " ";
      for (unsigned char b : token) out += {kDigits[b >> 4], kDigits[b & 15]};
    }
    std::cout << out << '\n';
  }
  return 0;
}
