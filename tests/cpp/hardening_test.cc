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
#include "core/unicode/utf8.h"

namespace korvane {
namespace {

// A default string_view has no data pointer at all; the parser used to hand
// that pointer to memchr, which must never receive null.
TEST(EmptyViewWithoutData, ParserYieldsNothing) {
  agentlog::Parser parser{std::string_view()};
  EXPECT_FALSE(parser.next().has_value());
  EXPECT_EQ(parser.line(), 1u);
  EXPECT_TRUE(agentlog::Parser(std::string_view()).with_max_line_bytes(0).collect_all().empty());
}

TEST(EmptyViewWithoutData, ReadersReportEof) {
  EXPECT_TRUE(unicode::is_valid_utf8(std::string_view()));
  EXPECT_FALSE(json::is_json_text(std::string_view()));
  try {
    json::parse_json(std::string_view());
    FAIL() << "parse_json accepted no text";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "EOF while parsing a value at line 1 column 0");
  }
  json::JsonValueBuilder builder;
  EXPECT_THROW(agentlog::read_record(std::string_view(), builder), Error);
}

}  // namespace
}  // namespace korvane
