#include "core/diff/divergence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/diff/alignment.h"
#include "turn_test_util.h"

namespace korvane::diff {
namespace {

using test::pointers;
using test::text_turn;
using Strings = std::vector<std::string>;

void expect_same(const FirstDivergence& a, const FirstDivergence& b) {
  EXPECT_EQ(a.baseline_turn, b.baseline_turn);
  EXPECT_EQ(a.candidate_turn, b.candidate_turn);
  EXPECT_EQ(a.kind, b.kind);
  EXPECT_EQ(a.primary_axis, b.primary_axis);
  EXPECT_EQ(a.explanation, b.explanation);
  EXPECT_EQ(a.confidence, b.confidence);
}

TEST(List, BackquotesAndCommas) {
  EXPECT_EQ(list(Strings{}), "");
  EXPECT_EQ(list(Strings{"a()"}), "`a()`");
  EXPECT_EQ(list(Strings{"a()", "b(q)"}), "`a()`, `b(q)`");
}

// ---- Classification of a paired turn, from given measures ----------------

struct ClassCase {
  const char* name;
  Strings sb, sc;
  size_t nb, nc;
  const char* stop_b;
  const char* stop_c;
  std::optional<std::string> arg_diff;
  double text_similarity;
  double cost;
  DriftKind kind;
  Axis axis;
  const char* explanation;
};

class Classify : public ::testing::TestWithParam<ClassCase> {};

TEST_P(Classify, FirstRuleThatApplies) {
  const ClassCase& c = GetParam();
  PairMeasures m;
  m.baseline_shapes = c.sb;
  m.candidate_shapes = c.sc;
  m.baseline_calls = c.nb;
  m.candidate_calls = c.nc;
  m.baseline_stop = c.stop_b;
  m.candidate_stop = c.stop_c;
  m.arg_diff = c.arg_diff;
  m.text_similarity = c.text_similarity;
  m.cost = c.cost;
  const std::optional<FirstDivergence> d = classify_pair(3, 4, m);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->baseline_turn, 3u);
  EXPECT_EQ(d->candidate_turn, 4u);
  EXPECT_EQ(d->kind, c.kind);
  EXPECT_EQ(d->primary_axis, c.axis);
  EXPECT_EQ(d->explanation, c.explanation);
  EXPECT_DOUBLE_EQ(d->confidence, (c.cost - 0.12) / 0.88);
}

constexpr auto S = DriftKind::kStructuralDrift;
constexpr auto D = DriftKind::kDecisionDrift;

INSTANTIATE_TEST_SUITE_P(
    Rules, Classify,
    ::testing::Values(
        ClassCase{"added", {"a()"}, {"a()", "b(q)", "c()"}, 1, 3, "", "", {}, 1.0, 0.4, S, Axis::kTrajectory,
                  "candidate added tool call(s): `b(q)`, `c()`"},
        ClassCase{"added_to_nothing", {}, {"a()"}, 0, 1, "x", "y", {}, 1.0, 0.55, S, Axis::kTrajectory,
                  "candidate added tool call(s): `a()`"},
        ClassCase{"dropped", {"a()", "b()"}, {"b()"}, 2, 1, "", "", {}, 1.0, 0.2, S, Axis::kTrajectory,
                  "candidate dropped tool call(s): `a()`"},
        ClassCase{"changed", {"B()", "a()"}, {"a()", "c()"}, 2, 2, "", "", {}, 1.0, 0.3, S, Axis::kTrajectory,
                  "tool set changed: removed `B()`, added `c()`"},
        ClassCase{"duplicate_one_shape", {"search(q)"}, {"search(q)"}, 1, 2, "", "", {}, 1.0, 0.2, S,
                  Axis::kTrajectory, "candidate called `search(q)` 2 time(s) vs baseline's 1 \u2014 duplicate tool invocation"},
        ClassCase{"duplicate_two_shapes", {"a()", "b()"}, {"a()", "b()"}, 2, 3, "", "", {}, 1.0, 0.3, S,
                  Axis::kTrajectory, "candidate called 2 tool(s) 3 time(s) vs baseline's 2 \u2014 duplicate tool invocation"},
        ClassCase{"fewer_repeats", {"search(q)"}, {"search(q)"}, 2, 1, "", "", {}, 1.0, 0.2, S, Axis::kTrajectory,
                  "candidate called `search(q)` 1 time(s) vs baseline's 2 \u2014 dropped one or more repeat invocations"},
        ClassCase{"stop_reason_from_empty", {}, {}, 0, 0, "", "end_turn", "ignored", 1.0, 0.15, D, Axis::kSafety,
                  "stop_reason changed: `` \u2192 `end_turn`"},
        ClassCase{"arg_value", {"s(q)"}, {"s(q)"}, 1, 1, "a", "a", "`s(q)`: `1` \u2192 `2`", 0.2, 0.4, D,
                  Axis::kTrajectory, "tool arg value changed: `s(q)`: `1` \u2192 `2`"},
        ClassCase{"text_by_cost", {}, {}, 0, 0, "", "", {}, 0.95, 0.26, D, Axis::kSemantic,
                  "response text diverged (text similarity 0.95); same tool sequence"},
        ClassCase{"text_by_similarity", {}, {}, 0, 0, "", "", {}, 0.5, 0.125, D, Axis::kSemantic,
                  "response text diverged (text similarity 0.50); same tool sequence"},
        // Two decimals of the exact double, ties to even: 0.125 and 0.875 are
        // exact ties; 0.005 lies slightly above its decimal.
        ClassCase{"tie_rounds_to_even_down", {}, {}, 0, 0, "", "", {}, 0.125, 0.3, D, Axis::kSemantic,
                  "response text diverged (text similarity 0.12); same tool sequence"},
        ClassCase{"tie_rounds_to_even_up", {}, {}, 0, 0, "", "", {}, 0.875, 0.3, D, Axis::kSemantic,
                  "response text diverged (text similarity 0.88); same tool sequence"},
        ClassCase{"just_above_half", {}, {}, 0, 0, "", "", {}, 0.005, 0.3, D, Axis::kSemantic,
                  "response text diverged (text similarity 0.01); same tool sequence"},
        ClassCase{"style", {"s()"}, {"s()"}, 1, 1, "", "", {}, 0.9, 0.25, DriftKind::kStyleDrift, Axis::kSemantic,
                  "cosmetic wording change \u2014 tool sequence and semantics preserved"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Classify, ThresholdAndConfidence) {
  PairMeasures m;
  m.cost = 0.12;
  EXPECT_FALSE(classify_pair(0, 0, m).has_value());
  m.cost = 0.56;
  EXPECT_DOUBLE_EQ(classify_pair(0, 0, m)->confidence, 0.5);
  m.cost = 0.13;
  EXPECT_NEAR(classify_pair(0, 0, m)->confidence, 0.011, 0.001);
  m.cost = 0.999;
  EXPECT_LE(classify_pair(0, 0, m)->confidence, 1.0);
}

// ---- Walks over real turns ----------------------------------------------

// Distinct turns: texts share no shingles and tool sets differ.
const agentlog::Record P = text_turn("Let me look up your reservation now.", {"get_reservation"});
const agentlog::Record Q = text_turn("The flight is delayed by two hours.", {"flight_status"});
const agentlog::Record R = text_turn("Your booking is confirmed, goodbye!", {});
const agentlog::Record X = text_turn("Checking two more systems first...", {"search", "weather"});

std::vector<FirstDivergence> walk_all(const std::vector<agentlog::Record>& b, const std::vector<agentlog::Record>& c) {
  const auto bp = pointers(b), cp = pointers(c);
  return walk_collecting(align(bp, cp), bp, cp, b.size() + c.size());
}

TEST(Walk, InsertedTurnBetweenBaselineTurns) {
  const std::vector<agentlog::Record> b{P, Q, R}, c{P, X, Q, R};
  const auto bp = pointers(b), cp = pointers(c);
  EXPECT_EQ(align(bp, cp), (std::vector<Step>{Step::match(0, 0), Step::insert(1), Step::match(1, 2),
                                              Step::match(2, 3)}));
  const std::vector<FirstDivergence> d = walk_all(b, c);
  ASSERT_EQ(d.size(), 1u);
  expect_same(d[0], FirstDivergence{1, 1, DriftKind::kStructuralDrift, Axis::kTrajectory,
                                    "candidate inserted an extra turn with 2 tool calls between baseline turns #0 and #1",
                                    1.0});
}

TEST(Walk, InsertedTurnBeforeAnyBaselineTurn) {
  const agentlog::Record silent = text_turn("Hmm.", {});
  const std::vector<FirstDivergence> d = walk_all({P, Q}, {silent, P, Q});
  ASSERT_EQ(d.size(), 1u);
  expect_same(d[0], FirstDivergence{0, 0, DriftKind::kStructuralDrift, Axis::kTrajectory,
                                    "candidate inserted an extra response turn with no tool calls between baseline "
                                    "turns #0 and #0",
                                    1.0});
}

TEST(Walk, DroppedTurn) {
  const std::vector<agentlog::Record> b{P, Q, R}, c{P, R};
  const auto bp = pointers(b), cp = pointers(c);
  EXPECT_EQ(align(bp, cp), (std::vector<Step>{Step::match(0, 0), Step::remove(1), Step::match(2, 1)}));
  const std::vector<FirstDivergence> d = walk_all(b, c);
  ASSERT_EQ(d.size(), 1u);
  expect_same(d[0], FirstDivergence{1, 1, DriftKind::kStructuralDrift, Axis::kTrajectory,
                                    "candidate dropped a turn with 1 tool call (baseline turn #1 has no counterpart)",
                                    1.0});
}

TEST(Walk, RepeatedCallIsADuplicateInvocation) {
  const agentlog::Record once = text_turn("Searching.", {"search"});
  const agentlog::Record twice = text_turn("Searching.", {"search", "search"});
  std::vector<FirstDivergence> d = walk_all({once}, {twice});
  ASSERT_EQ(d.size(), 1u);
  // Shape similarity 1, count gap 1/2: cost 0.2.
  expect_same(d[0], FirstDivergence{0, 0, DriftKind::kStructuralDrift, Axis::kTrajectory,
                                    "candidate called `search(q)` 2 time(s) vs baseline's 1 \u2014 duplicate tool "
                                    "invocation",
                                    (0.4 * 0.5 - 0.12) / 0.88});
  d = walk_all({twice}, {once});
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].explanation,
            "candidate called `search(q)` 1 time(s) vs baseline's 2 \u2014 dropped one or more repeat invocations");
}

TEST(Walk, StopReasonFromNothing) {
  const std::vector<FirstDivergence> d =
      walk_all({test::response(R"({"content":[]})")}, {test::response(R"({"content":[],"stop_reason":"max_tokens"})")});
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].explanation, "stop_reason changed: `` \u2192 `max_tokens`");
  EXPECT_EQ(d[0].kind, DriftKind::kDecisionDrift);
  EXPECT_EQ(d[0].primary_axis, Axis::kSafety);
}

TEST(Walk, ArgumentValueChange) {
  const std::vector<FirstDivergence> d =
      walk_all({test::response(R"({"content":[{"type":"tool_use","name":"book","input":{"seat":"12A","n":1}}]})")},
               {test::response(R"({"content":[{"type":"tool_use","name":"book","input":{"seat":"14C","n":1}}]})")});
  ASSERT_EQ(d.size(), 1u);  // cost 0.2
  EXPECT_EQ(d[0].explanation, "tool arg value changed: `book(seat)`: `\"12A\"` \u2192 `\"14C\"`");
  EXPECT_EQ(d[0].primary_axis, Axis::kTrajectory);
}

TEST(Walk, TextChange) {
  const std::vector<FirstDivergence> d = walk_all({text_turn("abcdef")}, {text_turn("abcdxy")});
  ASSERT_EQ(d.size(), 1u);  // shingles {abcd,bcde,cdef} vs {abcd,bcdx,cdxy}: 1/5
  EXPECT_EQ(d[0].explanation, "response text diverged (text similarity 0.20); same tool sequence");
  EXPECT_DOUBLE_EQ(d[0].confidence, (0.25 * 0.8 - 0.12) / 0.88);
}

TEST(Walk, StopsAtMaxCount) {
  const std::vector<agentlog::Record> b{P, Q, R}, c{X, X, X, X, X};
  const auto bp = pointers(b), cp = pointers(c);
  const std::vector<Step> steps = align(bp, cp);
  const std::vector<FirstDivergence> all = walk_collecting(steps, bp, cp, 8);
  ASSERT_GE(all.size(), 3u);
  for (size_t k = 1; k < all.size(); ++k) {
    const std::vector<FirstDivergence> some = walk_collecting(steps, bp, cp, k);
    ASSERT_EQ(some.size(), k);
    for (size_t e = 0; e < k; ++e) expect_same(some[e], all[e]);
  }
  EXPECT_TRUE(walk_collecting(steps, bp, cp, 0).empty());
}

TEST(FindDivergences, EmptyOrIdenticalTracesHaveNone) {
  const std::vector<agentlog::Record> some{P, Q, R}, none;
  for (const auto& [b, c] : {std::pair{&some, &none}, std::pair{&none, &some}, std::pair{&some, &some}}) {
    const Divergences d = find_divergences(pointers(*b), pointers(*c));
    EXPECT_FALSE(d.first.has_value());
    EXPECT_TRUE(d.ranked.empty());
  }
}

TEST(RankDivergences, KindThenConfidenceStableAndCutToFive) {
  const auto d = [](uint64_t t, DriftKind k, double c) {
    return FirstDivergence{t, t, k, Axis::kSemantic, "", c};
  };
  std::vector<FirstDivergence> v{d(0, DriftKind::kStyleDrift, 0.9),    d(1, DriftKind::kDecisionDrift, 0.2),
                                 d(2, DriftKind::kStructuralDrift, 0.1), d(3, DriftKind::kDecisionDrift, 0.7),
                                 d(4, DriftKind::kDecisionDrift, 0.2),  d(5, DriftKind::kStructuralDrift, 1.0),
                                 d(6, DriftKind::kDecisionDrift, 0.05)};
  rank_divergences(v);
  std::vector<uint64_t> turns;
  for (const FirstDivergence& x : v) turns.push_back(x.baseline_turn);
  EXPECT_EQ(turns, (std::vector<uint64_t>{5, 2, 3, 1, 4}));
}

// ---- Properties on generated traces --------------------------------------

TEST(WalkProperties, GeneratedTraces) {
  test::TurnGenerator gen(2024);
  for (int round = 0; round < 60; ++round) {
    std::vector<agentlog::Record> b, c;
    const size_t n = 1 + gen.pick(15), m = 1 + gen.pick(15);
    for (size_t i = 0; i < n; ++i) b.push_back(gen.next());
    for (size_t j = 0; j < m; ++j) c.push_back(gen.next());
    const auto bp = pointers(b), cp = pointers(c);

    // Identical traces: matches only and no divergence.
    const std::vector<Step> self = align(bp, bp);
    ASSERT_EQ(self.size(), n);
    for (size_t k = 0; k < n; ++k) ASSERT_EQ(self[k], Step::match(k, k));
    EXPECT_FALSE(find_divergences(bp, bp).first.has_value());

    // The report's shared walk equals two separate walks.
    const std::vector<Step> steps = align(bp, cp);
    const std::vector<FirstDivergence> first = walk_collecting(steps, bp, cp, 1);
    std::vector<FirstDivergence> ranked = walk_collecting(steps, bp, cp, n + m);
    rank_divergences(ranked);
    const Divergences d = find_divergences(bp, cp);
    ASSERT_EQ(d.first.has_value(), !first.empty());
    if (d.first) expect_same(*d.first, first[0]);
    ASSERT_EQ(d.ranked.size(), ranked.size());
    for (size_t k = 0; k < ranked.size(); ++k) expect_same(d.ranked[k], ranked[k]);

    // Every unpaired turn is a divergence.
    size_t gaps = 0;
    for (const Step& s : steps) gaps += s.kind != Step::Kind::kMatch;
    EXPECT_GE(walk_collecting(steps, bp, cp, n + m).size(), gaps);
  }
}

}  // namespace
}  // namespace korvane::diff
