// The strict JSON reader: number forms against the writer, positions of
// syntax errors in multi-line texts, the validity test, the builder contract
// (views, repeated keys, exception safety) and randomized round trips.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json/number_format.h"
#include "core/json/reader.h"
#include "core/json/value_builder.h"
#include "core/json/writer.h"
#include "core/unicode/utf8.h"
#include "vectors.h"

namespace korvane::json {
namespace {

using vectors::Vector;

uint64_t bits_of(double d) { return std::bit_cast<uint64_t>(d); }

// double_form.jsonl: each input line (a decimal, or "bits:" and 16 hex
// digits) read as a double and written in the interchange form. Every
// written double must also read back as exactly the same double.
class DoubleForm : public ::testing::TestWithParam<Vector> {};

TEST_P(DoubleForm, WritesAndReadsBack) {
  const Vector& v = GetParam();
  std::string out;
  size_t start = 0;
  while (start < v.input.size()) {
    size_t stop = v.input.find('\n', start);
    if (stop == std::string::npos) stop = v.input.size();
    const std::string line = v.input.substr(start, stop - start);
    start = stop + 1;
    double d;
    if (line.rfind("bits:", 0) == 0) {
      d = std::bit_cast<double>(std::stoull(line.substr(5), nullptr, 16));
    } else {
      ASSERT_TRUE(decimal_to_double(line.data(), line.data() + line.size(), d)) << line;
    }
    const size_t written = out.size();
    append_double(out, d);
    if (std::isfinite(d)) {
      const JsonValue back = parse_json(std::string_view(out).substr(written));
      ASSERT_NE(back.if_double(), nullptr) << out.substr(written);
      EXPECT_EQ(bits_of(*back.if_double()), bits_of(d)) << out.substr(written);
    }
    out += '\n';
  }
  EXPECT_EQ(out, v.expected);
}

INSTANTIATE_TEST_SUITE_P(All, DoubleForm, ::testing::ValuesIn(vectors::load_vectors("double_form.jsonl")),
                         vectors::vector_test_name);

TEST(Numbers, EveryWrittenDoubleReadsBackUnchanged) {
  std::mt19937_64 rng(20240601);
  for (int i = 0; i < 200000; ++i) {
    // Random bit patterns cover every exponent; every eighth draw is a
    // subnormal or an integer-valued double, the forms at the edges.
    uint64_t bits = rng();
    if (i % 8 == 1) bits &= 0x800FFFFFFFFFFFFFull;
    const double d = i % 8 == 2 ? std::ldexp(static_cast<double>(bits >> 11), static_cast<int>(rng() % 64) - 10)
                                : std::bit_cast<double>(bits);
    if (!std::isfinite(d)) continue;
    const std::string text = format_double(d);
    const JsonValue back = parse_json(text);
    ASSERT_NE(back.if_double(), nullptr) << text;
    ASSERT_EQ(bits_of(*back.if_double()), bits_of(d)) << text;
  }
}

TEST(Numbers, IntegerFormsAndEdges) {
  EXPECT_EQ(*parse_json("18446744073709551615").if_uint(), UINT64_MAX);
  EXPECT_EQ(*parse_json("-9223372036854775808").if_int(), INT64_MIN);
  EXPECT_EQ(*parse_json("-9223372036854775809").if_double(), -9223372036854775808.0);
  EXPECT_EQ(*parse_json("18446744073709551616").if_double(), 18446744073709551616.0);
  EXPECT_TRUE(std::signbit(*parse_json("-0").if_double()));
  EXPECT_TRUE(std::signbit(*parse_json("-1e-400").if_double()));
  EXPECT_EQ(*parse_json("0e999999").if_double(), 0.0);
  EXPECT_EQ(*parse_json("1e-99999999999").if_double(), 0.0);
  EXPECT_EQ(*parse_json("0.0e99999999999").if_double(), 0.0);
  EXPECT_EQ(*parse_json("1.7976931348623158e308").if_double(), 1.7976931348623157e308);
  EXPECT_EQ(*parse_json("2.4703282292062328e-324").if_double(), 5e-324);
  EXPECT_EQ(*parse_json("2.4703282292062327e-324").if_double(), 0.0);
  EXPECT_EQ(*parse_json("1e0000000000000000000001").if_double(), 10.0);
}

// parse_json: messages with their line and column, for texts that may span
// several lines ({c} counts bytes since the last line feed).
struct SyntaxCase {
  std::string text;
  std::string message;
};

void PrintTo(const SyntaxCase& c, std::ostream* os) { *os << c.text.substr(0, 40); }

class SyntaxErrors : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(SyntaxErrors, ReportTheFirstProblemWithItsPosition) {
  try {
    parse_json(GetParam().text);
    FAIL() << "parsed";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SyntaxErrors,
    ::testing::Values(
        SyntaxCase{"", "EOF while parsing a value at line 1 column 0"},
        SyntaxCase{" \n ", "EOF while parsing a value at line 2 column 1"},
        SyntaxCase{"[1,\n2,\n]", "trailing comma at line 3 column 1"},
        SyntaxCase{"{\"a\":1}\n\n x", "trailing characters at line 3 column 2"},
        SyntaxCase{"{\n\"a\"\n1}", "expected `:` at line 3 column 1"},
        SyntaxCase{"[\n", "EOF while parsing a list at line 2 column 0"},
        SyntaxCase{"\"\xff\"", "invalid unicode code point at line 1 column 3"},
        SyntaxCase{"[\"ok\\n\", \"\\t\xc3\"]", "invalid unicode code point at line 1 column 14"},
        SyntaxCase{"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},
        SyntaxCase{"[\"\\ud83d\\ude00\", \"\\ud800\"]", "unexpected end of hex escape at line 1 column 25"},
        SyntaxCase{"\"\\ud800\\", "EOF while parsing a string at line 1 column 8"},
        SyntaxCase{"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
        SyntaxCase{"-", "EOF while parsing a value at line 1 column 1"},
        SyntaxCase{"1e99999999999", "number out of range at line 1 column 12"},
        SyntaxCase{"-1.5e309", "number out of range at line 1 column 8"},
        SyntaxCase{"[1] x", "trailing characters at line 1 column 5"},
        SyntaxCase{"\"a\x7f\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
        SyntaxCase{"{\"a\" :1,,}", "key must be a string at line 1 column 9"},
        SyntaxCase{"[1 ,]", "trailing comma at line 1 column 5"},
        SyntaxCase{std::string(128, '[') + std::string(128, ']'), "recursion limit exceeded at line 1 column 128"},
        SyntaxCase{"\xEF\xBB\xBF{}", "expected value at line 1 column 1"}));

struct ValidityCase {
  std::string text;
  bool valid;
};

void PrintTo(const ValidityCase& c, std::ostream* os) { *os << c.text.substr(0, 40); }

class Validity : public ::testing::TestWithParam<ValidityCase> {};

TEST_P(Validity, IsJsonTextAgreesWithParseJson) {
  const ValidityCase& c = GetParam();
  EXPECT_EQ(is_json_text(c.text), c.valid);
  bool parsed = true;
  try {
    parse_json(c.text);
  } catch (const Error&) {
    parsed = false;
  }
  EXPECT_EQ(parsed, c.valid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Validity,
    ::testing::Values(ValidityCase{"{}", true}, ValidityCase{" [1, 2] ", true},
                      ValidityCase{"\t{\"a\":[true,false,null]}\r\n", true}, ValidityCase{"-0.5e-3", true},
                      ValidityCase{"\"\\ud83d\\ude00\"", true}, ValidityCase{"\"\\u0000\"", true},
                      ValidityCase{std::string(127, '[') + std::string(127, ']'), true},
                      ValidityCase{std::string(128, '[') + std::string(128, ']'), false},
                      ValidityCase{"", false}, ValidityCase{"  \n", false}, ValidityCase{"[1,]", false},
                      ValidityCase{"{\"a\":1} x", false}, ValidityCase{"[1] [2]", false},
                      ValidityCase{"\xC2\xA0{}", false}, ValidityCase{"\f{}", false}, ValidityCase{"1e400", false},
                      ValidityCase{"\"\\ud800\"", false}, ValidityCase{"NaN", false},
                      ValidityCase{"```json\n{}\n```", false}, ValidityCase{"{\"a\":1", false},
                      ValidityCase{"Sure! {\"a\":1}", false}, ValidityCase{"\"\xff\"", false},
                      ValidityCase{"01", false}, ValidityCase{"tru", false}));

// A builder that records what it is handed.
struct RecordingBuilder : JsonValueBuilder {
  std::string_view input;
  std::vector<std::pair<std::string, bool>> strings;  // text, handed as a view into the input

  Value make_string(std::string_view text) {
    const bool view = text.data() >= input.data() && text.data() + text.size() <= input.data() + input.size();
    strings.emplace_back(std::string(text), view);
    return JsonValueBuilder::make_string(text);
  }
};

TEST(Builder, StringsWithoutEscapesAreViewsIntoTheInput) {
  const std::string text = R"(["plain", "esc\"aped", "", "caf\u00e9", "long text without any escape at all"])";
  RecordingBuilder builder;
  builder.input = text;
  read_json(text, builder);
  ASSERT_EQ(builder.strings.size(), 5u);
  EXPECT_TRUE(builder.strings[0].second);
  EXPECT_FALSE(builder.strings[1].second);
  EXPECT_EQ(builder.strings[1].first, "esc\"aped");
  EXPECT_FALSE(builder.strings[3].second);
  EXPECT_EQ(builder.strings[3].first, "caf\u00e9");
  EXPECT_TRUE(builder.strings[4].second);
}

TEST(Builder, EscapedKeysSurviveTheirValues) {
  // The value's own escapes reuse the reader's scratch space; the key must
  // not be overwritten before set() receives it.
  const JsonValue v = parse_json(R"({"k\u00e9y":"v\u00e9","a\n":{"b\t":"c\r","d\"":["\/"]}})");
  EXPECT_EQ(to_json_text(v), R"({"kéy":"vé","a\n":{"b\t":"c\r","d\"":["/"]}})");
}

TEST(Builder, RepeatedKeysKeepFirstPositionAndLastValue) {
  // Small objects and objects past the linear-scan size alike.
  for (const int members : {3, 16, 17, 40}) {
    std::string text = "{";
    for (int round = 0; round < 2; ++round) {
      for (int k = 0; k < members; ++k) text += "\"k" + std::to_string(k) + "\":" + std::to_string(round * 100 + k) + ",";
    }
    text += "\"k1\":\"last\"}";
    const JsonValue v = parse_json(text);
    const JsonObject& o = *v.if_object();
    ASSERT_EQ(o.size(), static_cast<size_t>(members));
    int k = 0;
    for (const JsonObject::Member& m : o) {
      EXPECT_EQ(m.key, "k" + std::to_string(k));
      if (k == 1) {
        EXPECT_EQ(*m.value.if_string(), "last");
      } else {
        EXPECT_EQ(*m.value.if_uint(), static_cast<uint64_t>(100 + k));
      }
      ++k;
    }
  }
}

// A builder whose values count themselves and which throws at its n-th call:
// whatever the reader had built when the exception passes through it must be
// released, and the builder's own exception must arrive unchanged.
struct Node {
  static inline int live = 0;
  Node() { ++live; }
  Node(const Node&) = delete;
  ~Node() { --live; }
};

struct FailingBuilder {
  using Value = std::unique_ptr<Node>;
  using Array = std::vector<Value>;
  using Object = std::vector<std::pair<std::string, Value>>;

  int calls_left;
  Value make() {
    if (--calls_left < 0) throw std::runtime_error("builder failure");
    return std::make_unique<Node>();
  }
  Value make_null() { return make(); }
  Value make_bool(bool) { return make(); }
  Value make_uint(uint64_t) { return make(); }
  Value make_int(int64_t) { return make(); }
  Value make_double(double) { return make(); }
  Value make_string(std::string_view) { return make(); }
  Array begin_array() { return Array(); }
  void push(Array& a, Value&& v) {
    if (--calls_left < 0) throw std::runtime_error("builder failure");
    a.push_back(std::move(v));
  }
  Value end_array(Array&&) { return make(); }
  Object begin_object() { return Object(); }
  void set(Object& o, std::string_view key, Value&& v) {
    if (--calls_left < 0) throw std::runtime_error("builder failure");
    o.emplace_back(std::string(key), std::move(v));
  }
  Value end_object(Object&&) { return make(); }
};

TEST(Builder, ExceptionsReleaseEverythingBuiltSoFar) {
  const std::string text = R"({"a":[1,-2,3.5,"s\n",true,null,{"b":[[],{}]}],"c":{"d":"e","d":"f"}})";
  for (int n = 0;; ++n) {
    FailingBuilder builder{n};
    bool failed = false;
    try {
      read_json(text, builder);
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "builder failure");
      failed = true;
    }
    EXPECT_EQ(Node::live, 0) << "after failing at call " << n;
    if (!failed) break;
  }
}

// Random documents written with random whitespace and random (but valid)
// escapes read back as the values they were written from.
class TextGenerator {
 public:
  explicit TextGenerator(uint64_t seed) : rng_(seed) {}

  JsonValue value(int depth) {
    switch (pick(depth > 4 ? 6 : 8)) {
      case 0: return JsonValue();
      case 1: return JsonValue(pick(2) == 0);
      case 2: return JsonValue(static_cast<uint64_t>(rng_() >> pick(64)));
      case 3: return JsonValue(-static_cast<int64_t>(rng_() >> (1 + pick(63))) - 1);
      case 4: {
        const double d = std::bit_cast<double>(rng_());
        return JsonValue(std::isfinite(d) ? d : 0.25);
      }
      case 5: return JsonValue(text());
      case 6: {
        JsonValue::Array a;
        for (int i = pick(5); i > 0; --i) a.push_back(value(depth + 1));
        return JsonValue(std::move(a));
      }
      default: {
        JsonObject o;
        for (int i = pick(5); i > 0; --i) o.insert_or_assign(text(), value(depth + 1));
        return JsonValue(std::move(o));
      }
    }
  }

  // The JSON text of v with random whitespace and escape choices.
  void write(std::string& out, const JsonValue& v) {
    space(out);
    if (const std::string* s = v.if_string()) {
      write_string(out, *s);
    } else if (const JsonValue::Array* a = v.if_array()) {
      out += '[';
      for (size_t i = 0; i < a->size(); ++i) {
        if (i > 0) out += ',';
        write(out, (*a)[i]);
      }
      space(out);
      out += ']';
    } else if (const JsonObject* o = v.if_object()) {
      out += '{';
      bool first = true;
      for (const JsonObject::Member& m : *o) {
        if (!first) out += ',';
        first = false;
        space(out);
        write_string(out, m.key);
        space(out);
        out += ':';
        write(out, m.value);
      }
      space(out);
      out += '}';
    } else {
      append_json(out, v);
    }
    space(out);
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }

  std::string text() {
    static constexpr char32_t kChars[] = {'a', 'Z', ' ', '"', '\\', '/', '\n', '\t', 0x01, 0x7F, 0xE9, 0x2028, 0xFFFF, 0x1F600, 0x10FFFF};
    std::string s;
    for (int i = pick(12); i > 0; --i) unicode::append_utf8(s, kChars[pick(std::size(kChars))]);
    return s;
  }

  void space(std::string& out) {
    static constexpr char kSpace[] = {' ', '\t', '\n', '\r'};
    for (int i = pick(8) < 6 ? 0 : pick(3) + 1; i > 0; --i) out += kSpace[pick(4)];
  }

  void write_string(std::string& out, std::string_view s) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
      const char32_t c = unicode::decode(s, i);
      const bool must = c < 0x20 || c == '"' || c == '\\';
      if (!must && pick(4) != 0) {
        unicode::append_utf8(out, c);
      } else if (c == '/' || c == '"' || c == '\\' || c == '\n' || c == '\t') {
        out += '\\';
        out += c == '\n' ? 'n' : c == '\t' ? 't' : static_cast<char>(c);
      } else {
        static constexpr char kHex[] = "0123456789abcdefABCDEF";
        const auto hex4 = [&](uint32_t u) {
          out += "\\u";
          for (int shift = 12; shift >= 0; shift -= 4) {
            const uint32_t d = (u >> shift) & 15;
            out += d >= 10 && pick(2) ? kHex[d + 6] : kHex[d];
          }
        };
        if (c >= 0x10000) {
          hex4(0xD800 + ((c - 0x10000) >> 10));
          hex4(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
          hex4(c);
        }
      }
    }
    out += '"';
  }

  std::mt19937_64 rng_;
};

TEST(RoundTrip, RandomDocumentsReadBackAsWritten) {
  TextGenerator gen(7);
  for (int i = 0; i < 3000; ++i) {
    const JsonValue v = gen.value(0);
    std::string text;
    gen.write(text, v);
    ASSERT_TRUE(parse_json(text) == v) << text;
    ASSERT_TRUE(is_json_text(text)) << text;
    ASSERT_EQ(to_json_text(parse_json(to_json_text(v))), to_json_text(v));
  }
}

TEST(RoundTrip, TruncatedDocumentsFailCleanly) {
  // Every proper prefix of a document that ends inside a value fails with a
  // message; none crashes or reads past the end.
  TextGenerator gen(11);
  for (int i = 0; i < 200; ++i) {
    const JsonValue v = gen.value(0);
    if (v.if_array() == nullptr && v.if_object() == nullptr) continue;
    const std::string text = to_json_text(v);
    for (size_t n = 0; n < text.size(); ++n) {
      const std::string prefix = text.substr(0, n);
      EXPECT_FALSE(is_json_text(prefix)) << prefix;
      EXPECT_THROW(parse_json(prefix), Error) << prefix;
    }
  }
}

}  // namespace
}  // namespace korvane::json
