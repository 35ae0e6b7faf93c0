#include "core/json/writer.h"

#include <charconv>
#include <cstdint>
#include <cstring>

#include "core/json/number_format.h"

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

// True when one of the eight bytes of word is below 0x20, a quotation mark
// or a reverse solidus (exact "any byte" tests of the classic bit tricks).
inline bool any_byte_needs_escape(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  const auto has_zero = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
  const uint64_t below_space = (word - kOnes * 0x20) & ~word & kHigh;
  return (below_space | has_zero(word ^ (kOnes * '"')) | has_zero(word ^ (kOnes * '\\'))) != 0;
}

template <typename Int>
void append_integer(std::string& out, Int value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;
  out.append(buf, end);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run = 0;  // start of the pending run of bytes copied unchanged
  size_t i = 0;
  for (; i < text.size(); ++i) {
    // Skip eight bytes at a time while none of them needs an escape.
    while (i + 8 <= text.size()) {
      uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if (any_byte_needs_escape(word)) break;
      i += 8;
    }
    if (i >= text.size()) break;
    const char e = kEscape.c[static_cast<unsigned char>(text[i])];
    if (e == 0) continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    if (e == 'u') {
      const auto c = static_cast<unsigned char>(text[i]);
      const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.append(esc, 6);
    } else {
      const char esc[2] = {'\\', e};
      out.append(esc, 2);
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

void append_json(std::string& out, const JsonValue& value) {
  switch (value.type()) {
    case JsonValue::Type::kNull:
      out += "null";
      return;
    case JsonValue::Type::kBool:
      out += *value.if_bool() ? "true" : "false";
      return;
    case JsonValue::Type::kUInt:
      append_integer(out, *value.if_uint());
      return;
    case JsonValue::Type::kInt:
      append_integer(out, *value.if_int());
      return;
    case JsonValue::Type::kDouble:
      append_double(out, *value.if_double());
      return;
    case JsonValue::Type::kString:
      append_json_string(out, *value.if_string());
      return;
    case JsonValue::Type::kArray: {
      out += '[';
      bool first = true;
      for (const JsonValue& element : *value.if_array()) {
        if (!first) out += ',';
        first = false;
        append_json(out, element);
      }
      out += ']';
      return;
    }
    case JsonValue::Type::kObject: {
      out += '{';
      bool first = true;
      for (const JsonObject::Member& m : *value.if_object()) {
        if (!first) out += ',';
        first = false;
        append_json_string(out, m.key);
        out += ':';
        append_json(out, m.value);
      }
      out += '}';
      return;
    }
  }
}

std::string to_json_text(const JsonValue& value) {
  std::string out;
  append_json(out, value);
  return out;
}

}  // namespace korvane::json
