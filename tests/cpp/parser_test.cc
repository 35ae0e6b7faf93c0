// The .agentlog parser: every reader vector, the limits, the iterator's
// life cycle, hostile input, and the real traces of the corpus.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "core/agentlog/parser.h"
#include "core/agentlog/writer.h"
#include "core/error.h"
#include "core/json/writer.h"
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
  const std::string input = std::string(kRecord) + "\n" + std::string(kRecord);
  EXPECT_EQ(Parser(input).with_max_line_bytes(UINT64_MAX).with_max_total_bytes(UINT64_MAX).collect_all().size(), 2u);
}

std::string record_with_payload(std::string_view payload) {
  return R"({"version":"0.1","id":"r1","kind":"error","ts":"t","payload":)" + std::string(payload) + "}";
}

// Hostile inputs the vectors leave out end with exactly one error message
// (never a crash, never a record): bytes a C string would stop at, and
// nesting far past the limit, in the payload and in a skipped unknown value.
TEST(Parser, HostileInputFailsWithAMessage) {
  const std::string deep = std::string(10000, '[') + "0" + std::string(10000, ']');
  std::string objects;
  for (int i = 0; i < 10000; ++i) objects += "{\"a\":";
  const std::pair<std::string, std::string> cases[] = {
      {record_with_payload(std::string("\"a\0b\"", 5)),
       "parse error on line 1: control character (\\u0000-\\u001F) found while parsing a string"},
      {std::string("{\0}", 3), "parse error on line 1: key must be a string"},
      {record_with_payload(deep), "parse error on line 1: recursion limit exceeded at line 1 column 188"},
      {objects, "parse error on line 1: recursion limit exceeded"},
      {R"({"x":)" + deep, "parse error on line 1: recursion limit exceeded at line 1 column 132"},
      {record_with_payload("1" + std::string(400, '0') + "e99999999999"), "parse error on line 1: number out of range"},
  };
  for (const auto& [input, expected_start] : cases) {
    const std::string got = parse_and_write(input);
    EXPECT_EQ(got.substr(0, expected_start.size()), expected_start) << got.substr(0, 200);
  }
}

TEST(Parser, FourHundredDigitNumbers) {
  const std::string digits = "1" + std::string(399, '0');  // 10^399, beyond the double range
  const auto records =
      Parser(record_with_payload("[" + digits + "e-100,0." + digits + "," + digits + "e-399,-" + digits + "e-800]"))
          .collect_all();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(json::to_json_text(records[0].payload), "[1e299,0.1,1.0,-0.0]");
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
      EXPECT_TRUE(again[i].id == records[i].id && again[i].kind == records[i].kind &&
                  again[i].parent == records[i].parent && again[i].payload == records[i].payload)
          << entry.path() << " record " << i;
    }
    EXPECT_EQ(write_records(again), written);
    ++traces;
  }
  EXPECT_GT(traces, 10u);
}

}  // namespace
}  // namespace korvane::agentlog
