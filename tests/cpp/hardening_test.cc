// Inputs found by the fuzz targets and the sanitizer builds, and the edges of
// the block-at-a-time text scans: no undefined behaviour (these matter most
// under scripts/sanitize.sh), and the documented result.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "core/agentlog/canonical.h"
#include "core/agentlog/parser.h"
#include "core/agentlog/record_reader.h"
#include "core/error.h"
#include "core/json/reader.h"
#include "core/json/value_builder.h"
#include "core/json/writer.h"
#include "core/unicode/normalize.h"
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
  EXPECT_TRUE(unicode::is_valid_utf8(std::string_view()) && !json::is_json_text(std::string_view()));
  EXPECT_THROW(json::parse_json(std::string_view()), Error);
  json::JsonValueBuilder builder;
  EXPECT_THROW(agentlog::read_record(std::string_view(), builder), Error);
}

// Text scans read whole blocks, past a text's end only inside its memory
// page: texts ending right before an unreadable page scan as any other. Each
// text is copies of a piece: {piece, written, written canonically}.
TEST(TextScans, TextsEndingBeforeAnUnreadablePage) {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  char* const memory = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(memory, MAP_FAILED);
  ASSERT_EQ(mprotect(memory + page, page, PROT_NONE), 0);
  const std::string pieces[][3] = {{"abc", "abc", "abc"}, {"caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},
                                   {"e\xcc\x81", "e\xcc\x81", "\xc3\xa9"}, {"\"\n\x01", "\\\"\\n\\u0001", "\\\"\\n\\u0001"},
                                   {std::string(70, 'x'), std::string(70, 'x'), std::string(70, 'x')}};
  for (const auto& [piece, written, canonical] : pieces) {
    std::string text, expected = "\"", expected_canonical = "\"";
    for (size_t copies = 0; text.size() <= 80; ++copies, text += piece, expected += written, expected_canonical += canonical) {
      std::string out;
      const std::string_view placed(memory + page - text.size(), text.size());
      std::memcpy(memory + page - text.size(), text.data(), text.size());
      json::append_json_string(out, placed);
      EXPECT_EQ(out, expected + "\"") << copies << " copies of " << piece;
      EXPECT_EQ(unicode::passes_nfc_quick_check(placed), piece != "e\xcc\x81" || copies == 0);
      EXPECT_EQ(agentlog::canonical_bytes(json::JsonValue::borrowing(placed)), expected_canonical + "\"");
    }
  }
  munmap(memory, 2 * page);
}

}  // namespace
}  // namespace korvane
