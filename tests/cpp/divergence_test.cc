#include "core/diff/divergence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/diff/alignment.h"
#include "turn_test_util.h"

namespace korvane::diff {
namespace {

using test::describe;
using test::pointers;
using test::response;
using test::text_turn;
using Strings = std::vector<std::string>;
using Records = std::vector<agentlog::Record>;

constexpr auto S = DriftKind::kStructuralDrift;
constexpr auto D = DriftKind::kDecisionDrift;
constexpr auto kTraj = Axis::kTrajectory;
constexpr auto kSem = Axis::kSemantic;

// ---- Classification of a paired turn, from given measures ----------------

TEST(Classify, FirstRuleThatApplies) {
  const struct {
    Strings sb, sc;
    size_t nb, nc;
    const char* stop_b;
    const char* stop_c;
    std::optional<std::string> arg_diff;
    double text_similarity, cost;
    DriftKind kind;
    Axis axis;
    const char* explanation;
  } cases[] = {
      {{"a()"}, {"a()", "b(q)", "c()"}, 1, 3, "", "", {}, 1.0, 0.4, S, kTraj,
       "candidate added tool call(s): `b(q)`, `c()`"},
      {{}, {"a()"}, 0, 1, "x", "y", {}, 1.0, 0.55, S, kTraj, "candidate added tool call(s): `a()`"},
      {{"a()", "b()"}, {"b()"}, 2, 1, "", "", {}, 1.0, 0.2, S, kTraj, "candidate dropped tool call(s): `a()`"},
      {{"B()", "a()"}, {"a()", "c()"}, 2, 2, "", "", {}, 1.0, 0.3, S, kTraj,
       "tool set changed: removed `B()`, added `c()`"},
      {{"search(q)"}, {"search(q)"}, 1, 2, "", "", {}, 1.0, 0.2, S, kTraj,
       "candidate called `search(q)` 2 time(s) vs baseline's 1 \u2014 duplicate tool invocation"},
      {{"a()", "b()"}, {"a()", "b()"}, 2, 3, "", "", {}, 1.0, 0.3, S, kTraj,
       "candidate called 2 tool(s) 3 time(s) vs baseline's 2 \u2014 duplicate tool invocation"},
      {{"search(q)"}, {"search(q)"}, 2, 1, "", "", {}, 1.0, 0.2, S, kTraj,
       "candidate called `search(q)` 1 time(s) vs baseline's 2 \u2014 dropped one or more repeat invocations"},
      {{}, {}, 0, 0, "", "end_turn", "ignored", 1.0, 0.15, D, Axis::kSafety,
       "stop_reason changed: `` \u2192 `end_turn`"},
      {{"s(q)"}, {"s(q)"}, 1, 1, "a", "a", "`s(q)`: `1` \u2192 `2`", 0.2, 0.4, D, kTraj,
       "tool arg value changed: `s(q)`: `1` \u2192 `2`"},
      // Text by cost and by similarity; two decimals of the exact double,
      // ties to even: 0.125 and 0.875 are exact ties, 0.005 lies slightly
      // above its decimal.
      {{}, {}, 0, 0, "", "", {}, 0.95, 0.26, D, kSem, "response text diverged (text similarity 0.95); same tool sequence"},
      {{}, {}, 0, 0, "", "", {}, 0.5, 0.125, D, kSem, "response text diverged (text similarity 0.50); same tool sequence"},
      {{}, {}, 0, 0, "", "", {}, 0.125, 0.3, D, kSem, "response text diverged (text similarity 0.12); same tool sequence"},
      {{}, {}, 0, 0, "", "", {}, 0.875, 0.3, D, kSem, "response text diverged (text similarity 0.88); same tool sequence"},
      {{}, {}, 0, 0, "", "", {}, 0.005, 0.3, D, kSem, "response text diverged (text similarity 0.01); same tool sequence"},
      {{"s()"}, {"s()"}, 1, 1, "", "", {}, 0.9, 0.25, DriftKind::kStyleDrift, kSem,
       "cosmetic wording change \u2014 tool sequence and semantics preserved"},
  };
  for (const auto& c : cases) {
    const PairMeasures m{c.sb, c.sc, c.nb, c.nc, c.stop_b, c.stop_c, c.arg_diff, c.text_similarity, c.cost};
    const std::optional<FirstDivergence> d = classify_pair(3, 4, m);
    ASSERT_TRUE(d.has_value()) << c.explanation;
    EXPECT_EQ(describe(*d), describe({3, 4, c.kind, c.axis, c.explanation, (c.cost - 0.12) / 0.88}));
  }
}

TEST(Classify, NothingAtOrBelowTheThreshold) {
  PairMeasures m;
  m.cost = 0.12;
  EXPECT_FALSE(classify_pair(0, 0, m).has_value());
  m.cost = 0.13;
  EXPECT_TRUE(classify_pair(0, 0, m).has_value());
}

// ---- Walks over real turns ----------------------------------------------

// Distinct turns: texts share no shingles and tool sets differ.
const agentlog::Record P = text_turn("Let me look up your reservation now.", {"get_reservation"});
const agentlog::Record Q = text_turn("The flight is delayed by two hours.", {"flight_status"});
const agentlog::Record R = text_turn("Your booking is confirmed, goodbye!", {});
const agentlog::Record X = text_turn("Checking two more systems first...", {"search", "weather"});

std::vector<FirstDivergence> walk_all(const Records& b, const Records& c) {
  const auto bp = pointers(b), cp = pointers(c);
  return walk_collecting(align(bp, cp), bp, cp, b.size() + c.size());
}

TEST(Walk, OneDivergenceFromRecords) {
  const struct {
    Records b, c;
    FirstDivergence expected;
  } cases[] = {
      {{P, Q, R}, {P, X, Q, R}, {1, 1, S, kTraj,
        "candidate inserted an extra turn with 2 tool calls between baseline turns #0 and #1", 1.0}},
      {{P, Q}, {text_turn("Hmm.", {}), P, Q}, {0, 0, S, kTraj,
        "candidate inserted an extra response turn with no tool calls between baseline turns #0 and #0", 1.0}},
      {{P, Q, R}, {P, R}, {1, 1, S, kTraj,
        "candidate dropped a turn with 1 tool call (baseline turn #1 has no counterpart)", 1.0}},
      {{response(R"({"content":[{"type":"tool_use","name":"book","input":{"seat":"12A","n":1}}]})")},
       {response(R"({"content":[{"type":"tool_use","name":"book","input":{"seat":"14C","n":1}}]})")},
       {0, 0, D, kTraj, "tool arg value changed: `book(seat)`: `\"12A\"` \u2192 `\"14C\"`", (0.2 - 0.12) / 0.88}},
      // Shingles {abcd,bcde,cdef} vs {abcd,bcdx,cdxy}: similarity 1/5.
      {{text_turn("abcdef")}, {text_turn("abcdxy")}, {0, 0, D, kSem,
        "response text diverged (text similarity 0.20); same tool sequence", (0.25 * 0.8 - 0.12) / 0.88}},
  };
  for (const auto& c : cases) {
    const std::vector<FirstDivergence> d = walk_all(c.b, c.c);
    ASSERT_EQ(d.size(), 1u) << c.expected.explanation;
    EXPECT_EQ(describe(d[0]), describe(c.expected));
  }
}

TEST(Walk, StopsAtMaxCount) {
  const Records b{P, Q, R}, c{X, X, X, X, X};
  const auto bp = pointers(b), cp = pointers(c);
  const std::vector<Step> steps = align(bp, cp);
  const std::vector<FirstDivergence> all = walk_collecting(steps, bp, cp, 8);
  ASSERT_GE(all.size(), 3u);
  for (size_t k = 0; k < all.size(); ++k) {
    const std::vector<FirstDivergence> some = walk_collecting(steps, bp, cp, k);
    ASSERT_EQ(some.size(), k);
    for (size_t e = 0; e < k; ++e) EXPECT_EQ(describe(some[e]), describe(all[e]));
  }
}

TEST(FindDivergences, NoneWhenEitherSideIsEmpty) {
  const Records some{P, Q, R}, none;
  for (const auto& [b, c] : {std::pair{&some, &none}, std::pair{&none, &some}}) {
    const Divergences d = find_divergences(pointers(*b), pointers(*c));
    EXPECT_FALSE(d.first.has_value());
    EXPECT_TRUE(d.ranked.empty());
  }
}

TEST(RankDivergences, KindThenConfidenceStableAndCutToFive) {
  const auto d = [](uint64_t t, DriftKind k, double c) { return FirstDivergence{t, t, k, kSem, "", c}; };
  std::vector<FirstDivergence> v{d(0, DriftKind::kStyleDrift, 0.9), d(1, D, 0.2), d(2, S, 0.1), d(3, D, 0.7),
                                 d(4, D, 0.2), d(5, S, 1.0), d(6, D, 0.05)};
  rank_divergences(v);
  std::vector<uint64_t> turns;
  for (const FirstDivergence& x : v) turns.push_back(x.baseline_turn);
  EXPECT_EQ(turns, (std::vector<uint64_t>{5, 2, 3, 1, 4}));
}

// ---- Properties on generated traces --------------------------------------

TEST(WalkProperties, GeneratedTraces) {
  test::TurnGenerator gen(2024);
  for (int round = 0; round < 60; ++round) {
    const size_t n = 1 + gen.pick(15), m = 1 + gen.pick(15);
    const Records b = gen.turns(n), c = gen.turns(m);
    const auto bp = pointers(b), cp = pointers(c);

    // Identical traces: matches only and no divergence.
    const std::vector<Step> self = align(bp, bp);
    ASSERT_EQ(self.size(), n);
    for (size_t k = 0; k < n; ++k) ASSERT_EQ(self[k], Step::match(k, k));
    EXPECT_FALSE(find_divergences(bp, bp).first.has_value());

    // The report's shared walk equals two separate walks, and every unpaired
    // turn is a divergence.
    const std::vector<Step> steps = align(bp, cp);
    std::vector<FirstDivergence> ranked = walk_collecting(steps, bp, cp, n + m);
    size_t gaps = 0;
    for (const Step& s : steps) gaps += s.kind != Step::Kind::kMatch;
    EXPECT_GE(ranked.size(), gaps);
    const std::vector<FirstDivergence> first = walk_collecting(steps, bp, cp, 1);
    rank_divergences(ranked);
    const Divergences d = find_divergences(bp, cp);
    ASSERT_EQ(d.first.has_value(), !first.empty());
    if (d.first) {
      EXPECT_EQ(describe(*d.first), describe(first[0]));
    }
    ASSERT_EQ(d.ranked.size(), ranked.size());
    for (size_t k = 0; k < ranked.size(); ++k) EXPECT_EQ(describe(d.ranked[k]), describe(ranked[k]));
  }
}

}  // namespace
}  // namespace korvane::diff
