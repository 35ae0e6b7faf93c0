// The .agentlog parser: every reader vector, the limits, the iterator's
// life cycle, hostile input, and the real traces of the corpus.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/agentlog/parser.h"
#include "core/agentlog/writer.h"
#include "core/error.h"
#include "vectors.h"

namespace korvane::agentlog {
namespace {

using vectors::Vector;

// What the reader vectors expect: the records written back, or the full
// error message and a line feed.
std::string parse_and_write(const std::string& input, const std::vector<std::string>& args = {}) {
  Parser parser(input);
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    const uint64_t limit = std::stoull(args[i + 1]);
    if (args[i] == "--max-line-bytes") {
      parser = parser.with_max_line_bytes(limit);
    } else if (args[i] == "--max-total-bytes") {
      parser = parser.with_max_total_bytes(limit);
    } else {
      ADD_FAILURE() << "unknown argument " << args[i];
    }
  }
  try {
    return write_records(parser.collect_all());
  } catch (const Error& e) {
    return std::string(e.what()) + "\n";
  }
}

class ReaderVectors : public ::testing::TestWithParam<Vector> {};

TEST_P(ReaderVectors, MatchesExpectedOutput) {
  const Vector& v = GetParam();
  const std::string got = parse_and_write(vectors::input_bytes(v), v.args);
  EXPECT_EQ(got, v.expected);
  if (v.ok) {
    EXPECT_EQ(got.find("hint:") == std::string::npos, *v.ok);
  }
}

INSTANTIATE_TEST_SUITE_P(All, ReaderVectors, ::testing::ValuesIn(vectors::load_vectors("reader.jsonl")),
                         vectors::vector_test_name);

constexpr std::string_view kRecord =
    R"({"version":"0.1","id":"r1","kind":"chat_response","ts":"t","payload":{"text":"hi"}})";

TEST(Parser, EndAndErrorAreFinal) {
  const std::string input = std::string(kRecord) + "\n{\n" + std::string(kRecord) + "\n";
  Parser parser(input);
  ASSERT_TRUE(parser.next().has_value());
  EXPECT_THROW(parser.next(), Error);
  EXPECT_EQ(parser.line(), 2u);
  EXPECT_FALSE(parser.next().has_value());
  EXPECT_FALSE(parser.next().has_value());

  Parser empty("");
  EXPECT_FALSE(empty.next().has_value());
  EXPECT_FALSE(empty.next().has_value());
}

TEST(Parser, TotalSaturatesInsteadOfWrapping) {
  // A line limit of the largest value still reads lines (the cap of limit + 1
  // saturates), and the total never wraps below the limit.
  const std::string input = std::string(kRecord) + "\n" + std::string(kRecord);
  Parser parser = Parser(input).with_max_line_bytes(UINT64_MAX).with_max_total_bytes(UINT64_MAX);
  EXPECT_EQ(parser.collect_all().size(), 2u);
}

// Hostile inputs end with exactly one error message (never a crash, never a
// record), whatever the line holds.
struct Hostile {
  const char* name;
  std::string input;
  std::string expected_start;
};

void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }

class HostileInput : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileInput, FailsWithAMessage) {
  const Hostile& h = GetParam();
  const std::string got = parse_and_write(h.input);
  EXPECT_EQ(got.substr(0, h.expected_start.size()), h.expected_start) << got.substr(0, 200);
}

std::string nested(size_t depth, std::string_view inner) {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

std::string record_with_payload(std::string_view payload) {
  return R"({"version":"0.1","id":"r1","kind":"error","ts":"t","payload":)" + std::string(payload) + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileInput,
    ::testing::Values(
        Hostile{"nul byte", record_with_payload(std::string("\"a\0b\"", 5)),
                "parse error on line 1: control character (\\u0000-\\u001F) found while parsing a string"},
        Hostile{"nul outside strings", std::string("{\0}", 3), "parse error on line 1: key must be a string"},
        Hostile{"raw escape character", record_with_payload("\"\x1b[0m\""), "parse error on line 1: control character"},
        Hostile{"bom", "\xEF\xBB\xBF" + std::string(kRecord), "parse error on line 1: expected value at line 1 column 1"},
        Hostile{"lone surrogate escape", record_with_payload(R"("\udfff")"),
                "parse error on line 1: lone leading surrogate in hex escape"},
        Hostile{"128 levels", record_with_payload(nested(127, "")),
                "parse error on line 1: recursion limit exceeded at line 1 column 188"},
        Hostile{"10000 levels", record_with_payload(nested(10000, "0")),
                "parse error on line 1: recursion limit exceeded at line 1 column 188"},
        Hostile{"10000 objects", [] {
                  std::string s;
                  for (int i = 0; i < 10000; ++i) s += "{\"a\":";
                  return s;
                }(),
                "parse error on line 1: recursion limit exceeded"},
        Hostile{"10000 levels under an unknown key", R"({"x":)" + nested(10000, ""),
                "parse error on line 1: recursion limit exceeded at line 1 column 132"},
        Hostile{"400-digit exponent overflow", record_with_payload("1" + std::string(400, '0') + "e99999999999"),
                "parse error on line 1: number out of range"},
        Hostile{"invalid UTF-8 in a string", record_with_payload("\"\xC3\x28\""),
                "io error on line 1: stream did not contain valid UTF-8"},
        Hostile{"truncated 4-byte sequence", record_with_payload("\"\xF0\x9F\x98\""), "io error on line 1"},
        Hostile{"line of spaces", std::string(1000, ' '),
                "parse error on line 1: EOF while parsing a value at line 1 column 1000"}),
    [](const ::testing::TestParamInfo<Hostile>& info) {
      std::string name;
      for (const char* c = info.param.name; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
      return name;
    });

TEST(Parser, LineOfSixteenMebibytesAndOneByte) {
  // Built here rather than as a test parameter, so that registering the
  // tests does not allocate it.
  EXPECT_EQ(parse_and_write(std::string(kDefaultMaxLineBytes, 'x') + "\n"),
            "line 1 exceeds byte limit (16777217 > 16777216)\n"
            "hint: raise via Parser::with_max_line_bytes or check for corrupt input\n");
  EXPECT_EQ(parse_and_write(std::string(kDefaultMaxLineBytes - 1, 'x') + "\n").substr(0, 47),
            "parse error on line 1: expected value at line 1");
}

TEST(Parser, FourHundredDigitNumbers) {
  const std::string digits = "1" + std::string(399, '0');  // 10^399, beyond the double range
  const auto records =
      Parser(record_with_payload("[" + digits + "e-100,0." + digits + "," + digits + "e-399,-" + digits + "e-800]"))
          .collect_all();
  ASSERT_EQ(records.size(), 1u);
  const auto& a = *records[0].payload.if_array();
  EXPECT_EQ(*a[0].if_double(), 1e299);
  EXPECT_EQ(*a[1].if_double(), 0.1);
  EXPECT_EQ(*a[2].if_double(), 1.0);
  EXPECT_TRUE(std::signbit(*a[3].if_double()) && *a[3].if_double() == 0.0);
  EXPECT_EQ(parse_and_write(record_with_payload(digits)).substr(0, 45), "parse error on line 1: number out of range at");
}

// Every trace of the corpus parses, and writing its records and parsing the
// result again gives equal records and the same bytes.
TEST(Corpus, TracesRoundTrip) {
  const std::filesystem::path dir = std::filesystem::path(KORVANE_TEST_DATA) / "corpus";
  size_t traces = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".agentlog") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    const std::string bytes = content.str();
    const std::vector<Record> records = Parser(bytes).collect_all();
    ASSERT_FALSE(records.empty()) << entry.path();
    const std::string written = write_records(records);
    const std::vector<Record> again = Parser(written).collect_all();
    ASSERT_EQ(again.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(again[i].id, records[i].id);
      EXPECT_EQ(again[i].kind, records[i].kind);
      EXPECT_EQ(again[i].parent, records[i].parent);
      EXPECT_TRUE(again[i].payload == records[i].payload) << entry.path() << " record " << i;
    }
    EXPECT_EQ(write_records(again), written);
    ++traces;
  }
  EXPECT_GT(traces, 10u);
}

}  // namespace
}  // namespace korvane::agentlog
