// Inputs found by the fuzz targets and the sanitizer builds, and the edges
// of the block-at-a-time text scans: each must be handled without undefined
// behaviour (these tests matter most under scripts/sanitize.sh) and with the
// documented result.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
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

// The escapes of the compact writer, byte by byte.
std::string escaped_by_bytes(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const std::string_view kShort[] = {"\\b", "\\t", "\\n", "", "\\f", "\\r"};
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned char>(c));
    out += c == '"' || c == '\\' ? std::string{'\\', c}
           : c >= 8 && c <= 13 && c != 11 ? std::string(kShort[c - 8])
           : static_cast<unsigned char>(c) < 0x20 ? std::string(hex) : std::string(1, c);
  }
  return out + "\"";
}

// Every byte value that needs an escape, at every offset around the block
// boundaries, alone and in runs, inside plain text.
TEST(CompactWriter, EscapesMatchByteByByteReferenceAtEveryOffset) {
  std::string specials = "\"\\\x7f\xc3\xa9";
  for (int c = 0; c < 0x20; ++c) specials += static_cast<char>(c);
  for (size_t length : {0, 1, 7, 8, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 130}) {
    for (size_t at = 0; at < length; ++at) {
      for (const char special : specials) {
        for (size_t run : {1, 2, 17}) {
          std::string text(length, 'a'), out = "prefix";
          text.replace(at, std::min(run, length - at), std::min(run, length - at), special);
          json::append_json_string(out, text);
          ASSERT_EQ(out, "prefix" + escaped_by_bytes(text)) << "length " << length << " at " << at;
        }
      }
    }
  }
}

// Text scans read whole blocks, past the end of a text only where that
// stays inside its memory page. Texts ending right before a page the
// process may not read must be scanned as well as any other.
TEST(TextScans, TextsEndingBeforeAnUnreadablePage) {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  char* const memory = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(memory, MAP_FAILED);
  ASSERT_EQ(mprotect(memory + page, page, PROT_NONE), 0);
  const std::string pieces[] = {"abc", "caf\xc3\xa9", "e\xcc\x81", "\"\n", std::string(70, 'x')};
  for (const std::string& piece : pieces) {
    for (size_t length = 0; length <= 40 && length <= piece.size() * 40; ++length) {
      std::string text, out;
      while (text.size() < length) text += piece;
      const std::string_view placed(memory + page - text.size(), text.size());
      std::memcpy(memory + page - text.size(), text.data(), text.size());
      json::append_json_string(out, placed);
      EXPECT_EQ(out, escaped_by_bytes(text));
      EXPECT_EQ(unicode::passes_nfc_quick_check(placed), text.find("\xcc\x81") == std::string::npos);
      EXPECT_EQ(agentlog::canonical_bytes(json::JsonValue::borrowing(placed)),
                escaped_by_bytes(unicode::to_nfc(text)));
    }
  }
  munmap(memory, 2 * page);
}

}  // namespace
}  // namespace korvane
