// The semantic similarity axis: tokens, tf-idf vectors, cosine, the row.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "axes_test_util.h"
#include "core/diff/semantic.h"

namespace korvane::diff {
namespace {

using agentlog::Record;
using test::texts;

struct TokenCase {
  const char* name;
  std::string_view text;
  std::vector<std::string> expected;
};

class Tokenize : public testing::TestWithParam<TokenCase> {};

TEST_P(Tokenize, SplitsLowerCasedTextAtNonAlphanumerics) {
  EXPECT_EQ(tokenize(GetParam().text), GetParam().expected);
  // Interned ids name the same tokens in the same order.
  TokenTable table;
  std::vector<uint32_t> ids;
  tokenize_into(GetParam().text, table, ids);
  std::vector<std::string> via_ids;
  for (uint32_t id : ids) via_ids.emplace_back(table.text(id));
  EXPECT_EQ(via_ids, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Tokenize,
    testing::Values(
        TokenCase{"Empty", "", {}}, TokenCase{"OnlySeparators", " ,;\t\n_-'", {}},
        TokenCase{"CaseFolded", "Hello, WORLD! hello", {"hello", "world", "hello"}},
        TokenCase{"Separators", "snake_case don't x2.0", {"snake", "case", "don", "t", "x2", "0"}},
        TokenCase{"PrecomposedAndCombiningAgree", "caf\u00e9 cafe\u0301", {"caf\u00e9", "caf\u00e9"}},
        TokenCase{"NoFinalSigma", "\u039f\u0394\u039f\u03a3", {"\u03bf\u03b4\u03bf\u03c3"}},
        TokenCase{"SharpSStays", "STRA\u00dfE", {"stra\u00dfe"}},
        TokenCase{"DottedCapitalIGivesANonAlphabeticMark", "\u0130stanbul", {"i", "stanbul"}},
        TokenCase{"KelvinSign", "5\u212a", {"5k"}},
        TokenCase{"TitleCaseDigraph", "\u01c5ungla", {"\u01c6ungla"}},
        TokenCase{"OtherNumbers", "x\u00b2 \u00bd \u2167 \u0663", {"x\u00b2", "\u00bd", "\u2177", "\u0663"}},
        TokenCase{"IdeographsAreOneRun", "\u65e5\u672c\u8a9e\u3002\u6771\u4eac", {"\u65e5\u672c\u8a9e", "\u6771\u4eac"}},
        TokenCase{"SymbolsAndEmojiSeparate", "a\u2192b\U0001F600c\u00a0d", {"a", "b", "c", "d"}},
        TokenCase{"NonAlphabeticMarkSeparates", "\u0915\u094d\u0937", {"\u0915", "\u0937"}},
        TokenCase{"AlphabeticMarkJoins", "\u0915\u093f", {"\u0915\u093f"}},
        TokenCase{"CompatibilityFormsStay", "\ufb01x", {"\ufb01x"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TokenTable, InternsInOrderOfFirstAppearanceAcrossGrowth) {
  TokenTable table;
  std::vector<std::string> words;
  for (int k = 0; k < 5000; ++k) words.push_back("w" + std::to_string(k * 7919 % 5000));
  for (size_t k = 0; k < words.size(); ++k) ASSERT_EQ(table.intern(words[k]), k);
  for (size_t k = 0; k < words.size(); ++k) ASSERT_EQ(table.intern(words[k]), k);
  ASSERT_EQ(table.size(), words.size());
  EXPECT_EQ(table.text(42), words[42]);
  EXPECT_EQ(table.intern(""), words.size());
}

TEST(TfidfVector, WeighsLogTermCountByInverseDocumentFrequency) {
  // Token 0 twice in a document and in 1 of 2 documents; token 1 once, in
  // both; token 7 beyond the frequency table counts as in no document.
  const std::vector<uint32_t> tokens = {1, 0, 7, 0};
  const std::vector<uint32_t> df = {1, 2};
  const TfidfVector v = tfidf_vector(tokens, df, 2);
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0].id, 0u);
  EXPECT_DOUBLE_EQ(v[0].weight, (std::log(2.0) + 1.0) * (std::log(3.0 / 2.0) + 1.0));
  EXPECT_EQ(v[1].id, 1u);
  EXPECT_DOUBLE_EQ(v[1].weight, 1.0);
  EXPECT_EQ(v[2].id, 7u);
  EXPECT_DOUBLE_EQ(v[2].weight, std::log(3.0) + 1.0);
  EXPECT_TRUE(tfidf_vector({}, df, 2).empty());
}

struct CosineCase {
  const char* name;
  TfidfVector a;
  TfidfVector b;
  double expected;
};

class Cosine : public testing::TestWithParam<CosineCase> {};

TEST_P(Cosine, IsSymmetricAndClamped) {
  EXPECT_DOUBLE_EQ(cosine_similarity(GetParam().a, GetParam().b), GetParam().expected);
  EXPECT_DOUBLE_EQ(cosine_similarity(GetParam().b, GetParam().a), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Cosine,
    testing::Values(CosineCase{"BothEmpty", {}, {}, 1.0}, CosineCase{"OneEmpty", {{0, 1.0}}, {}, 0.0},
                    CosineCase{"BothBelowTheNormFloor", {{0, 1e-13}}, {{1, 1e-14}}, 1.0},
                    CosineCase{"OneBelowTheNormFloor", {{0, 1e-13}}, {{0, 1.0}}, 0.0},
                    CosineCase{"Disjoint", {{0, 1.0}, {2, 3.0}}, {{1, 2.0}, {3, 1.0}}, 0.0},
                    CosineCase{"Parallel", {{0, 1.0}, {5, 2.0}}, {{0, 2.0}, {5, 4.0}}, 1.0},
                    CosineCase{"Partial", {{0, 3.0}, {1, 4.0}}, {{1, 1.0}, {9, 0.0}}, 0.8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SemanticSimilarities, DocumentFrequenciesSpanThePairsOfTheCall) {
  std::vector<Record> baseline = {texts({"a b"})};
  std::vector<Record> candidate = {texts({"A, c"})};
  // N = 2: "a" is in both documents (weight 1), "b" and "c" in one each.
  const double w = std::log(3.0 / 2.0) + 1.0;
  EXPECT_DOUBLE_EQ(semantic_similarities(test::pairs_of(baseline, candidate))[0], 1.0 / (1.0 + w * w));

  // Two more documents without "a" raise its weight in the first pair.
  baseline.push_back(texts({"z"}));
  candidate.push_back(texts({"z"}));
  const double wa = std::log(5.0 / 3.0) + 1.0;
  const double wb = std::log(5.0 / 2.0) + 1.0;
  const std::vector<double> s = semantic_similarities(test::pairs_of(baseline, candidate));
  EXPECT_DOUBLE_EQ(s[0], wa * wa / (wa * wa + wb * wb));
  EXPECT_DOUBLE_EQ(s[1], 1.0);
}

TEST(SemanticSimilarities, EmptyTextsAndToolOnlyResponses) {
  std::vector<Record> baseline = {test::response(R"({"content":[{"type":"tool_use","name":"f","input":{}}]})"),
                                  texts({"..."}), texts({"words here"}), test::response("{}")};
  std::vector<Record> candidate = {test::response(R"({"stop_reason":"tool_use"})"), texts({"words"}),
                                   texts({"other things"}), texts({"Hello"})};
  EXPECT_EQ(semantic_similarities(test::pairs_of(baseline, candidate)), (std::vector<double>{1.0, 0.0, 0.0, 0.0}));
}

std::string random_text(std::mt19937_64& rng) {
  static const std::vector<std::string> words = {"the", "The", "cat", "CAT", "sat", "on", "mat", "\u00e9t\u00e9",
                                                 "e\u0301te\u0301", "42", "x_y", "\u03a3\u039f\u03a3", "\u65e5\u672c",
                                                 ",", " ", "!", "\n", "don't"};
  std::string text;
  const size_t count = std::uniform_int_distribution<size_t>(0, 12)(rng);
  for (size_t k = 0; k < count; ++k) {
    text += words[std::uniform_int_distribution<size_t>(0, words.size() - 1)(rng)];
    text += ' ';
  }
  return text;
}

TEST(SemanticSimilarities, SymmetricBoundedAndOneForIdenticalTexts) {
  std::mt19937_64 rng(77);
  for (int round = 0; round < 300; ++round) {
    const size_t n = std::uniform_int_distribution<size_t>(1, 6)(rng);
    std::vector<Record> baseline;
    std::vector<Record> candidate;
    std::vector<bool> identical;
    for (size_t i = 0; i < n; ++i) {
      const std::string a = random_text(rng);
      const bool same = std::bernoulli_distribution(0.3)(rng);
      const std::string b = same ? a : random_text(rng);
      baseline.push_back(texts({a}));
      candidate.push_back(texts({b}));
      identical.push_back(same || tokenize(a) == tokenize(b));
    }
    const std::vector<double> forward = semantic_similarities(test::pairs_of(baseline, candidate));
    const std::vector<double> backward = semantic_similarities(test::pairs_of(candidate, baseline));
    for (size_t i = 0; i < n; ++i) {
      ASSERT_GE(forward[i], 0.0);
      ASSERT_LE(forward[i], 1.0);
      ASSERT_NEAR(forward[i], backward[i], 1e-15);
      if (identical[i]) {
        ASSERT_NEAR(forward[i], 1.0, 1e-12);
      }
    }
  }
}

TEST(SemanticRow, AllPairsIdentical) {
  std::vector<Record> baseline = {texts({"one answer"}), texts({"another one"}), texts({""})};
  const AxisStat row = semantic_row(test::pairs_of(baseline, baseline), 5);
  EXPECT_EQ(row.axis, Axis::kSemantic);
  EXPECT_EQ(row.n, 3u);
  EXPECT_EQ(row.baseline_median, 1.0);
  EXPECT_NEAR(row.candidate_median, 1.0, 1e-12);
  EXPECT_EQ(row.severity, Severity::kNone);
}

TEST(SemanticRow, OnePairSharingNothing) {
  std::vector<Record> baseline = {texts({"red apples"})};
  std::vector<Record> candidate = {texts({"blue sky"})};
  const AxisStat row = semantic_row(test::pairs_of(baseline, candidate), std::nullopt);
  EXPECT_EQ(row.n, 1u);
  EXPECT_EQ(row.baseline_median, 1.0);
  EXPECT_EQ(row.candidate_median, 0.0);
  EXPECT_EQ(row.delta, -1.0);
  EXPECT_EQ(row.ci95_low, -1.0);
  EXPECT_EQ(row.ci95_high, -1.0);
  EXPECT_EQ(row.severity, Severity::kSevere);
  EXPECT_EQ(row.flags, std::vector<AxisFlag>{AxisFlag::kLowPower});
}

TEST(SemanticRow, SeededRowsAreReproducible) {
  std::mt19937_64 rng(5);
  std::vector<Record> baseline;
  std::vector<Record> candidate;
  for (int i = 0; i < 40; ++i) {
    baseline.push_back(texts({random_text(rng)}));
    candidate.push_back(texts({random_text(rng)}));
  }
  const std::vector<ResponsePair> pairs = test::pairs_of(baseline, candidate);
  const AxisStat first = semantic_row(pairs, 11);
  const AxisStat second = semantic_row(pairs, 11);
  EXPECT_EQ(first.candidate_median, second.candidate_median);
  EXPECT_EQ(first.ci95_low, second.ci95_low);
  EXPECT_EQ(first.ci95_high, second.ci95_high);
}

}  // namespace
}  // namespace korvane::diff
