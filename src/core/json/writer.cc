#include "core/json/writer.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "core/unicode/blocks.h"

namespace korvane::json {
namespace {

// For each byte: 0 copies it as it is, otherwise the character after the
// reverse solidus ('u' for the \u00XX form).
constexpr auto kEscape = [] {
  struct Table {
    char c[256];
  } t{};
  for (int i = 0; i < 0x20; ++i) t.c[i] = 'u';
  t.c[0x08] = 'b';
  t.c[0x09] = 't';
  t.c[0x0A] = 'n';
  t.c[0x0C] = 'f';
  t.c[0x0D] = 'r';
  t.c[0x22] = '"';
  t.c[0x5C] = '\\';
  return t;
}();

// The longest escape, \u00XX.
constexpr size_t kMaxEscape = kMaxEscapedBytesPerByte;

char* write_escape(char* w, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char e = kEscape.c[c];
  w[0] = '\\';
  w[1] = e;
  if (e != 'u') return w + 2;
  w[2] = '0';
  w[3] = '0';
  w[4] = kHex[c >> 4];
  w[5] = kHex[c & 15];
  return w + 6;
}

// Writes text quoted and escaped, then `suffix` when it is not NUL, a block
// at a time: each block is stored to the output whole, and the output then
// advanced to the first byte that needs an escape (or past the block's share
// of the text). Each step makes room for four blocks, an escape and the
// closing quote and suffix. With kSeeNonAscii, returns whether any byte of
// text is 0x80 or above.
template <bool kSeeNonAscii>
bool append_quoted(Output& out, std::string_view text, char suffix) {
  using unicode::kTextBlock;
  constexpr size_t kRun = 4 * kTextBlock;
  constexpr size_t kStepRoom = kRun + kMaxEscape + 2;
  static_assert(1 + kStepRoom <= kQuotedSlackBytes);
  const char* p = text.data();
  const char* const end = p + text.size();
  unsigned non_ascii = 0;
  char* w = out.room(1 + kStepRoom);
  *w++ = '"';
  while (p != end) {
    // Long stretches without escapes go four blocks at a time.
    while (static_cast<size_t>(end - p) >= kRun) {
      const unicode::TextBlock a = unicode::load_block(p, kTextBlock);
      const unicode::TextBlock b = unicode::load_block(p + kTextBlock, kTextBlock);
      const unicode::TextBlock c = unicode::load_block(p + 2 * kTextBlock, kTextBlock);
      const unicode::TextBlock d = unicode::load_block(p + 3 * kTextBlock, kTextBlock);
      if ((unicode::json_escape_mask(a) | unicode::json_escape_mask(b) | unicode::json_escape_mask(c) |
           unicode::json_escape_mask(d)) != 0) {
        break;
      }
      if constexpr (kSeeNonAscii) {
        non_ascii |= unicode::non_ascii_mask(a) | unicode::non_ascii_mask(b) | unicode::non_ascii_mask(c) |
                     unicode::non_ascii_mask(d);
      }
      unicode::store_block(w, a);
      unicode::store_block(w + kTextBlock, b);
      unicode::store_block(w + 2 * kTextBlock, c);
      unicode::store_block(w + 3 * kTextBlock, d);
      w += kRun;
      p += kRun;
      out.commit(w);
      w = out.room(kStepRoom);
    }
    if (p == end) break;
    const size_t n = std::min(static_cast<size_t>(end - p), kTextBlock);
    const unicode::TextBlock v = unicode::load_block(p, n);
    unicode::store_block(w, v);
    const auto k = static_cast<size_t>(std::countr_zero(unicode::json_escape_mask(v)));  // 32 for none
    const size_t plain = std::min(k, n);  // bytes copied as they are; bits past n are for bytes past the text
    if constexpr (kSeeNonAscii) non_ascii |= unicode::non_ascii_mask(v) & ((1u << plain) - 1);
    if (k >= n) {
      w += n;
      p += n;
    } else {
      w = write_escape(w + k, static_cast<unsigned char>(p[k]));
      p += k + 1;
    }
    if (p == end) break;
    out.commit(w);
    w = out.room(kStepRoom);
  }
  *w++ = '"';
  if (suffix != '\0') *w++ = suffix;
  out.commit(w);
  return non_ascii != 0;
}

// The interchange form: strings as they are, doubles in the interchange
// form, members in stored order.
struct InterchangeForm {
  void string(Output& out, std::string_view text) { append_quoted<false>(out, text, '\0'); }
  void key(Output& out, std::string_view text) { append_quoted<false>(out, text, ':'); }
  void number(Output& out, double value) { out.commit(write_double(out.room(kMaxNumberChars), value)); }
  size_t open_object(const JsonObject& object, std::pmr::vector<FormMember>& members) {
    for (const JsonObject::Member& m : object) members.push_back({m.key, &m});
    return 0;
  }
  void close_object(size_t) {}
};

}  // namespace

void append_json_string(Output& out, std::string_view text) { append_quoted<false>(out, text, '\0'); }

bool append_json_string_seeing_non_ascii(Output& out, std::string_view text) {
  return append_quoted<true>(out, text, '\0');
}

void append_json_key(Output& out, std::string_view text) { append_quoted<false>(out, text, ':'); }

void append_json(Output& out, const JsonValue& value) {
  InterchangeForm form;
  append_compact(out, value, form);
}

void append_json_string(std::string& out, std::string_view text) {
  Output o;
  append_json_string(o, text);
  out += o.view();
}

std::string to_json_text(const JsonValue& value) {
  Output out;
  append_json(out, value);
  return std::string(out.view());
}

}  // namespace korvane::json
