#include "core/unicode/case.h"

#include <cstdint>
#include <cstring>

#include "core/unicode/tables.h"
#include "core/unicode/utf8.h"

namespace korvane::unicode {
namespace {

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

char ascii_lower(unsigned char b) { return static_cast<char>(unsigned(b - 'A') < 26u ? b + 32 : b); }

bool is_scalar(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

// Lower-cases the n ASCII bytes at src into dst, eight at a time.
void lower_ascii(char* dst, const char* src, size_t n) {
  size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    uint64_t word;
    std::memcpy(&word, src + k, 8);
    word = lower_ascii_word(word);
    std::memcpy(dst + k, &word, 8);
  }
  for (; k < n; ++k) dst[k] = ascii_lower(static_cast<unsigned char>(src[k]));
}

// The end of the run of ASCII bytes that starts at text[i].
size_t ascii_run_end(std::string_view text, size_t i) {
  const size_t n = text.size();
  for (uint64_t word; i + 8 <= n; i += 8) {
    std::memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080ull) break;
  }
  while (i < n && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  return i;
}

// Writes the lower-case form of the scalar c (not ASCII) at w; returns its end.
char* write_lower(char* w, char32_t c) {
  const tables::CharInfo& info = tables::char_info(c);
  if (info.flags & tables::kSpecialLower) {
    for (const char32_t m : tables::special_lower(c)) w = write_utf8(w, m);
    return w;
  }
  return write_utf8(w, static_cast<char32_t>(static_cast<int32_t>(c) + info.lower_delta));
}

// Whether, skipping case-ignorable characters, the nearest character before
// text[i] (or from text[i] on) exists and is cased. Characters that are both
// cased and case-ignorable are skipped, as in Python's and Rust's
// lower-casing.
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
  const tables::CharInfo& info = tables::char_info(c);
  if (info.flags & tables::kSpecialLower) {
    for (const char32_t m : tables::special_lower(c)) append_utf8(out, m);
    return;
  }
  append_utf8(out, static_cast<char32_t>(static_cast<int32_t>(c) + info.lower_delta));
}

std::string to_lower(std::string_view text) {
  std::string out;
  if (is_ascii(text)) {
    out.resize(text.size());
    lower_ascii(out.data(), text.data(), text.size());
    return out;
  }
  // No scalar's lower-case form is more than half as long again as the
  // scalar (U+0130, U+023A and U+023E grow from two bytes to three; the
  // generator checks the bound), so the output fits in 1.5 times the input.
  out.resize(text.size() + text.size() / 2);
  char* w = out.data();
  size_t i = 0;
  while (i < text.size()) {
    if (const size_t end = ascii_run_end(text, i); end > i) {
      lower_ascii(w, text.data() + i, end - i);
      w += end - i;
      i = end;
      continue;
    }
    const size_t start = i;
    const char32_t c = decode(text, i);
    if (c == kCapitalSigma) {
      w = write_utf8(w, cased_before(text, start) && !cased_after(text, i) ? kFinalSigma : kSmallSigma);
    } else {
      w = write_lower(w, c);
    }
  }
  out.resize(static_cast<size_t>(w - out.data()));
  return out;
}

}  // namespace korvane::unicode
