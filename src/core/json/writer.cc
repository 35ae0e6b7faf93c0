#include "core/json/writer.h"

#include <cstdint>
#include <cstring>

#include "core/json/number_format.h"
#include "core/json/reader.h"  // detail::special_in_block

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


}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* run = p;  // start of the pending run of bytes copied unchanged
  for (;;) {
    // Skip a block at a time (16 bytes with SSE2) while no byte needs an
    // escape, then byte by byte over a short tail.
    while (static_cast<size_t>(end - p) >= detail::kBlock) {
      const size_t k = detail::special_in_block(p);
      p += k;
      if (k != detail::kBlock) break;
    }
    while (p != end && kEscape.c[static_cast<unsigned char>(*p)] == 0) ++p;
    if (p == end) break;
    out.append(run, static_cast<size_t>(p - run));
    const auto c = static_cast<unsigned char>(*p);
    const char e = kEscape.c[c];
    if (e == 'u') {
      const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.append(esc, 6);
    } else {
      const char esc[2] = {'\\', e};
      out.append(esc, 2);
    }
    run = ++p;
  }
  out.append(run, static_cast<size_t>(end - run));
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
