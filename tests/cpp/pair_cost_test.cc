#include "core/diff/pair_cost.h"

#include <gtest/gtest.h>

#include <set>
#include "core/unicode/utf8.h"

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/diff/conformance.h"
#include "core/diff/turn_costs.h"
#include "core/json/writer.h"
#include "turn_test_util.h"

namespace korvane::diff {
namespace {

using test::response;
using Strings = std::vector<std::string>;

#define CALL(name, input) R"({"type":"tool_use","name":")" name R"(","input":)" input "}"
#define TURN(...) "{\"content\":[" __VA_ARGS__ "]}"

TEST(ToolShape, SortedSetOfNameAndArgumentNamesAndCallCount) {
  const struct {
    const char* payload;
    Strings shapes;
    size_t calls;
  } cases[] = {
      {R"([{"type":"tool_use","name":"a"}])", {}, 0},
      {R"({"content":{"type":"tool_use","name":"a"}})", {}, 0},
      {TURN(CALL("search", R"({"query":1,"limit":2})")), {"search(limit,query)"}, 1},
      {TURN(R"({"type":"tool_use","input":{"q":1,"a":2}})"), {"_(a,q)"}, 1},
      {TURN(CALL("", "{}")), {"()"}, 1},
      {TURN(CALL("search", "[1]")), {"search()"}, 1},
      {TURN(CALL("s", R"({"q":1})") "," CALL("s", R"({"q":2})")), {"s(q)"}, 2},
      {TURN(R"({"type":"tool_use","name":"b"},{"type":"tool_use","name":"B"},{"type":"tool_use","name":"a"})"),
       {"B()", "a()", "b()"}, 3},
      {TURN(R"({"type":"text","text":"x"},{"type":"Tool_use","name":"a"},"tool_use",{"type":"tool_use","name":"t"})"),
       {"t()"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    const agentlog::Record t = response(c.payload);
    EXPECT_EQ(tool_shape(t), c.shapes);
    EXPECT_EQ(tool_call_count(t), c.calls);
  }
}

TEST(ArgValueDiff, FirstDifferenceByToolName) {
  const struct {
    const char* baseline;
    const char* candidate;
    std::optional<std::string> message;
  } cases[] = {
      {TURN(CALL("search", R"({"q":7,"n":1})")), TURN(CALL("search", R"({"q":8})")), "`search(q)`: `7` \u2192 `8`"},
      {TURN(CALL("search", R"({"q":7,"n":1})")), TURN(CALL("search", R"({"q":7})")),
       "`search(n)`: `1` \u2192 `<missing>`"},
      {TURN(CALL("search", R"({"q":7})")), TURN(CALL("search", R"({"q":7,"x":0})")), "`search`: input changed"},
      {TURN(CALL("search", R"({"q":7,"n":1})")), TURN(CALL("search", R"({"n":1,"q":7})")), std::nullopt},
      {TURN(CALL("search", R"({"q":1})")), TURN(CALL("search", R"({"q":1.0})")), "`search(q)`: `1` \u2192 `1.0`"},
      {TURN(CALL("s", R"({"q":{"a b":[1, "x\"y"]}})")), TURN(CALL("s", R"({"q":null})")),
       "`s(q)`: `{\"a b\":[1,\"x\\\"y\"]}` \u2192 `null`"},
      {TURN(CALL("s", R"({"q":1})") "," CALL("s", R"({"q":2})")), TURN(CALL("s", R"({"q":1})")), std::nullopt},
      {TURN(R"({"type":"tool_use","name":"s"})"), TURN(CALL("s", "null")), std::nullopt},
      {TURN(R"({"type":"tool_use","name":"s"})"), TURN(CALL("s", "{}")), "`s`: input changed"},
      {TURN(CALL("a", R"({"q":1})")), TURN(CALL("b", R"({"q":2})")), std::nullopt},
      {TURN(CALL("b", R"({"q":1})") "," CALL("a", R"({"q":1})")),
       TURN(CALL("a", R"({"q":2})") "," CALL("b", R"({"q":2})")), "`a(q)`: `1` \u2192 `2`"},
      {TURN(CALL("a", R"({"q":1})") "," CALL("b", R"({"q":1})")),
       TURN(CALL("a", R"({"q":1})") "," CALL("b", R"({"q":[]})")), "`b(q)`: `1` \u2192 `[]`"},
      {TURN(R"({"type":"tool_use","input":{"q":1}})"), TURN(R"({"type":"tool_use","name":5,"input":{"q":2.5}})"),
       "`_(q)`: `1` \u2192 `2.5`"},
      {TURN(CALL("s", R"({"q":[0.0]})")), TURN(CALL("s", R"({"q":[-0.0]})")), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.baseline) + " | " + c.candidate);
    const agentlog::Record b = response(c.baseline), d = response(c.candidate);
    EXPECT_EQ(arg_value_diff(b, d), c.message);
    // The cheap test used by the pair cost agrees with the message.
    TurnDictionary dictionary;
    EXPECT_EQ(inputs_differ(turn_features(b, dictionary), turn_features(d, dictionary)), c.message.has_value());
  }
}

// Tool inputs are numbered so that the alignment compares them as integers:
// equal numbers exactly for equal values (strict JSON equality: objects in
// any member order, 1 is not 1.0, 0.0 is -0.0), a missing input as null.
json::JsonValue random_json(std::mt19937_64& rng, int depth) {
  switch (rng() % (depth > 2 ? 8 : 10)) {
    case 0: return json::JsonValue(nullptr);
    case 1: return json::JsonValue(rng() % 2 == 0);
    case 2: return json::JsonValue(uint64_t{rng() % 2});
    case 3: return json::JsonValue(int64_t{-1});
    case 4: return json::JsonValue(static_cast<double>(rng() % 2));
    case 5: return json::JsonValue(rng() % 2 == 0 ? -0.0 : 1.5);
    case 6: return json::JsonValue(std::string_view(rng() % 2 == 0 ? "" : "a"));
    case 7: return json::JsonValue(std::string_view(rng() % 2 == 0 ? "1" : std::string_view("a\0", 2)));
    case 8: {
      json::JsonValue::Array items;
      for (uint64_t k = rng() % 3; k > 0; --k) items.push_back(random_json(rng, depth + 1));
      return json::JsonValue(std::move(items));
    }
    default: {
      std::string_view keys[] = {"a", "b", "", "ab"};
      std::shuffle(std::begin(keys), std::end(keys), rng);
      json::JsonObject members;
      for (uint64_t k = rng() % 4; k > 0; --k) members.append(std::string(keys[k - 1]), random_json(rng, depth + 1));
      return json::JsonValue(std::move(members));
    }
  }
}

TEST(TurnDictionary, InputNumbersEqualExactlyForEqualInputs) {
  std::mt19937_64 rng(31);
  std::vector<json::JsonValue> values;
  for (int k = 0; k < 400; ++k) values.push_back(random_json(rng, 0));
  TurnDictionary dictionary;
  std::vector<uint32_t> ids;
  for (const json::JsonValue& v : values) ids.push_back(dictionary.input_id(&v));
  size_t equal_pairs = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    for (size_t j = 0; j < values.size(); ++j) {
      ASSERT_EQ(ids[i] == ids[j], values[i] == values[j])
          << json::to_json_text(values[i]) << " vs " << json::to_json_text(values[j]);
      equal_pairs += i != j && values[i] == values[j];
    }
  }
  EXPECT_GT(equal_pairs, 100u);  // the vocabulary is small enough to repeat values
  const json::JsonValue null;
  EXPECT_EQ(dictionary.input_id(nullptr), dictionary.input_id(&null));
}

TEST(NormaliseWhitespace, SplitsAtWhiteSpaceOnly) {
  EXPECT_EQ(normalise_whitespace("\n Hello   world"), "Hello world");
  EXPECT_EQ(normalise_whitespace("  \t\r\n\v\f "), "");
  EXPECT_EQ(normalise_whitespace("a\u00a0b\u3000c\u2028d\u0085e\u1680f\u200ag\u202fh\u205fi"), "a b c d e f g h i");
  // Zero-width space and U+180E are not White_Space; case is kept.
  EXPECT_EQ(normalise_whitespace(" A\u200bB\u180e "), "A\u200bB\u180e");
  // The text similarity compares the normalised texts.
  EXPECT_DOUBLE_EQ(text_similarity("Hello   world", "\n hello world"), 7.0 / 9.0);
}

TEST(Shingles, RunsOfFourScalarsOrTheWholeShortText) {
  const std::pair<std::string_view, size_t> counts[] = {
      {"", 0}, {"a", 1}, {"abcd", 1}, {"abcde", 2}, {"aaaaaaa", 1}, {"h\u00e9llo", 2},
      {"\U0001F600\U0001F600\U0001F600\U0001F600x", 2}};
  for (const auto& [text, count] : counts) EXPECT_EQ(ShingleCoder().set_of(text).size(), count) << text;
  // A whole short text is never one of the runs of a longer text, and a NUL
  // scalar is not the padding of a shorter text.
  EXPECT_EQ(jaccard(ShingleCoder().set_of("abc"), ShingleCoder().set_of("abcd")), 0.0);
  EXPECT_EQ(jaccard(ShingleCoder().set_of(std::string_view("ab\0", 3)), ShingleCoder().set_of("ab")), 0.0);
  EXPECT_EQ(jaccard(Strings{}, Strings{}), 1.0);
  EXPECT_EQ(jaccard(Strings{"a", "b", "c"}, Strings{"b", "c", "d"}), 0.5);
}

// The Jaccard similarity of sets of the shingles' own scalars.
double reference_similarity(std::string_view a, std::string_view b) {
  const auto set = [](std::string_view text) {
    std::u32string s;
    for (size_t i = 0; i < text.size();) s += unicode::decode(text, i);
    std::set<std::u32string> out;
    if (s.size() < 4 && !s.empty()) out.insert(s);
    for (size_t k = 0; k + 4 <= s.size(); ++k) out.insert(s.substr(k, 4));
    return out;
  };
  const std::set<std::u32string> sa = set(a), sb = set(b);
  if (sa.empty() && sb.empty()) return 1.0;
  size_t common = 0;
  for (const auto& x : sa) common += sb.count(x);
  return static_cast<double>(common) / static_cast<double>(sa.size() + sb.size() - common);
}

// Past the 16-bit codes, shingles holding uncoded scalars are numbered by
// their own codes: texts of more distinct characters than there are codes
// still compare exactly.
TEST(ShingleSimilarity, MoreDistinctCharactersThanCodes) {
  std::string a, b;
  for (char32_t c = 0x4E00; c < 0xD800; ++c) unicode::append_utf8(a, c);  // 35,328 of three bytes
  for (char32_t c = 0x20000; c < 0x20000 + 40000; ++c) unicode::append_utf8(a, c);
  b = a.substr(3 * 20000) + "tail";
  EXPECT_EQ(shingle_similarity(a, b), reference_similarity(a, b));
  EXPECT_EQ(shingle_similarity(b, b), 1.0);
}

TEST(ShingleSimilarity, EqualsJaccardOfShingleSets) {
  std::mt19937_64 rng(99);
  static constexpr std::string_view kPieces[] = {"a", "b", "ab", " ", "\u00e9", "\U0001F600", "abc", std::string_view("\0", 1)};
  const auto text = [&] {
    std::string t;
    for (uint64_t k = rng() % 12; k > 0; --k) t += kPieces[rng() % std::size(kPieces)];
    return t;
  };
  for (int round = 0; round < 2000; ++round) {
    const std::string a = text(), b = text();
    ASSERT_EQ(shingle_similarity(a, b), reference_similarity(a, b)) << a << " | " << b;
  }
}

TEST(PairCost, WeightedTerms) {
  const struct {
    const char* baseline;
    const char* candidate;
    double cost;
  } cases[] = {
      {TURN(R"({"type":"text","text":"hi there"})" "," CALL("s", R"({"q":1})")),
       TURN(R"({"type":"text","text":" hi  there "})" "," CALL("s", R"({"q":1})")), 0.0},
      {"{}", TURN(CALL("s", "{}")), 0.4},
      {R"({"stop_reason":""})", R"({"stop_reason":null})", 0.0},
      {TURN(CALL("s", R"({"q":1})")), TURN(CALL("s", R"({"q":2})")), 0.2},
      // No argument term when the shapes differ: half the shapes shared.
      {TURN(CALL("s", R"({"q":1})") "," CALL("t", "{}")), TURN(CALL("s", R"({"q":2})")), 0.4 * 0.5},
      {R"({"stop_reason":"a","content":[{"type":"text","text":"abc"},)" CALL("s", R"({"q":1})") "]}",
       R"({"stop_reason":"b","content":[{"type":"text","text":"xyz"},)" CALL("s", R"({"q":2})") "," CALL(
           "s", R"({"q":1})") "]}",
       0.4 * 0.5 + 0.25 + 0.15 + 0.2},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(pair_cost(response(c.baseline), response(c.candidate)), c.cost)
        << c.baseline << " | " << c.candidate;
  }
}

// Features extracted once and the bulk row evaluation give exactly the
// record-level numbers, including the text similarity of the response texts.
TEST(TurnCosts, RowsEqualThePairCostOfTheRecords) {
  test::TurnGenerator gen(7);
  for (int round = 0; round < 20; ++round) {
    const size_t n = 1 + gen.pick(12), m = 1 + gen.pick(12);
    const std::vector<agentlog::Record> b = gen.turns(n), c = gen.turns(m);
    const auto bp = test::pointers(b), cp = test::pointers(c);
    TurnCosts costs(bp, cp);
    for (size_t i = 0; i < n; ++i) {
      const size_t j_begin = gen.pick(m), j_end = j_begin + 1 + gen.pick(m - j_begin);
      std::vector<double> row(j_end - j_begin);
      costs.row(i, j_begin, j_end, row.data());
      for (size_t j = j_begin; j < j_end; ++j) {
        const double expected = pair_cost(b[i], c[j]);
        ASSERT_EQ(row[j - j_begin], expected) << i << "," << j;
        ASSERT_EQ(costs.cost(i, j), expected);
        ASSERT_TRUE(expected >= 0.0 && expected < 1.0) << expected;
        EXPECT_EQ(costs.text_similarity(i, j), text_similarity(response_text(b[i]), response_text(c[j])));
      }
    }
  }
}

}  // namespace
}  // namespace korvane::diff
