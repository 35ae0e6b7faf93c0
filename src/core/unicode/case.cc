#include "core/unicode/case.h"

#include "core/unicode/tables.h"
#include "core/unicode/utf8.h"

namespace korvane::unicode {
namespace {

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

char ascii_lower(unsigned char b) { return static_cast<char>(unsigned(b - 'A') < 26u ? b + 32 : b); }

bool is_scalar(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

// Decodes the scalar that ends at text[i] and moves i to its start. text
// must be valid UTF-8 and i > 0.
char32_t decode_before(std::string_view text, size_t& i) {
  size_t start = i - 1;
  while ((static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  i = start;
  size_t at = start;
  return decode(text, at);
}

// Whether, after skipping case-ignorable characters, the next character in
// the given direction exists and is cased. Characters that are both cased
// and case-ignorable are skipped, as in Python's and Rust's lower-casing.
bool cased_before(std::string_view text, size_t i) {
  while (i > 0) {
    const uint16_t flags = tables::char_info(decode_before(text, i)).flags;
    if ((flags & tables::kCaseIgnorable) == 0) return (flags & tables::kCased) != 0;
  }
  return false;
}

bool cased_after(std::string_view text, size_t i) {
  while (i < text.size()) {
    const uint16_t flags = tables::char_info(decode(text, i)).flags;
    if ((flags & tables::kCaseIgnorable) == 0) return (flags & tables::kCased) != 0;
  }
  return false;
}

}  // namespace

size_t lower_mapping(char32_t c, char32_t out[3]) {
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(ascii_lower(static_cast<unsigned char>(c)));
    return 1;
  }
  if (!is_scalar(c)) {
    out[0] = c;
    return 1;
  }
  const tables::CharInfo& info = tables::char_info(c);
  if (info.flags & tables::kSpecialLower) {
    const auto mapping = tables::special_lower(c);
    for (size_t k = 0; k < mapping.size(); ++k) out[k] = mapping[k];
    return mapping.size();
  }
  out[0] = static_cast<char32_t>(static_cast<int32_t>(c) + info.lower_delta);
  return 1;
}

void append_lower_char(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += ascii_lower(static_cast<unsigned char>(c));
    return;
  }
  if (!is_scalar(c)) {
    append_utf8(out, 0xFFFD);
    return;
  }
  char32_t mapped[3];
  const size_t count = lower_mapping(c, mapped);
  for (size_t k = 0; k < count; ++k) append_utf8(out, mapped[k]);
}

std::string to_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out += ascii_lower(b);
      ++i;
      continue;
    }
    const size_t start = i;
    const char32_t c = decode(text, i);
    if (c == kCapitalSigma) {
      append_utf8(out, cased_before(text, start) && !cased_after(text, i) ? kFinalSigma : kSmallSigma);
    } else {
      append_lower_char(out, c);
    }
  }
  return out;
}

}  // namespace korvane::unicode
