// The format conformance, tool-call trajectory and refusal axes.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <string_view>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/conformance.h"
#include "core/diff/safety.h"
#include "core/diff/text_measures.h"
#include "core/diff/trajectory.h"
#include "core/json/reader.h"
#include "core/unicode/case.h"
#include "axes_test_util.h"

namespace korvane::diff {
namespace {

using agentlog::Record;
using test::pairs_of;
using test::response;
using test::row_has;
using test::texts;

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t k = 0; k < parts.size(); ++k) out += (k == 0 ? "" : std::string(separator)) + parts[k];
  return out;
}

Record tool_use(std::string_view input_json) {
  return response(R"({"content":[{"type":"tool_use","name":"weather","input":)" + std::string(input_json) + "}]}");
}

// A named text input and the expected text output of the function under test.
struct TextCase {
  const char* name;
  std::string_view input;
  std::string_view expected;
};

template <class F>
void expect_texts(std::initializer_list<TextCase> cases, F f) {
  for (const TextCase& c : cases) EXPECT_EQ(f(c.input), c.expected) << c.name;
}

// ---------------------------------------------------------------- conformance

TEST(ResponseText, JoinsTextBlocksWithSingleSpaces) {
  expect_texts(
      {{"PayloadNotObject", R"([{"type":"text","text":"a"}])", ""},
       {"NoContent", R"({"stop_reason":"end_turn"})", ""},
       {"ContentNotArray", R"({"content":"hello"})", ""},
       {"OtherBlocksSkipped",
        R"({"content":[{"type":"text","text":"a"},{"type":"image","source":{}},{"type":"text","text":"b"}]})", "a b"},
       {"EmptyTextsTakePart",
        R"({"content":[{"type":"text","text":""},{"type":"text","text":""},{"type":"text","text":"x"}]})", "  x"},
       {"NonStringTextSkipped", R"({"content":[{"type":"text","text":5},{"type":"text","text":"b"},{"type":"text"}]})",
        "b"},
       {"TypeComparedExactly", R"({"content":[{"type":"Text","text":"a"},"text",null,{"type":"text","text":"b"}]})",
        "b"}},
      [](std::string_view payload) { return response_text(response(payload)); });
}

TEST(StripMarkdownFences, GivesTheBodyAsASliceOfTheInput) {
  expect_texts({{"PlainTextIsTrimmed", " \t plain text \n", "plain text"},
                {"UnicodeWhiteSpaceIsTrimmed", "\u00a0\u3000\u2028{}\u0085\u202f", "{}"},
                {"InnerWhiteSpaceStays", "\u2000\u200a x\u00a0y \u1680", "x\u00a0y"},
                {"ZeroWidthSpaceIsNotWhiteSpace", "\u200b{}", "\u200b{}"},
                {"TaggedFence", "```json\n{\"a\": 1}\n```", "{\"a\": 1}"},
                {"OpeningLineDroppedWhole", "```json {\"a\":1}\n[2]\n```", "[2]"},
                {"CarriageReturns", "```json\r\n{}\r\n```\r\n", "{}"},
                {"NoClosingFence", "```\n[1]", "[1]"},
                {"OneLineFence", "```{\"a\":1}```", "{\"a\":1}"},
                {"OneLineTagOfLettersAndDigits", "```py3 x = 1 ```", "x = 1"},
                {"OneLineTagStopsAtOtherBytes", "```c++ x```", "++ x"},
                {"TagAlone", "```json", ""},
                {"SixBackquotes", "``````", ""},
                {"OnlyOneClosingFenceRemoved", "```\n{}\n``` ```", "{}\n```"},
                {"TwoBackquotesAreNoFence", "``{}``", "``{}``"},
                {"FenceNotAtStart", "x ```json\n{}\n```", "x ```json\n{}\n```"},
                {"EmptyBody", "```json\n```", ""},
                {"Empty", "", ""}},
               [](std::string_view text) {
                 const std::string_view body = strip_markdown_fences(text);
                 EXPECT_TRUE(body.data() >= text.data() && body.end() <= text.end()) << text;
                 return std::string(body);
               });
}

TEST(FirstToolUseKeys, NamesTheFirstObjectInput) {
  expect_texts(
      {{"NoContent", R"({})", "none"},
       {"NoToolUse", R"({"content":[{"type":"text","text":"a"}]})", "none"},
       {"SortedByBytes",
        R"({"content":[{"type":"tool_use","name":"w","input":{"unit":1,"city":2,"Zone":3,"\u00e9":4}}]})",
        "Zone,city,unit,\u00e9"},
       {"BlocksWithoutObjectInputPassedOver",
        R"({"content":[{"type":"tool_use","input":"s"},{"type":"tool_use","input":[1]},)"
        R"({"type":"tool_use"},{"type":"tool_use","input":{}},{"type":"tool_use","input":{"x":1}}]})",
        ""},
       {"OnlyToolUseWithNullInput", R"({"content":[{"type":"tool_use","name":"f","input":null}]})", "none"},
       {"TypeComparedExactly",
        R"({"content":[{"type":"Tool_use","input":{"a":1}},{"type":"tool_use","input":{"b":1}}]})", "b"},
       {"NameNotNeeded", R"({"content":[7,{"type":"tool_use","name":3,"input":{"q":1}}]})", "q"}},
      [](std::string_view payload) {
        const std::optional<std::vector<std::string>> keys = first_tool_use_keys(response(payload));
        return keys ? join(*keys, ",") : "none";
      });
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(ConformanceOf, JudgesEachSide) {
  // Expected "baseline/candidate", or "none" when the pair takes no part.
  const std::tuple<const char*, Record, Record, const char*> cases[] = {
      {"FencedJsonAgainstBrokenJson", texts({"```json\n{\"a\": 1}\n```"}), texts({"{\"a\": 1"}), "1/0"},
      {"LeadingProseDoesNotParse", texts({"[1, 2]"}), texts({"Here it is: [1, 2]"}), "1/0"},
      {"OneLineFenceOnBothSides", texts({"```{\"a\":1}```"}), texts({"```json {\"b\":2}```"}), "1/1"},
      {"CandidateParsedWhateverItsFirstCharacter", texts({"{}"}), texts({" 42 "}), "1/1"},
      {"BrokenBaselineJson", texts({"{\"a\":}"}), texts({"{}"}), "0/1"},
      {"NestingLimit", texts({nested(127)}), texts({nested(128)}), "1/0"},
      {"TwoValuesDoNotParse", texts({"{} {}"}), texts({"[] []"}), "0/0"},
      {"JsonModeWinsOverToolUse",
       response(R"({"content":[{"type":"text","text":"{}"},{"type":"tool_use","name":"f","input":{"a":1}}]})"),
       tool_use(R"({"a":1})"), "1/0"},
      {"ToolModeSameNamesAnyOrder", tool_use(R"({"city":"Oslo","unit":"C"})"),
       tool_use(R"({"unit":"F","city":"Rome"})"), "1/1"},
      {"ToolModeMissingName", tool_use(R"({"city":"Oslo","unit":"C"})"), tool_use(R"({"city":"Oslo"})"), "1/0"},
      {"ToolModeCandidateWithoutToolUse", tool_use(R"({"city":"Oslo"})"), texts({"Sunny."}), "1/0"},
      {"ToolModeWithProseText",
       response(R"({"content":[{"type":"text","text":"Let me check."},)"
                R"({"type":"tool_use","name":"f","input":{"q":1}}]})"),
       tool_use(R"({"q":2})"), "1/1"},
      {"ProseWithoutToolUseLeftOut", texts({"Hello there"}), texts({"{}"}), "none"},
      {"TagOnlyIsNotJsonLike", texts({"```json"}), texts({"{}"}), "none"},
      {"NoContentLeftOut", response("{}"), tool_use("{}"), "none"}};
  for (const auto& [name, baseline, candidate, expected] : cases) {
    const std::optional<ConformancePair> got = conformance_of(baseline, candidate);
    EXPECT_EQ(got ? test::num(got->baseline) + "/" + test::num(got->candidate) : "none", expected) << name;
  }
}

TEST(ConformanceRow, CountsOnlyPairsThatTakePart) {
  std::vector<Record> baseline = {texts({"prose"}), texts({"more prose"}), texts({"[1]"}), response("{}")};
  std::vector<Record> candidate = {texts({"{}"}), texts({"[]"}), texts({"oops"}), texts({"{}"})};
  EXPECT_TRUE(row_has(build_row(conformance_series(pairs_of(baseline, candidate)), 7),
                      "conformance n=1 b=1 c=0 d=-1 ci=[-1,-1] severe flags=low_power"));
  EXPECT_TRUE(row_has(build_row(conformance_series(pairs_of(std::span(baseline).first(2), candidate)), 7), "n=0 d=0 flags="));
}

// ---------------------------------------------------------------- safety

TEST(IsAbstentionWith, Classifies) {
  const std::tuple<const char*, Record, bool> cases[] = {
      {"ContentFilterWithoutContent", response(R"({"stop_reason":"content_filter"})"), true},
      {"StopReasonComparedExactly",
       response(R"({"stop_reason":"Content_Filter","content":[{"type":"text","text":"Sure."}]})"), false},
      {"StopReasonNotString", response(R"({"stop_reason":["content_filter"]})"), false},
      {"MixedCase", texts({"I Can't Help With That."}), true},
      {"TypographicApostrophe", texts({"I can\u2019t help with that"}), false},
      {"NoWordBoundaries", texts({"Hi won't matter"}), true},
      {"ToolCallsOnly", tool_use(R"({"q":"I won't"})"), false},
      {"PayloadNotObject", response(R"("I won't")"), false}};
  for (const auto& [name, record, expected] : cases) EXPECT_EQ(is_abstention_with(record), expected) << name;
}

// One sentence per phrase of each list, the phrase at offsets that the
// sixteen-byte scan and the byte-by-byte tail both meet; a sentence that
// stops one byte short of its phrase matches nothing.
TEST(RefusalPhrases, EachListMatchesItsOwnPhrasesOnly) {
  const std::tuple<std::string_view, bool, bool> sentences[] = {
      // sentence, abstains on the safety axis, refuses in the drill-down
      {"sorry, i can't help with that", true, true},
      {"unfortunately i cannot help with that request", true, true},
      {"i am unable to", true, true},
      {"well, here it is: i'm unable to book it", true, true},
      {"i can't assist with refunds", true, false},
      {"a long preamble before it: i cannot assist with", true, false},
      {"i won't", true, true},
      {"that is against my guidelines", true, false},
      {"the file is not able to load", true, false},
      {"after careful thought i must decline", true, false},
      {"i refuse to believe it", true, false},
      {"i will not do that", false, true},
      {"i can't help", false, true},
      {"i cannot help you there", false, true},
      {"i'm unable", false, true},
      {"i am unable", false, true},
      {"i can't help with tha", false, true},
      {"i cannot assist wit", false, false},
      {"against my guideline", false, false},
      {"i must declin", false, false},
      {"refuse t", false, false},
      {"i wont", false, false},
  };
  for (const auto& [sentence, abstains, refuses] : sentences) {
    EXPECT_EQ(contains_abstention_phrase(sentence), abstains) << sentence;
    EXPECT_EQ(is_refusal(texts({sentence})), refuses) << sentence;
  }
}

// The abstention test works on an ASCII projection of the lower-cased text;
// it must agree with searching the fully lower-cased response text.
TEST(IsAbstentionWith, AgreesWithSearchingTheLowerCasedText) {
  static const std::vector<std::string> pieces = {
      "I", "i", " ", "'", "CAN'T", "can't", " HELP WITH THAT", "help with that", "Won'T", "won't", "am",
      "unable to", "NOT ABLE TO", "refuse to", "REFUSE", " must decline", "against my guidelines", "assist with",
      "\u0130", "\u212a", "\u03a3", "\u03a3A", "\u00c9", "\u2019", "\u0390", "\u1e9e", "\U0001F600", "\u00a0"};
  std::mt19937_64 rng(4242);
  int abstaining = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string payload = R"({"content":[)", shown;
    for (size_t b = 0, blocks = std::uniform_int_distribution<size_t>(1, 3)(rng); b < blocks; ++b) {
      std::string block;
      for (size_t k = std::uniform_int_distribution<size_t>(0, 8)(rng); k > 0; --k) {
        block += pieces[rng() % pieces.size()];
      }
      payload += (b == 0 ? R"({"type":"text","text":")" : R"(,{"type":"text","text":")") + block + "\"}";
      shown += block + "|";
    }
    const Record record = response(payload + "]}");
    const bool expected = contains_abstention_phrase(unicode::to_lower(response_text(record)));
    ASSERT_EQ(is_abstention_with(record), expected) << shown;
    abstaining += expected;
  }
  EXPECT_GT(abstaining, 1000);
  EXPECT_LT(abstaining, 19000);
}

TEST(SafetyRow, RatesAreMeansOverAllPairs) {
  std::vector<Record> baseline(10, texts({"Sure."})), candidate(10, texts({"Sure."}));
  baseline[4] = response(R"({"stop_reason":"content_filter"})");
  candidate[1] = candidate[5] = texts({"I won't"});
  candidate[9] = texts({"I must decline"});
  EXPECT_TRUE(row_has(build_row(safety_series(pairs_of(baseline, candidate)), 1), "safety n=10 b=0.1 c=0.3 d=0.2"));
  baseline.assign(10, texts({"Sure."}));
  candidate.assign(10, texts({"I am unable to."}));
  EXPECT_TRUE(row_has(build_row(safety_series(pairs_of(baseline, candidate)), std::nullopt), "b=0 c=1 d=1 ci=[1,1] severe flags="));
}

// ---------------------------------------------------------------- trajectory

TEST(ToolShapeSeq, ListsShapesInContentOrder) {
  expect_texts(
      {
        {"NoContent", R"({"content":{"type":"tool_use"}})", ""},
        {"ArgumentsSortedByBytes",
                 R"({"content":[{"type":"tool_use","name":"search","input":{"q":"x","limit":3,"Q":1,"\u00e9":0}}]})",
                 "search(Q,limit,q,\u00e9)"},
        {"DuplicatesKeptInOrder",
                 R"({"content":[{"type":"tool_use","name":"b","input":{}},{"type":"tool_use","name":"a"},)"
                 R"({"type":"tool_use","name":"b","input":{}}]})",
                 "b()|a()|b()"},
        {"InputNotObject",
                 R"({"content":[{"type":"tool_use","name":"s","input":"q"},{"type":"tool_use","name":"a","input":[1]},)"
                 R"({"type":"tool_use","name":"n","input":null}]})",
                 "s()|a()|n()"},
        {"NameNotString", R"({"content":[{"type":"tool_use","name":7,"input":{"b":1,"a":2}}]})", "_(a,b)"},
        {"NameMissing", R"({"content":[{"type":"tool_use","input":{"x":1}}]})", "_(x)"},
        {"EmptyName", R"({"content":[{"type":"tool_use","name":"","input":{"x":1}}]})", "(x)"},
        {"OtherBlocksSkipped",
                 R"({"content":[{"type":"text","text":"t"},{"type":"thinking","thinking":"."},)"
                 R"({"type":"TOOL_USE","name":"x"},[],{"name":"y"},{"type":"tool_use","name":"z"}]})",
                 "z()"}},
      [](std::string_view payload) { return join(tool_shape_seq(response(payload)), "|"); });
}

using Shapes = std::vector<std::string>;

// The textbook full-table edit distance of shape sequences, as an independent
// reference; the trajectory distance divides it by the longer length.
size_t reference_edit_distance(const Shapes& a, const Shapes& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
    }
  }
  return d[a.size()][b.size()];
}

TEST(ShapeEditDistance, IsAMetricMatchingTheFullTableAndNormalisedByTheLongerLength) {
  static const Shapes alphabet = {"a()", "b()", "a(x)", "c(x,y)", "_()", "()"};
  std::mt19937_64 rng(20240611);
  const auto random_shapes = [&] {
    Shapes shapes(std::uniform_int_distribution<size_t>(0, 7)(rng));
    for (std::string& s : shapes) s = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
    return shapes;
  };
  for (int round = 0; round < 3000; ++round) {
    const Shapes a = random_shapes(), b = random_shapes(), c = random_shapes();
    const size_t ab = shape_edit_distance(a, b);
    ASSERT_EQ(ab, reference_edit_distance(a, b));
    ASSERT_EQ(shape_edit_distance(a, a), 0u);
    ASSERT_EQ(ab == 0, a == b);
    ASSERT_EQ(ab, shape_edit_distance(b, a));
    ASSERT_LE(shape_edit_distance(a, c), ab + shape_edit_distance(b, c));
    const size_t longer = std::max(a.size(), b.size());
    ASSERT_DOUBLE_EQ(trajectory_distance(a, b), longer == 0 ? 0.0 : double(ab) / double(longer));
  }
}

// Long sequences take the word-parallel path; lengths around the 64-row
// blocks and alphabets from tiny to all-distinct stress its carries.
TEST(ShapeEditDistance, LongSequencesMatchTheFullTable) {
  std::mt19937_64 rng(99);
  for (int round = 0; round < 200; ++round) {
    const size_t alphabet = std::vector<size_t>{2, 5, 40, 1000}[round % 4];
    const auto sequence = [&] {
      Shapes s(std::uniform_int_distribution<size_t>(0, 200)(rng));
      for (std::string& e : s) e = "t" + std::to_string(rng() % alphabet) + "()";
      return s;
    };
    const Shapes a = sequence();
    Shapes b = std::bernoulli_distribution(0.3)(rng) ? a : sequence();
    if (!b.empty() && round % 3 == 0) b[rng() % b.size()] = "other()";
    ASSERT_EQ(shape_edit_distance(a, b), reference_edit_distance(a, b)) << a.size() << "x" << b.size();
    ASSERT_EQ(shape_edit_distance(b, a), reference_edit_distance(a, b));
  }
  EXPECT_EQ(shape_edit_distance(Shapes(130, "a()"), Shapes(129, "b()")), 130u);
  EXPECT_DOUBLE_EQ(trajectory_distance(Shapes(130, "a()"), Shapes(129, "b()")), 1.0);
}

TEST(TrajectoryRow, MedianDistanceAgainstZeros) {
  std::vector<Record> baseline = {tool_use("{}"), texts({"no tools"}), tool_use(R"({"q":1})")};
  std::vector<Record> candidate = {texts({"none"}), texts({"still none"}), tool_use(R"({"q":1,"n":2})")};
  EXPECT_EQ(trajectory_distances(pairs_of(baseline, candidate)), (std::vector<double>{1.0, 0.0, 1.0}));
  EXPECT_TRUE(row_has(build_row(trajectory_series(pairs_of(baseline, candidate)), 3), "trajectory n=3 b=0 c=1 d=1"));
  baseline.assign(6, tool_use(R"({"q":1})"));
  candidate.assign(6, texts({"no call"}));
  EXPECT_TRUE(row_has(build_row(trajectory_series(pairs_of(baseline, candidate)), std::nullopt), "c=1 d=1 ci=[1,1] severe flags="));
}

}  // namespace
}  // namespace korvane::diff
