// The strict JSON reader: number forms against the writer, positions of
// syntax errors in multi-line texts, the validity test, the builder contract
// (views, repeated keys, exception safety) and randomized round trips.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
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
  std::istringstream lines(GetParam().input);
  std::string out;
  for (std::string line; std::getline(lines, line); out += '\n') {
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
  }
  EXPECT_EQ(out, GetParam().expected);
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

// Number edges not in the vectors: exponents far past any range, and the
// halfway point below the smallest subnormal.
TEST(Numbers, ExtremeExponentsAndRounding) {
  const std::pair<const char*, double> cases[] = {
      {"0.0e99999999999", 0.0}, {"1e0000000000000000000001", 10.0}, {"2.4703282292062327e-324", 0.0}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(*parse_json(text).if_double(), expected) << text;
}

// parse_json and is_json_text on the same texts: a message (with its line
// and column, {c} counting bytes since the last line feed) for a text that
// fails, kValid for one that reads, kAnyError where only failing matters.
constexpr const char* kValid = nullptr;
constexpr const char* kAnyError = "";

struct TextCase {
  std::string text;
  const char* message;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.text.substr(0, 40); }

class Texts : public ::testing::TestWithParam<TextCase> {};

TEST_P(Texts, ParseJsonAndIsJsonTextAgree) {
  const TextCase& c = GetParam();
  EXPECT_EQ(is_json_text(c.text), c.message == kValid);
  try {
    parse_json(c.text);
    EXPECT_EQ(c.message, kValid) << "parsed";
  } catch (const Error& e) {
    ASSERT_NE(c.message, kValid) << e.what();
    if (*c.message != '\0') {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Texts,
    ::testing::Values(
        TextCase{"", "EOF while parsing a value at line 1 column 0"},
        TextCase{" \n ", "EOF while parsing a value at line 2 column 1"},
        TextCase{"[1,\n2,\n]", "trailing comma at line 3 column 1"},
        TextCase{"{\"a\":1}\n\n x", "trailing characters at line 3 column 2"},
        TextCase{"{\n\"a\"\n1}", "expected `:` at line 3 column 1"},
        TextCase{"[\n", "EOF while parsing a list at line 2 column 0"},
        TextCase{"\"\xff\"", "invalid unicode code point at line 1 column 3"},
        TextCase{"[\"ok\\n\", \"\\t\xc3\"]", "invalid unicode code point at line 1 column 14"},
        TextCase{"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},
        TextCase{"[\"\\ud83d\\ude00\", \"\\ud800\"]", "unexpected end of hex escape at line 1 column 25"},
        TextCase{"\"\\ud800\\", "EOF while parsing a string at line 1 column 8"},
        TextCase{"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
        TextCase{"-", "EOF while parsing a value at line 1 column 1"},
        TextCase{"1e99999999999", "number out of range at line 1 column 12"},
        TextCase{"-1.5e309", "number out of range at line 1 column 8"},
        TextCase{"[1] x", "trailing characters at line 1 column 5"},
        TextCase{"\"a\x7f\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
        TextCase{"{\"a\" :1,,}", "key must be a string at line 1 column 9"},
        TextCase{"[1 ,]", "trailing comma at line 1 column 5"},
        TextCase{std::string(128, '[') + std::string(128, ']'), "recursion limit exceeded at line 1 column 128"},
        TextCase{"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        TextCase{std::string(127, '[') + std::string(127, ']'), kValid}, TextCase{"{}", kValid},
        TextCase{"\t{\"a\":[true,false,null]}\r\n", kValid}, TextCase{"-0.5e-3", kValid},
        TextCase{"\"\\ud83d\\ude00\"", kValid}, TextCase{"\"\\u0000\"", kValid}, TextCase{"  \n", kAnyError},
        TextCase{"[1] [2]", kAnyError}, TextCase{"\xC2\xA0{}", kAnyError}, TextCase{"\f{}", kAnyError},
        TextCase{"NaN", kAnyError}, TextCase{"```json\n{}\n```", kAnyError}, TextCase{"{\"a\":1", kAnyError},
        TextCase{"Sure! {\"a\":1}", kAnyError}, TextCase{"01", kAnyError}, TextCase{"tru", kAnyError}));

// A builder that records, for each string it is handed, the text and whether
// it was a view into the input.
struct RecordingBuilder : JsonValueBuilder {
  std::string_view input;
  std::vector<std::pair<std::string, bool>> strings;

  Value make_string(std::string_view text) {
    strings.emplace_back(text, text.data() >= input.data() && text.data() + text.size() <= input.data() + input.size());
    return JsonValueBuilder::make_string(text);
  }
};

TEST(Builder, StringsWithoutEscapesAreViewsIntoTheInput) {
  RecordingBuilder builder;
  builder.input = R"(["plain", "esc\"aped", "caf\u00e9", "long text without any escape at all"])";
  read_json(builder.input, builder);
  const std::vector<std::pair<std::string, bool>> expected = {
      {"plain", true}, {"esc\"aped", false}, {"caf\u00e9", false}, {"long text without any escape at all", true}};
  EXPECT_EQ(builder.strings, expected);
}

TEST(Builder, EscapedKeysSurviveTheirValues) {
  // The value's own escapes reuse the reader's scratch space; the key must
  // not be overwritten before set() receives it.
  const JsonValue v = parse_json(R"({"k\u00e9y":"v\u00e9","a\n":{"b\t":"c\r","d\"":["\/"]}})");
  EXPECT_EQ(to_json_text(v), R"({"kéy":"vé","a\n":{"b\t":"c\r","d\"":["/"]}})");
}

TEST(Builder, RepeatedKeysKeepFirstPositionAndLastValue) {
  // Small objects and objects past the linear-scan size alike; k1 comes
  // three times.
  for (const int members : {3, 16, 17, 40}) {
    std::string text = "{", expected = "{";
    for (int round = 0; round < 2; ++round) {
      for (int k = 0; k < members; ++k) text += "\"k" + std::to_string(k) + "\":" + std::to_string(round * 100 + k) + ",";
    }
    for (int k = 0; k < members; ++k) {
      expected += "\"k" + std::to_string(k) + "\":" + (k == 1 ? "\"last\"" : std::to_string(100 + k)) + ",";
    }
    expected.back() = '}';
    EXPECT_EQ(to_json_text(parse_json(text + "\"k1\":\"last\"}")), expected) << members << " members";
  }
}

// A builder which throws at its n-th call and whose values share one token:
// whatever the reader had built when the exception passes through it must be
// released, and the builder's own exception must arrive unchanged.
struct FailingBuilder {
  using Value = std::shared_ptr<const int>;
  using Array = std::vector<Value>;
  using Object = std::vector<Value>;
  static inline const Value token = std::make_shared<const int>(0);

  int calls_left;
  void tick() {
    if (--calls_left < 0) throw std::runtime_error("builder failure");
  }
  Value make() { return tick(), token; }
  Value make_null() { return make(); }
  Value make_bool(bool) { return make(); }
  Value make_uint(uint64_t) { return make(); }
  Value make_int(int64_t) { return make(); }
  Value make_double(double) { return make(); }
  Value make_string(std::string_view) { return make(); }
  Array begin_array() { return Array(); }
  void push(Array& a, Value&& v) { tick(), a.push_back(std::move(v)); }
  Value end_array(Array&&) { return make(); }
  Object begin_object() { return Object(); }
  void set(Object& o, std::string_view, Value&& v) { tick(), o.push_back(std::move(v)); }
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
    EXPECT_EQ(FailingBuilder::token.use_count(), 1) << "after failing at call " << n;
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
    if (const std::string_view* s = v.if_string()) {
      write_string(out, *s);
    } else if (const JsonValue::Array* a = v.if_array()) {
      out += '[';
      for (size_t i = 0; i < a->size(); ++i) {
        if (i > 0) out += ',';
        write(out, (*a)[i]);
      }
      space(out) += ']';
    } else if (const JsonObject* o = v.if_object()) {
      out += '{';
      for (const JsonObject::Member& m : *o) {
        if (&m != o->begin()) out += ',';
        write_string(space(out), m.key);
        space(out) += ':';
        write(out, m.value);
      }
      space(out) += '}';
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

  std::string& space(std::string& out) {
    static constexpr char kSpace[] = {' ', '\t', '\n', '\r'};
    for (int i = pick(8) < 6 ? 0 : pick(3) + 1; i > 0; --i) out += kSpace[pick(4)];
    return out;
  }

  // Each character raw (when JSON allows), as a short escape, or as \u
  // escapes with hex digits in either case.
  void write_string(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdefABCDEF";
    const auto hex4 = [&](uint32_t u) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) {
        const uint32_t d = (u >> shift) & 15;
        out += kHex[d >= 10 && pick(2) ? d + 6 : d];
      }
    };
    out += '"';
    for (size_t i = 0; i < s.size();) {
      const char32_t c = unicode::decode(s, i);
      if (c >= 0x20 && c != '"' && c != '\\' && pick(4) != 0) {
        unicode::append_utf8(out, c);
      } else if (c == '/' || c == '"' || c == '\\' || c == '\n' || c == '\t') {
        (out += '\\') += c == '\n' ? 'n' : c == '\t' ? 't' : static_cast<char>(c);
      } else if (c >= 0x10000) {
        hex4(0xD800 + ((c - 0x10000) >> 10));
        hex4(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        hex4(c);
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
