// Inputs found by the fuzz targets and the sanitizer builds: each must be
// handled without undefined behaviour (these tests matter most under
// scripts/sanitize.sh) and with the documented result.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/agentlog/parser.h"
#include "core/agentlog/record_reader.h"
#include "core/error.h"
#include "core/json/reader.h"
#include "core/json/value_builder.h"
#include "core/json/writer.h"
#include "core/unicode/utf8.h"

namespace korvane {
namespace {

// A default string_view has no data pointer at all; the parser used to hand
// that pointer to memchr, which must never receive null. Every reader takes
// it as the empty text.
TEST(EmptyViewWithoutData, ParserYieldsNothingAndReadersReportEof) {
  agentlog::Parser parser{std::string_view()};
  EXPECT_FALSE(parser.next().has_value());
  EXPECT_EQ(parser.line(), 1u);
  EXPECT_TRUE(agentlog::Parser(std::string_view()).with_max_line_bytes(0).collect_all().empty());
  EXPECT_TRUE(unicode::is_valid_utf8(std::string_view()));
  EXPECT_FALSE(json::is_json_text(std::string_view()));
  try {
    json::parse_json(std::string_view());
    FAIL() << "parse_json accepted no text";
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), "EOF while parsing a value at line 1 column 0");
  }
  json::JsonValueBuilder builder;
  EXPECT_THROW(agentlog::read_record(std::string_view(), builder), Error);
}

// The compact writer's string escaping, which scans a block at a time, against
// a byte-by-byte reference: every byte value that needs an escape, at every
// offset around block boundaries, alone and in runs, inside plain text.
std::string escaped_by_bytes(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

TEST(CompactWriter, EscapesMatchByteByByteReferenceAtEveryOffset) {
  std::string specials = "\"\\\x7f\xc3\xa9";
  for (int c = 0; c < 0x20; ++c) specials += static_cast<char>(c);
  for (size_t length : {0, 1, 7, 8, 15, 16, 17, 31, 32, 33, 47, 64}) {
    for (size_t at = 0; at < length; ++at) {
      for (const char special : specials) {
        for (size_t run : {1, 2, 17}) {
          std::string text(length, 'a');
          for (size_t k = at; k < std::min(length, at + run); ++k) text[k] = special;
          std::string out = "prefix";
          json::append_json_string(out, text);
          ASSERT_EQ(out, "prefix" + escaped_by_bytes(text)) << "length " << length << " at " << at;
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvane
