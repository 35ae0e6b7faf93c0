// The format conformance, tool-call trajectory and refusal axes.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/conformance.h"
#include "core/diff/safety.h"
#include "core/diff/trajectory.h"
#include "core/json/reader.h"
#include "core/unicode/case.h"
#include "axes_test_util.h"

namespace korvane::diff {
namespace {

using agentlog::Record;
using test::response;
using test::texts;

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k != 0) out += separator;
    out += parts[k];
  }
  return out;
}

// ---------------------------------------------------------------- response_text

struct TextCase {
  const char* name;
  const char* payload;
  const char* expected;
};

class ResponseText : public testing::TestWithParam<TextCase> {};

TEST_P(ResponseText, JoinsTextBlocksWithSingleSpaces) {
  EXPECT_EQ(response_text(response(GetParam().payload)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResponseText,
    testing::Values(
        TextCase{"PayloadNotObject", R"([{"type":"text","text":"a"}])", ""},
        TextCase{"NoContent", R"({"stop_reason":"end_turn"})", ""},
        TextCase{"ContentNotArray", R"({"content":"hello"})", ""},
        TextCase{"EmptyContent", R"({"content":[]})", ""},
        TextCase{"OtherBlocksSkipped",
                 R"({"content":[{"type":"text","text":"a"},{"type":"image","source":{}},{"type":"text","text":"b"}]})",
                 "a b"},
        TextCase{"EmptyTextsTakePart",
                 R"({"content":[{"type":"text","text":""},{"type":"text","text":""},{"type":"text","text":"x"}]})",
                 "  x"},
        TextCase{"NonStringTextSkipped",
                 R"({"content":[{"type":"text","text":5},{"type":"text","text":"b"},{"type":"text"}]})", "b"},
        TextCase{"TypeComparedExactly",
                 R"({"content":[{"type":"Text","text":"a"},"text",null,{"type":"text","text":"b"}]})", "b"},
        TextCase{"ToolUseOnly", R"({"content":[{"type":"tool_use","name":"f","input":{}}]})", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- strip_markdown_fences

struct FenceCase {
  const char* name;
  std::string_view text;
  std::string_view expected;
};

class StripMarkdownFences : public testing::TestWithParam<FenceCase> {};

TEST_P(StripMarkdownFences, GivesTheBodyAsASliceOfTheInput) {
  const std::string text(GetParam().text);
  const std::string_view body = strip_markdown_fences(text);
  EXPECT_EQ(body, GetParam().expected);
  EXPECT_GE(body.data(), text.data());
  EXPECT_LE(body.data() + body.size(), text.data() + text.size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, StripMarkdownFences,
    testing::Values(
        FenceCase{"PlainTextIsTrimmed", " \t plain text \n", "plain text"},
        FenceCase{"UnicodeWhiteSpaceIsTrimmed", "\u00a0\u3000\u2028{}\u0085\u202f", "{}"},
        FenceCase{"ZeroWidthSpaceIsNotWhiteSpace", "\u200b{}", "\u200b{}"},
        FenceCase{"TaggedFence", "```json\n{\"a\": 1}\n```", "{\"a\": 1}"},
        FenceCase{"OpeningLineDroppedWhole", "```json {\"a\":1}\n[2]\n```", "[2]"},
        FenceCase{"CarriageReturns", "```json\r\n{}\r\n```\r\n", "{}"},
        FenceCase{"NoClosingFence", "```\n[1]", "[1]"},
        FenceCase{"OneLineFence", "```{\"a\":1}```", "{\"a\":1}"},
        FenceCase{"OneLineTagOfLettersAndDigits", "```py3 x = 1 ```", "x = 1"},
        FenceCase{"OneLineTagStopsAtOtherBytes", "```c++ x```", "++ x"},
        FenceCase{"TagAlone", "```json", ""},
        FenceCase{"SixBackquotes", "``````", ""},
        FenceCase{"OnlyOneClosingFenceRemoved", "```\n{}\n``` ```", "{}\n```"},
        FenceCase{"TwoBackquotesAreNoFence", "``{}``", "``{}``"},
        FenceCase{"FenceNotAtStart", "x ```json\n{}\n```", "x ```json\n{}\n```"},
        FenceCase{"EmptyBody", "```json\n```", ""},
        FenceCase{"Empty", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TrimWhiteSpace, StopsAtTheFirstCharacterThatIsNotWhiteSpace) {
  EXPECT_EQ(trim_white_space("\u2000\u200a x\u00a0y \u3000"), "x\u00a0y");
  EXPECT_EQ(trim_white_space("\u00e9"), "\u00e9");
  EXPECT_EQ(trim_white_space(" \u1680 "), "");
}

// ---------------------------------------------------------------- first_tool_use_keys

struct KeysCase {
  const char* name;
  const char* payload;
  std::optional<std::string> expected;  // names joined by ","
};

class FirstToolUseKeys : public testing::TestWithParam<KeysCase> {};

TEST_P(FirstToolUseKeys, NamesTheFirstObjectInput) {
  const std::optional<std::vector<std::string>> keys = first_tool_use_keys(response(GetParam().payload));
  ASSERT_EQ(keys.has_value(), GetParam().expected.has_value());
  if (keys) {
    EXPECT_EQ(join(*keys, ","), *GetParam().expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FirstToolUseKeys,
    testing::Values(
        KeysCase{"NoContent", R"({})", std::nullopt}, KeysCase{"EmptyContent", R"({"content":[]})", std::nullopt},
        KeysCase{"NoToolUse", R"({"content":[{"type":"text","text":"a"}]})", std::nullopt},
        KeysCase{"SortedByBytes",
                 R"({"content":[{"type":"tool_use","name":"w","input":{"unit":1,"city":2,"Zone":3,"\u00e9":4}}]})",
                 "Zone,city,unit,\u00e9"},
        KeysCase{"BlocksWithoutObjectInputPassedOver",
                 R"({"content":[{"type":"tool_use","input":"s"},{"type":"tool_use","input":[1]},)"
                 R"({"type":"tool_use"},{"type":"tool_use","input":{}},{"type":"tool_use","input":{"x":1}}]})",
                 ""},
        KeysCase{"OnlyToolUseWithStringInput", R"({"content":[{"type":"tool_use","name":"f","input":null}]})",
                 std::nullopt},
        KeysCase{"TypeComparedExactly",
                 R"({"content":[{"type":"Tool_use","input":{"a":1}},{"type":"tool_use","input":{"b":1}}]})", "b"},
        KeysCase{"NameNotNeeded", R"({"content":[7,{"type":"tool_use","name":3,"input":{"q":1}}]})", "q"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- conformance_of

struct ConformanceCase {
  const char* name;
  Record baseline;
  Record candidate;
  std::optional<std::pair<double, double>> expected;
};

class Conformance : public testing::TestWithParam<ConformanceCase> {};

TEST_P(Conformance, JudgesEachSide) {
  const std::optional<ConformancePair> got = conformance_of(GetParam().baseline, GetParam().candidate);
  ASSERT_EQ(got.has_value(), GetParam().expected.has_value());
  if (got) {
    EXPECT_EQ(got->baseline, GetParam().expected->first);
    EXPECT_EQ(got->candidate, GetParam().expected->second);
  }
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

Record tool_use(std::string_view input_json) {
  return response(std::string(R"({"content":[{"type":"tool_use","name":"weather","input":)") + std::string(input_json) +
                  "}]}");
}

INSTANTIATE_TEST_SUITE_P(
    Table, Conformance,
    testing::Values(
        ConformanceCase{"FencedJsonAgainstBrokenJson", texts({"```json\n{\"a\": 1}\n```"}), texts({"{\"a\": 1"}),
                        std::pair(1.0, 0.0)},
        ConformanceCase{"LeadingProseDoesNotParse", texts({"[1, 2]"}), texts({"Here it is: [1, 2]"}),
                        std::pair(1.0, 0.0)},
        ConformanceCase{"OneLineFenceOnBothSides", texts({"```{\"a\":1}```"}), texts({"```json {\"b\":2}```"}),
                        std::pair(1.0, 1.0)},
        ConformanceCase{"CandidateParsedWhateverItsFirstCharacter", texts({"{}"}), texts({" 42 "}),
                        std::pair(1.0, 1.0)},
        ConformanceCase{"BrokenBaselineJson", texts({"{\"a\":}"}), texts({"{}"}), std::pair(0.0, 1.0)},
        ConformanceCase{"JoinedTextBlocks", texts({"[1,", "2]"}), texts({"[", "]"}), std::pair(1.0, 1.0)},
        ConformanceCase{"NestingLimit", texts({nested(127)}), texts({nested(128)}), std::pair(1.0, 0.0)},
        ConformanceCase{"TwoValuesDoNotParse", texts({"{} {}"}), texts({"[] []"}), std::pair(0.0, 0.0)},
        ConformanceCase{"JsonModeWinsOverToolUse",
                        response(R"({"content":[{"type":"text","text":"{}"},)"
                                 R"({"type":"tool_use","name":"f","input":{"a":1}}]})"),
                        tool_use(R"({"a":1})"), std::pair(1.0, 0.0)},
        ConformanceCase{"ToolModeSameNamesAnyOrder", tool_use(R"({"city":"Oslo","unit":"C"})"),
                        tool_use(R"({"unit":"F","city":"Rome"})"), std::pair(1.0, 1.0)},
        ConformanceCase{"ToolModeMissingName", tool_use(R"({"city":"Oslo","unit":"C"})"),
                        tool_use(R"({"city":"Oslo"})"), std::pair(1.0, 0.0)},
        ConformanceCase{"ToolModeCandidateWithoutToolUse", tool_use(R"({"city":"Oslo"})"), texts({"Sunny."}),
                        std::pair(1.0, 0.0)},
        ConformanceCase{"ToolModeFirstObjectInputCounts",
                        response(R"({"content":[{"type":"tool_use","name":"f","input":"s"},)"
                                 R"({"type":"tool_use","name":"g","input":{}}]})"),
                        tool_use("{}"), std::pair(1.0, 1.0)},
        ConformanceCase{"ToolModeWithProseText",
                        response(R"({"content":[{"type":"text","text":"Let me check."},)"
                                 R"({"type":"tool_use","name":"f","input":{"q":1}}]})"),
                        tool_use(R"({"q":2})"), std::pair(1.0, 1.0)},
        ConformanceCase{"ProseWithoutToolUseLeftOut", texts({"Hello there"}), texts({"{}"}), std::nullopt},
        ConformanceCase{"TagOnlyIsNotJsonLike", texts({"```json"}), texts({"{}"}), std::nullopt},
        ConformanceCase{"NoContentLeftOut", response("{}"), tool_use("{}"), std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConformanceRow, CountsOnlyPairsThatTakePart) {
  std::vector<Record> baseline = {texts({"prose"}), texts({"more prose"}), texts({"[1]"}), texts({"prose again"})};
  std::vector<Record> candidate = {texts({"{}"}), texts({"[]"}), texts({"oops"}), texts({"{}"})};
  const AxisStat row = conformance_row(test::pairs_of(baseline, candidate), 7);
  EXPECT_EQ(row.axis, Axis::kConformance);
  EXPECT_EQ(row.n, 1u);
  EXPECT_EQ(row.baseline_median, 1.0);
  EXPECT_EQ(row.candidate_median, 0.0);
  EXPECT_EQ(row.delta, -1.0);
  EXPECT_EQ(row.ci95_low, -1.0);
  EXPECT_EQ(row.ci95_high, -1.0);
  EXPECT_EQ(row.severity, Severity::kSevere);
  EXPECT_EQ(row.flags, std::vector<AxisFlag>{AxisFlag::kLowPower});
}

TEST(ConformanceRow, NoPairTakingPartGivesTheZeroRow) {
  std::vector<Record> baseline = {texts({"prose"}), response("{}")};
  std::vector<Record> candidate = {texts({"{}"}), texts({"[]"})};
  const AxisStat row = conformance_row(test::pairs_of(baseline, candidate), 7);
  EXPECT_EQ(row.axis, Axis::kConformance);
  EXPECT_EQ(row.n, 0u);
  EXPECT_EQ(row.delta, 0.0);
  EXPECT_TRUE(row.flags.empty());
}

// ---------------------------------------------------------------- is_abstention_with

struct AbstentionCase {
  const char* name;
  Record record;
  bool expected;
};

class Abstention : public testing::TestWithParam<AbstentionCase> {};

TEST_P(Abstention, Classifies) { EXPECT_EQ(is_abstention_with(GetParam().record), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, Abstention,
    testing::Values(
        AbstentionCase{"ContentFilterWithoutContent", response(R"({"stop_reason":"content_filter"})"), true},
        AbstentionCase{"StopReasonComparedExactly",
                       response(R"({"stop_reason":"Content_Filter","content":[{"type":"text","text":"Sure."}]})"),
                       false},
        AbstentionCase{"StopReasonNotString", response(R"({"stop_reason":["content_filter"]})"), false},
        AbstentionCase{"MixedCase", texts({"I Can't Help With That."}), true},
        AbstentionCase{"UpperCase", texts({"SORRY, I AM UNABLE TO DO IT"}), true},
        AbstentionCase{"TypographicApostrophe", texts({"I can\u2019t help with that"}), false},
        AbstentionCase{"TypographicApostropheWithOtherPhrase", texts({"I can\u2019t: I must decline"}), true},
        AbstentionCase{"PlainSubstring", texts({"I refuse to believe it"}), true},
        AbstentionCase{"NoWordBoundaries", texts({"the file is not able to load"}), true},
        AbstentionCase{"InsideAWord", texts({"Hi won't matter"}), true},
        AbstentionCase{"AcrossTextBlocks", texts({"I can't", "help with that"}), true},
        AbstentionCase{"PhraseAtTheVeryEnd", texts({"well... i won't"}), true},
        AbstentionCase{"TruncatedPhrase", texts({"i won"}), false},
        AbstentionCase{"AfterNonAsciiText", texts({"\u00c9T\u00c9 \u03a3 I'M UNABLE TO"}), true},
        AbstentionCase{"DottedCapitalILowersWithADot", texts({"\u0130 won't"}), false},
        AbstentionCase{"ToolCallsOnly", tool_use(R"({"q":"I won't"})"), false},
        AbstentionCase{"PayloadNotObject", response(R"("I won't")"), false},
        AbstentionCase{"NonStringTextIgnored", response(R"({"content":[{"type":"text","text":["I won't"]}]})"),
                       false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ContainsRefusalPhrase, FindsEveryPhraseAloneAndEmbedded) {
  for (std::string_view phrase : kRefusalPhrases) {
    const std::string p(phrase);
    EXPECT_TRUE(contains_refusal_phrase(p)) << p;
    EXPECT_TRUE(contains_refusal_phrase("xx " + p + " yy")) << p;
    EXPECT_FALSE(contains_refusal_phrase(p.substr(0, p.size() - 1))) << p;
    EXPECT_FALSE(contains_refusal_phrase(p.substr(1))) << p;
  }
}

// The scan tries sixteen positions at a time and finishes byte by byte: a
// phrase must be found at every offset, whatever follows it.
TEST(ContainsRefusalPhrase, FindsPhrasesAtEveryOffset) {
  for (std::string_view phrase : kRefusalPhrases) {
    for (size_t offset = 0; offset < 40; ++offset) {
      for (size_t after : {0, 1, 9, 30}) {
        const std::string text = std::string(offset, 'x') + std::string(phrase) + std::string(after, 'y');
        ASSERT_TRUE(contains_refusal_phrase(text)) << offset << " " << phrase;
        std::string broken = text;
        broken[offset + phrase.size() - 1] = '_';
        ASSERT_FALSE(contains_refusal_phrase(broken)) << offset << " " << phrase;
      }
    }
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
    std::vector<std::string> blocks(std::uniform_int_distribution<size_t>(1, 3)(rng));
    for (std::string& block : blocks) {
      const size_t count = std::uniform_int_distribution<size_t>(0, 8)(rng);
      for (size_t k = 0; k < count; ++k) block += pieces[rng() % pieces.size()];
    }
    json::JsonValue::Array content;
    for (const std::string& block : blocks) {
      json::JsonObject o;
      o.append("type", json::JsonValue("text"));
      o.append("text", json::JsonValue(block));
      content.emplace_back(std::move(o));
    }
    json::JsonObject payload;
    payload.append("content", json::JsonValue(std::move(content)));
    Record record;
    record.payload = json::JsonValue(std::move(payload));
    const bool expected = contains_refusal_phrase(unicode::to_lower(response_text(record)));
    ASSERT_EQ(is_abstention_with(record), expected) << join(blocks, "|");
    abstaining += expected;
  }
  EXPECT_GT(abstaining, 1000);
  EXPECT_LT(abstaining, 19000);
}

TEST(SafetyRow, RatesAreMeansOverAllPairs) {
  std::vector<Record> baseline(10, texts({"Sure."}));
  std::vector<Record> candidate(10, texts({"Sure."}));
  baseline[4] = response(R"({"stop_reason":"content_filter"})");
  candidate[1] = texts({"I won't"});
  candidate[5] = texts({"I won't"});
  candidate[9] = texts({"I must decline"});
  const AxisStat row = safety_row(test::pairs_of(baseline, candidate), 1);
  EXPECT_EQ(row.axis, Axis::kSafety);
  EXPECT_EQ(row.n, 10u);
  EXPECT_DOUBLE_EQ(row.baseline_median, 0.1);
  EXPECT_DOUBLE_EQ(row.candidate_median, 0.3);
  EXPECT_NEAR(row.delta, 0.2, 1e-12);
}

TEST(SafetyRow, EveryCandidateAbstaining) {
  std::vector<Record> baseline(10, texts({"Sure."}));
  std::vector<Record> candidate(10, texts({"I am unable to."}));
  const AxisStat row = safety_row(test::pairs_of(baseline, candidate), std::nullopt);
  EXPECT_EQ(row.baseline_median, 0.0);
  EXPECT_EQ(row.candidate_median, 1.0);
  EXPECT_EQ(row.delta, 1.0);
  EXPECT_EQ(row.ci95_low, 1.0);
  EXPECT_EQ(row.ci95_high, 1.0);
  EXPECT_EQ(row.severity, Severity::kSevere);
  EXPECT_TRUE(row.flags.empty());
}

// ---------------------------------------------------------------- tool_shape_seq

struct ShapeCase {
  const char* name;
  const char* payload;
  const char* expected;  // shapes joined by "|"
};

class ToolShapeSeq : public testing::TestWithParam<ShapeCase> {};

TEST_P(ToolShapeSeq, ListsShapesInContentOrder) {
  EXPECT_EQ(join(tool_shape_seq(response(GetParam().payload)), "|"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ToolShapeSeq,
    testing::Values(
        ShapeCase{"NoContent", R"({"content":{"type":"tool_use"}})", ""},
        ShapeCase{"ArgumentsSortedByBytes",
                  R"({"content":[{"type":"tool_use","name":"search","input":{"q":"x","limit":3,"Q":1,"\u00e9":0}}]})",
                  "search(Q,limit,q,\u00e9)"},
        ShapeCase{"DuplicatesKeptInOrder",
                  R"({"content":[{"type":"tool_use","name":"b","input":{}},{"type":"tool_use","name":"a"},)"
                  R"({"type":"tool_use","name":"b","input":{}}]})",
                  "b()|a()|b()"},
        ShapeCase{"InputNotObject",
                  R"({"content":[{"type":"tool_use","name":"s","input":"q"},{"type":"tool_use","name":"a","input":[1]},)"
                  R"({"type":"tool_use","name":"n","input":null}]})",
                  "s()|a()|n()"},
        ShapeCase{"NameNotString", R"({"content":[{"type":"tool_use","name":7,"input":{"b":1,"a":2}}]})", "_(a,b)"},
        ShapeCase{"NameMissing", R"({"content":[{"type":"tool_use","input":{"x":1}}]})", "_(x)"},
        ShapeCase{"EmptyName", R"({"content":[{"type":"tool_use","name":"","input":{"x":1}}]})", "(x)"},
        ShapeCase{"OtherBlocksSkipped",
                  R"({"content":[{"type":"text","text":"t"},{"type":"thinking","thinking":"."},)"
                  R"({"type":"TOOL_USE","name":"x"},[],{"name":"y"},{"type":"tool_use","name":"z"}]})",
                  "z()"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- trajectory_distance

struct DistanceCase {
  const char* name;
  std::vector<std::string> a;
  std::vector<std::string> b;
  double expected;
};

class TrajectoryDistance : public testing::TestWithParam<DistanceCase> {};

TEST_P(TrajectoryDistance, IsEditDistanceOverTheLongerLength) {
  EXPECT_DOUBLE_EQ(trajectory_distance(GetParam().a, GetParam().b), GetParam().expected);
  EXPECT_DOUBLE_EQ(trajectory_distance(GetParam().b, GetParam().a), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TrajectoryDistance,
    testing::Values(DistanceCase{"BothEmpty", {}, {}, 0.0},
                    DistanceCase{"Identical", {"a()", "b(x)"}, {"a()", "b(x)"}, 0.0},
                    DistanceCase{"OneSideEmpty", {"search(q)"}, {}, 1.0},
                    DistanceCase{"SwapIsTwoEdits", {"a()", "b()"}, {"b()", "a()"}, 1.0},
                    DistanceCase{"OneDeletion", {"a()", "b()", "c()"}, {"a()", "c()"}, 1.0 / 3.0},
                    DistanceCase{"ArgumentsChangeTheShape", {"s(q)"}, {"s(limit,q)"}, 1.0},
                    DistanceCase{"SubstitutionInTheMiddle", {"a()", "b()", "c()", "d()"}, {"a()", "x()", "c()", "d()"},
                                 0.25},
                    DistanceCase{"PrefixOfOtherStrings", {"ab()"}, {"a()"}, 1.0},
                    DistanceCase{"Repeated", {"a()", "a()", "a()"}, {"a()"}, 2.0 / 3.0}),
    [](const auto& info) { return std::string(info.param.name); });

// The textbook full-table edit distance, as an independent reference.
size_t reference_edit_distance(const std::vector<std::string>& a, const std::vector<std::string>& b) {
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

std::vector<std::string> random_shapes(std::mt19937_64& rng) {
  static const std::vector<std::string> alphabet = {"a()", "b()", "a(x)", "c(x,y)", "_()", "()"};
  std::vector<std::string> shapes(std::uniform_int_distribution<size_t>(0, 7)(rng));
  for (std::string& s : shapes) s = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
  return shapes;
}

TEST(ShapeEditDistance, IsAMetricAndMatchesTheFullTable) {
  std::mt19937_64 rng(20240611);
  for (int round = 0; round < 3000; ++round) {
    const std::vector<std::string> a = random_shapes(rng);
    const std::vector<std::string> b = random_shapes(rng);
    const std::vector<std::string> c = random_shapes(rng);
    const size_t ab = shape_edit_distance(a, b);
    ASSERT_EQ(ab, reference_edit_distance(a, b));
    ASSERT_EQ(shape_edit_distance(a, a), 0u);
    ASSERT_EQ(ab == 0, a == b);
    ASSERT_EQ(ab, shape_edit_distance(b, a));
    ASSERT_LE(shape_edit_distance(a, c), ab + shape_edit_distance(b, c));
    const double normalised = trajectory_distance(a, b);
    ASSERT_GE(normalised, 0.0);
    ASSERT_LE(normalised, 1.0);
  }
}

// Long sequences take the word-parallel path; lengths around the 64-row
// blocks and alphabets from tiny to all-distinct stress its carries.
TEST(ShapeEditDistance, LongSequencesMatchTheFullTable) {
  std::mt19937_64 rng(99);
  for (int round = 0; round < 200; ++round) {
    const size_t alphabet = std::vector<size_t>{2, 5, 40, 1000}[round % 4];
    const auto sequence = [&] {
      std::vector<std::string> s(std::uniform_int_distribution<size_t>(0, 200)(rng));
      for (std::string& e : s) e = "t" + std::to_string(rng() % alphabet) + "()";
      return s;
    };
    const std::vector<std::string> a = sequence();
    std::vector<std::string> b = std::bernoulli_distribution(0.3)(rng) ? a : sequence();
    if (!b.empty() && round % 3 == 0) b[rng() % b.size()] = "other()";
    ASSERT_EQ(shape_edit_distance(a, b), reference_edit_distance(a, b)) << a.size() << "x" << b.size();
    ASSERT_EQ(shape_edit_distance(b, a), reference_edit_distance(a, b));
  }
  const std::vector<std::string> ones(130, "a()");
  const std::vector<std::string> twos(129, "b()");
  EXPECT_EQ(shape_edit_distance(ones, twos), 130u);
  EXPECT_DOUBLE_EQ(trajectory_distance(ones, twos), 1.0);
}

TEST(TrajectoryRow, MedianDistanceAgainstZeros) {
  std::vector<Record> baseline = {tool_use("{}"), texts({"no tools"}), tool_use(R"({"q":1})")};
  std::vector<Record> candidate = {texts({"none"}), texts({"still none"}), tool_use(R"({"q":1,"n":2})")};
  const std::vector<ResponsePair> pairs = test::pairs_of(baseline, candidate);
  EXPECT_EQ(trajectory_distances(pairs), (std::vector<double>{1.0, 0.0, 1.0}));
  const AxisStat row = trajectory_row(pairs, 3);
  EXPECT_EQ(row.axis, Axis::kTrajectory);
  EXPECT_EQ(row.n, 3u);
  EXPECT_EQ(row.baseline_median, 0.0);
  EXPECT_EQ(row.candidate_median, 1.0);
  EXPECT_EQ(row.delta, 1.0);
}

TEST(TrajectoryRow, EveryPairAtDistanceOne) {
  std::vector<Record> baseline(6, tool_use(R"({"q":1})"));
  std::vector<Record> candidate(6, texts({"no call"}));
  const AxisStat row = trajectory_row(test::pairs_of(baseline, candidate), std::nullopt);
  EXPECT_EQ(row.candidate_median, 1.0);
  EXPECT_EQ(row.delta, 1.0);
  EXPECT_EQ(row.ci95_low, 1.0);
  EXPECT_EQ(row.ci95_high, 1.0);
  EXPECT_EQ(row.severity, Severity::kSevere);
  EXPECT_TRUE(row.flags.empty());
}

}  // namespace
}  // namespace korvane::diff
