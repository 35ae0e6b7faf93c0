// The trace parser and the JSON reader: the reader vectors (with the limits
// some set), every double read back from its written form, texts of several
// lines, and the builder contract. test_agentlog_io.py reads the number
// vectors, records and random documents against Python's float and json.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/agentlog/parser.h"
#include "core/agentlog/writer.h"
#include "core/error.h"
#include "core/json/number_format.h"
#include "core/json/reader.h"
#include "core/json/value_builder.h"
#include "core/json/writer.h"
#include "vectors.h"

namespace korvane::json {
namespace {

using agentlog::Parser;

// What a reader vector expects: the records written back, or the full error
// message and a line feed.
class ReaderVectors : public ::testing::TestWithParam<vectors::Vector> {};

TEST_P(ReaderVectors, MatchesExpectedOutput) {
  const vectors::Vector& v = GetParam();
  const std::string input = vectors::input_bytes(v);
  Parser parser(input);
  for (size_t i = 0; i + 1 < v.args.size(); i += 2) {
    const uint64_t limit = std::stoull(v.args[i + 1]);
    ASSERT_TRUE(v.args[i] == "--max-line-bytes" || v.args[i] == "--max-total-bytes") << v.args[i];
    parser = v.args[i] == "--max-line-bytes" ? parser.with_max_line_bytes(limit) : parser.with_max_total_bytes(limit);
  }
  std::string got;
  try {
    got = agentlog::write_records(parser.collect_all());
  } catch (const Error& e) {
    got = e.message() + "\n";
  }
  EXPECT_EQ(got, v.expected);
  EXPECT_EQ(got.find("hint:") == std::string::npos, v.ok.value());
}

INSTANTIATE_TEST_SUITE_P(All, ReaderVectors, ::testing::ValuesIn(vectors::load_vectors("reader.jsonl")),
                         vectors::vector_test_name);

TEST(Parser, AnErrorIsFinalAndTheLargestLimitsHold) {
  const std::string record = R"({"version":"0.1","id":"r1","kind":"error","ts":"t","payload":null})" "\n";
  const std::string input = record + "{\n" + record;
  Parser parser = Parser(input).with_max_line_bytes(UINT64_MAX).with_max_total_bytes(UINT64_MAX);
  ASSERT_TRUE(parser.next().has_value());
  EXPECT_THROW(parser.next(), Error);
  EXPECT_FALSE(parser.next().has_value());
  EXPECT_EQ(parser.line(), 2u);
}

TEST(Numbers, EveryWrittenDoubleReadsBackUnchanged) {
  std::mt19937_64 rng(20240601);
  for (int i = 0; i < 200000; ++i) {
    // Random bit patterns cover every exponent; every eighth draw is a
    // subnormal, and every eighth an integer-valued double.
    const uint64_t bits = i % 8 == 1 ? rng() & 0x800FFFFFFFFFFFFFull : rng();
    const double d = i % 8 == 2 ? std::ldexp(static_cast<double>(bits >> 11), static_cast<int>(rng() % 64) - 10)
                                : std::bit_cast<double>(bits);
    if (!std::isfinite(d)) continue;
    const JsonValue back = parse_json(format_double(d));
    ASSERT_TRUE(back.if_double() && std::bit_cast<uint64_t>(*back.if_double()) == std::bit_cast<uint64_t>(d)) << format_double(d);
  }
}

// What parse_json makes of texts: the value written back, or the message (""
// where any will do); is_json_text agrees. Texts of several lines, the UTF-8
// check (the parser's is per line), number edges, escaped keys (which a
// value's escapes must not overwrite), keys repeated past the linear scan.
TEST(Reader, TextsReadOrFailWithTheirMessage) {
  const std::string digits = "1" + std::string(399, '0');  // 10^399, beyond the double range
  std::string repeated = "{", kept = "{";  // k0..k16 twice, then k1: first places, last values
  for (int k = 0; k < 34; ++k) repeated += "\"k" + std::to_string(k % 17) + "\":" + std::to_string(k) + ",";
  for (int k = 0; k < 17; ++k) kept += "\"k" + std::to_string(k) + "\":" + (k == 1 ? "0" : std::to_string(17 + k)) + ",";
  kept.back() = '}';
  const std::pair<std::string, std::string> cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {" \n ", "EOF while parsing a value at line 2 column 1"},
      {"[1,\n2,\n]", "trailing comma at line 3 column 1"},
      {"{\"a\":1}\n\n x", "trailing characters at line 3 column 2"},
      {"{\n\"a\"\n1}", "expected `:` at line 3 column 1"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 3"},
      {"[\"ok\\n\", \"\\t\xc3\"]", "invalid unicode code point at line 1 column 14"},
      {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},
      {std::string(128, '[') + std::string(128, ']'), "recursion limit exceeded at line 1 column 128"},
      {"[0.0e99999999999,1e0000000000000000000001,2.4703282292062327e-324,-0.5e-3]", "[0.0,10.0,0.0,-0.0005]"},
      {"[" + digits + "e-100,0." + digits + "," + digits + "e-399,-" + digits + "e-800]", "[1e299,0.1,1.0,-0.0]"},
      {digits, "number out of range at line 1 column 400"},
      {"1e99999999999", "number out of range at line 1 column 12"},
      {"\t{\"a\":[true,false,null,\"\\ud83d\\ude00\\u0000\"]}\r\n", "{\"a\":[true,false,null,\"\U0001F600\\u0000\"]}"},
      {R"({"k\u00e9y":"v\u00e9","a\n":{"b\t":"c\r","d\"":["\/"]}})", R"({"kéy":"vé","a\n":{"b\t":"c\r","d\"":["/"]}})"},
      {repeated + "\"k1\":0}", kept},
      {"NaN", ""}, {"\f{}", ""}, {"\xC2\xA0{}", ""}, {"```json\n{}\n```", ""}, {"Sure! {\"a\":1}", ""}, {"[1] [2]", ""},
  };
  for (const auto& [text, result] : cases) {
    std::string got;
    try {
      got = to_json_text(parse_json(text));
    } catch (const Error& e) {
      got = e.message();
    }
    EXPECT_EQ(result.empty() && got.find(" at line ") != std::string::npos ? "" : got, result) << text;
    EXPECT_EQ(is_json_text(text), !result.empty() && result.find(" at line ") == std::string::npos) << text;
  }
}

// A builder that throws at its n-th call, whose values share one token: what
// the reader built must be released, the builder's exception arrive unchanged.
struct FailingBuilder {
  using Value = std::shared_ptr<const int>;
  using Array = std::vector<Value>;
  using Object = Array;
  static inline const Value token = std::make_shared<const int>(0);

  int calls_left;
  Value make() {
    if (--calls_left < 0) throw std::runtime_error("builder failure");
    return token;
  }
  Value make_null() { return make(); }
  Value make_bool(bool) { return make(); }
  Value make_uint(uint64_t) { return make(); }
  Value make_int(int64_t) { return make(); }
  Value make_double(double) { return make(); }
  Value make_string(std::string_view) { return make(); }
  Array begin_array() { return {}; }
  void push(Array& a, Value&& v) { a.push_back(std::move(v)), make(); }
  Value end_array(Array&&) { return make(); }
  Object begin_object() { return {}; }
  void set(Object& o, std::string_view, Value&& v) { o.push_back(std::move(v)), make(); }
  Value end_object(Object&&) { return make(); }
};

TEST(Builder, ExceptionsReleaseEverythingBuiltSoFar) {
  const std::string text = R"({"a":[1,-2,3.5,"s\n",true,null,{"b":[[],{}]}],"c":{"d":"e","d":"f"}})";
  for (int n = 0, failed = 1; failed; ++n) {
    FailingBuilder builder{n};
    try {
      read_json(text, builder);
      failed = 0;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "builder failure");
    }
    EXPECT_EQ(FailingBuilder::token.use_count(), 1) << "after failing at call " << n;
  }
}

}  // namespace
}  // namespace korvane::json
