// The semantic similarity axis: tokens, tf-idf vectors, cosine, the row.
// The tokenizer is also checked character by character against an
// independent one (tokenize_vs_unicodedata.py).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "axes_test_util.h"
#include "core/diff/semantic.h"

namespace korvane::diff {
namespace {

using agentlog::Record;
using test::pairs_of;
using test::texts;

TEST(Tokenize, SplitsLowerCasedTextAtNonAlphanumerics) {
  const std::pair<std::string_view, std::vector<std::string>> cases[] = {
      {"", {}},
      {" ,;\t\n_-'", {}},
      {"Hello, WORLD! hello", {"hello", "world", "hello"}},
      {"snake_case don't x2.0", {"snake", "case", "don", "t", "x2", "0"}},
      {"caf\u00e9 cafe\u0301", {"caf\u00e9", "caf\u00e9"}},                    // NFC first
      {"\u039f\u0394\u039f\u03a3", {"\u03bf\u03b4\u03bf\u03c3"}},               // no final sigma
      {"\u0130stanbul", {"i", "stanbul"}},                                      // lower-cased to i + U+0307
      {"x\u00b2 \u00bd \u2167 \u0663", {"x\u00b2", "\u00bd", "\u2177", "\u0663"}},  // other numbers
      {"\u65e5\u672c\u8a9e\u3002\u6771\u4eac", {"\u65e5\u672c\u8a9e", "\u6771\u4eac"}},
      {"a\u2192b\U0001F600c\u00a0d", {"a", "b", "c", "d"}},
      {"\u0915\u094d\u0937 \u0915\u093f", {"\u0915", "\u0937", "\u0915\u093f"}}};  // only alphabetic marks join
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(tokenize(text), expected) << text;
    // Interned ids name the same tokens in the same order.
    TokenTable table;
    std::vector<uint32_t> ids;
    tokenize_into(text, table, ids);
    std::vector<std::string> via_ids;
    for (uint32_t id : ids) via_ids.emplace_back(table.text(id));
    EXPECT_EQ(via_ids, expected) << text;
  }
}

TEST(TokenTable, InternsInOrderOfFirstAppearanceAcrossGrowth) {
  TokenTable table;
  std::vector<std::string> words;
  for (int k = 0; k < 5000; ++k) words.push_back("w" + std::to_string(k * 7919 % 5000));
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t k = 0; k < words.size(); ++k) ASSERT_EQ(table.intern(words[k]), k);
  }
  EXPECT_EQ(table.text(42), words[42]);
  EXPECT_EQ(table.intern(""), words.size());
}

TEST(TfidfVector, WeighsLogTermCountByInverseDocumentFrequency) {
  // Token 0 twice in a document and in 1 of 2 documents; token 1 once, in
  // both; token 7 beyond the frequency table counts as in no document.
  const TfidfVector v = tfidf_vector(std::vector<uint32_t>{1, 0, 7, 0}, std::vector<uint32_t>{1, 2}, 2);
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0].id, 0u);
  EXPECT_DOUBLE_EQ(v[0].weight, (std::log(2.0) + 1.0) * (std::log(3.0 / 2.0) + 1.0));
  EXPECT_EQ(v[1].id, 1u);
  EXPECT_DOUBLE_EQ(v[1].weight, 1.0);
  EXPECT_EQ(v[2].id, 7u);
  EXPECT_DOUBLE_EQ(v[2].weight, std::log(3.0) + 1.0);
}

TEST(CosineSimilarity, IsSymmetricAndClamped) {
  const std::tuple<TfidfVector, TfidfVector, double> cases[] = {
      {{}, {}, 1.0},
      {{{0, 1.0}}, {}, 0.0},
      {{{0, 1e-13}}, {{1, 1e-14}}, 1.0},  // both below the norm floor
      {{{0, 1e-13}}, {{0, 1.0}}, 0.0},    // one below it
      {{{0, 1.0}, {2, 3.0}}, {{1, 2.0}, {3, 1.0}}, 0.0},
      {{{0, 1.0}, {5, 2.0}}, {{0, 2.0}, {5, 4.0}}, 1.0},
      {{{0, 3.0}, {1, 4.0}}, {{1, 1.0}, {9, 0.0}}, 0.8}};
  for (const auto& [a, b, expected] : cases) {
    EXPECT_DOUBLE_EQ(cosine_similarity(a, b), expected) << a.size() << " " << b.size();
    EXPECT_DOUBLE_EQ(cosine_similarity(b, a), expected) << a.size() << " " << b.size();
  }
}

TEST(SemanticSimilarities, DocumentFrequenciesSpanThePairsOfTheCall) {
  std::vector<Record> baseline = {texts({"a b"})}, candidate = {texts({"A, c"})};
  // N = 2: "a" is in both documents (weight 1), "b" and "c" in one each.
  const double w = std::log(3.0 / 2.0) + 1.0;
  EXPECT_DOUBLE_EQ(semantic_similarities(pairs_of(baseline, candidate))[0], 1.0 / (1.0 + w * w));
  // Two more documents without "a" raise its weight in the first pair.
  baseline.push_back(texts({"z"}));
  candidate.push_back(texts({"z"}));
  const double wa = std::log(5.0 / 3.0) + 1.0, wb = std::log(5.0 / 2.0) + 1.0;
  const std::vector<double> s = semantic_similarities(pairs_of(baseline, candidate));
  EXPECT_DOUBLE_EQ(s[0], wa * wa / (wa * wa + wb * wb));
  EXPECT_DOUBLE_EQ(s[1], 1.0);
}

TEST(SemanticSimilarities, EmptyTextsAndToolOnlyResponses) {
  std::vector<Record> baseline = {test::response(R"({"content":[{"type":"tool_use","name":"f","input":{}}]})"),
                                  texts({"..."}), texts({"words here"}), test::response("{}")};
  std::vector<Record> candidate = {test::response(R"({"stop_reason":"tool_use"})"), texts({"words"}),
                                   texts({"other things"}), texts({"Hello"})};
  EXPECT_EQ(semantic_similarities(pairs_of(baseline, candidate)), (std::vector<double>{1.0, 0.0, 0.0, 0.0}));
}

TEST(SemanticSimilarities, SymmetricBoundedAndOneForIdenticalTexts) {
  static const std::vector<std::string> words = {"the", "The", "cat", "CAT", "sat", "on", "mat", "\u00e9t\u00e9",
                                                 "e\u0301te\u0301", "42", "x_y", "\u03a3\u039f\u03a3", "\u65e5\u672c",
                                                 ",", " ", "!", "\n", "don't"};
  std::mt19937_64 rng(77);
  const auto random_text = [&] {
    std::string text;
    for (size_t k = std::uniform_int_distribution<size_t>(0, 12)(rng); k > 0; --k) {
      text += words[std::uniform_int_distribution<size_t>(0, words.size() - 1)(rng)] + " ";
    }
    return text;
  };
  for (int round = 0; round < 300; ++round) {
    std::vector<Record> baseline, candidate;
    std::vector<bool> identical;
    for (size_t i = std::uniform_int_distribution<size_t>(1, 6)(rng); i > 0; --i) {
      const std::string a = random_text();
      const bool same = std::bernoulli_distribution(0.3)(rng);
      const std::string b = same ? a : random_text();
      baseline.push_back(texts({a}));
      candidate.push_back(texts({b}));
      identical.push_back(same || tokenize(a) == tokenize(b));
    }
    const std::vector<double> forward = semantic_similarities(pairs_of(baseline, candidate));
    const std::vector<double> backward = semantic_similarities(pairs_of(candidate, baseline));
    for (size_t i = 0; i < identical.size(); ++i) {
      ASSERT_GE(forward[i], 0.0);
      ASSERT_LE(forward[i], 1.0);
      ASSERT_NEAR(forward[i], backward[i], 1e-15);
      ASSERT_NEAR(forward[i], identical[i] ? 1.0 : forward[i], 1e-12);
    }
  }
}

TEST(SemanticRow, IdenticalPairsAndOnePairSharingNothing) {
  std::vector<Record> baseline = {texts({"one answer"}), texts({"another one"}), texts({""})};
  EXPECT_TRUE(test::row_has(build_row(semantic_series(pairs_of(baseline, baseline)), 5), "semantic n=3 b=1 c=1 none"));
  std::vector<Record> red = {texts({"red apples"})}, blue = {texts({"blue sky"})};
  EXPECT_TRUE(test::row_has(build_row(semantic_series(pairs_of(red, blue)), std::nullopt),
                            "n=1 b=1 c=0 d=-1 ci=[-1,-1] severe flags=low_power"));
}

}  // namespace
}  // namespace korvane::diff
