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
constexpr size_t kMaxEscape = 6;

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

// Writes text quoted and escaped, a block at a time: each block is stored
// to the output whole, and the output then advanced to the first byte that
// needs an escape (or past the block's share of the text).
void append_quoted(Output& out, std::string_view text) {
  using unicode::kTextBlock;
  const char* p = text.data();
  const char* const end = p + text.size();
  char* w = out.room(1);
  *w++ = '"';
  while (p != end) {
    out.commit(w);
    w = out.room(kTextBlock + kMaxEscape);
    const size_t n = std::min(static_cast<size_t>(end - p), kTextBlock);
    const unicode::TextBlock v = unicode::load_block(p, n);
    unicode::store_block(w, v);
    const auto k = static_cast<size_t>(std::countr_zero(unicode::json_escape_mask(v)));  // 32 for none
    if (k >= n) {  // bits past n are for bytes past the text
      w += n;
      p += n;
      continue;
    }
    w = write_escape(w + k, static_cast<unsigned char>(p[k]));
    p += k + 1;
  }
  out.commit(w);
  out.put('"');
}

// The interchange form: strings as they are, doubles in the interchange
// form, members in stored order.
struct InterchangeForm {
  void string(Output& out, std::string_view text) { append_quoted(out, text); }
  void key(Output& out, std::string_view text) { append_quoted(out, text); }
  void number(Output& out, double value) { out.commit(write_double(out.room(kMaxNumberChars), value)); }
  size_t open_object(const JsonObject& object, std::pmr::vector<FormMember>& members) {
    for (const JsonObject::Member& m : object) members.push_back({m.key, &m});
    return 0;
  }
  void close_object(size_t) {}
};

}  // namespace

void append_json_string(Output& out, std::string_view text) { append_quoted(out, text); }

void append_json(Output& out, const JsonValue& value) {
  InterchangeForm form;
  append_compact(out, value, form);
}

void append_json_string(std::string& out, std::string_view text) {
  Output o;
  append_json_string(o, text);
  out += o.view();
}

void append_json(std::string& out, const JsonValue& value) {
  Output o;
  append_json(o, value);
  out += o.view();
}

std::string to_json_text(const JsonValue& value) {
  std::string out;
  append_json(out, value);
  return out;
}

}  // namespace korvane::json
