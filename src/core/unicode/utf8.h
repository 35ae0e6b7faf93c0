// UTF-8 helpers shared by the reader, the Unicode layer and the diff.
//
// decode() and the scalar iteration assume text already known to be valid
// UTF-8 (every text inside a JsonValue is); is_valid_utf8() is the check made
// on untrusted bytes (RFC 3629: no overlong forms, no surrogates, nothing
// above U+10FFFF).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::unicode {

bool is_valid_utf8(std::string_view bytes);

// True when no byte is 0x80 or above; such text is its own NFC and its own
// lower-case form outside A-Z.
bool is_ascii(std::string_view bytes);

// Decodes the scalar value starting at text[i] and advances i past it.
// text must be valid UTF-8 and i < text.size().
inline char32_t decode(std::string_view text, size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  const auto cont = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(text[i + k]) & 0x3F); };
  char32_t c;
  if (b0 < 0xE0) {
    c = (char32_t(b0 & 0x1F) << 6) | cont(1);
    i += 2;
  } else if (b0 < 0xF0) {
    c = (char32_t(b0 & 0x0F) << 12) | (cont(1) << 6) | cont(2);
    i += 3;
  } else {
    c = (char32_t(b0 & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
    i += 4;
  }
  return c;
}

// Decodes the scalar value that ends at text[i - 1] and moves i back to its
// start. text must be valid UTF-8 and i > 0.
inline char32_t decode_before(std::string_view text, size_t& i) {
  do --i;
  while ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80);
  size_t at = i;
  return decode(text, at);
}

// Writes the UTF-8 form of the scalar value c (c must not be a surrogate) at
// w, which has room for 4 bytes, and returns its end.
inline char* write_utf8(char* w, char32_t c) {
  if (c < 0x80) {
    *w++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *w++ = static_cast<char>(0xC0 | (c >> 6));
    *w++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *w++ = static_cast<char>(0xE0 | (c >> 12));
    *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *w++ = static_cast<char>(0xF0 | (c >> 18));
    *w++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return w;
}

// Appends the UTF-8 form of the scalar value c (c must not be a surrogate).
inline void append_utf8(std::string& out, char32_t c) {
  char bytes[4];
  out.append(bytes, write_utf8(bytes, c));
}

}  // namespace korvane::unicode
