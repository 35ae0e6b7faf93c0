// The alignment on abstract pair costs: hand-worked cases (ties included),
// the band, and the traceback by stretches, which must give the path of one
// table of moves whatever the stretch length.
#include "core/diff/alignment.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace korvane::diff {
namespace {

using Matrix = std::vector<std::vector<double>>;
using Steps = std::vector<Step>;

RowCosts from_matrix(const Matrix& cost) {
  return [&cost](size_t i, size_t j_begin, size_t j_end, double* out) {
    for (size_t j = j_begin; j < j_end; ++j) out[j - j_begin] = cost[i][j];
  };
}

Steps align_matrix(const Matrix& cost, const AlignOptions& options = {}) {
  return align_costs(cost.size(), cost.empty() ? 0 : cost[0].size(), from_matrix(cost), options);
}

TEST(Align, HandWorkedCases) {
  const auto M = Step::match;
  const auto I = Step::insert;
  const auto D = Step::remove;
  const struct {
    const char* name;
    Matrix cost;
    Steps expected;
  } cases[] = {
      {"identical turns pair up", {{0, .9, .9}, {.9, 0, .9}, {.9, .9, 0}}, {M(0, 0), M(1, 1), M(2, 2)}},
      {"one turn a side always pairs", {{.99}}, {M(0, 0)}},
      // Baseline P, Q, R against candidate P, R: Q is left out.
      {"a dropped turn", {{0, .5}, {.5, .5}, {.5, 0}}, {M(0, 0), D(1), M(2, 1)}},
      {"an inserted turn", {{0, .5, .5}, {.5, .5, 0}}, {M(0, 0), I(1), M(1, 2)}},
      // Three unpaired candidate turns cost 0.6 + 0.15 + 0.15 = 0.9, less
      // than pairing them (0.95 each).
      {"a gap run extends", {{0, .95, .95, .95, .95}, {.95, .95, .95, .95, 0}}, {M(0, 0), I(1), I(2), I(3), M(1, 4)}},
      // Cell (1, 2): pairing with the second turn costs 0.6 + 0.3, pairing
      // with the first and leaving the second unpaired 0.3 + 0.6: a tie,
      // which the pairing wins.
      {"a pairing wins a tie with a gap", {{.3, .3}}, {I(0), M(0, 1)}},
      {"within the tolerance", {{.3, .3 + 1e-13}}, {I(0), M(0, 1)}},
      {"beyond the tolerance", {{.3, .3 + 1e-11}}, {M(0, 0), I(1)}},
      // Cell (2, 2): pairing costs 0.99 + 0.99, leaving a candidate turn or a
      // baseline turn unpaired 0.6 + 0.6 either way: the candidate's wins.
      {"an insert wins a tie with a delete", {{.99, 0}, {0, .99}}, {D(0), M(1, 0), I(1)}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(align_matrix(c.cost), c.expected) << c.name;
    EXPECT_EQ(align_matrix(c.cost, {.traceback_budget_bytes = 0, .block_side = 1}), c.expected) << c.name << ", by blocks of one cell";
  }
  EXPECT_EQ(align_costs(0, 2, from_matrix({})), (Steps{I(0), I(1)}));
  EXPECT_EQ(align_costs(2, 0, from_matrix({})), (Steps{D(0), D(1)}));
  EXPECT_TRUE(align_costs(0, 0, from_matrix({})).empty());
}

TEST(BandRadius, FollowsTheLongerSideAndTheDifference) {
  const struct {
    size_t n, m, radius;
  } cases[] = {
      {1000, 1000, 0},    // not banded
      {1001, 1001, 100},  // sqrt 31, raised to 100
      {1001, 600, 501},   // + the difference 401
      {600, 1001, 501},   {40399, 40399, 200},  // 201^2 = 40401
      {40401, 40401, 201},
  };
  for (const auto& c : cases) EXPECT_EQ(band_radius(c.n, c.m), c.radius) << c.n << " x " << c.m;
  EXPECT_EQ(band_radius(50, 40, {.banding_threshold = 10, .min_band_radius = 3}), 7u + 10u);
}

// Seeded random costs from a small set, so that pairings tie with gap runs
// (0.6, 0.75, 0.15 steps) and with each other: the path is the same with
// one table of moves and with stretches of any length, full or banded.
TEST(Align, StretchesGiveThePathOfOneTable) {
  std::mt19937_64 rng(20260306);
  static constexpr double kValues[] = {0.0, 0.0, 0.05, 0.15, 0.3, 0.45, 0.6, 0.75, 0.9, 0.99};
  for (int round = 0; round < 400; ++round) {
    const size_t n = 1 + rng() % 40;
    const size_t m = 1 + rng() % 40;
    Matrix cost(n, std::vector<double>(m));
    for (auto& row : cost) {
      for (double& c : row) c = kValues[rng() % std::size(kValues)];
    }
    AlignOptions options;
    if (round % 2 == 1) options = {.banding_threshold = 8, .min_band_radius = 1 + rng() % 4};
    const Steps whole = align_matrix(cost, options);
    ASSERT_EQ(whole.size() >= std::max(n, m) && whole.size() <= n + m, true);
    options.traceback_budget_bytes = 0;
    for (size_t side : {size_t{1}, size_t{2}, size_t{7}}) {
      options.block_side = side;
      ASSERT_EQ(align_matrix(cost, options), whole) << "round " << round << ", blocks of " << side;
    }
  }
}

TEST(BlockSide, NoBlocksWithinTheBudgetElseAFractionOfTheBand) {
  EXPECT_EQ(block_side(10000, 213), 0u);        // 2 MB of moves
  EXPECT_EQ(block_side(40000, 20000), 625u);    // 20000 / 32
  EXPECT_EQ(block_side(100000, 633), 64u);      // at least 64
}

TEST(Align, TenThousandTurnsStayInTheBand) {
  // About 2 million computed cells, not 10^8; the costs are 0 on the
  // diagonal and rise away from it.
  const size_t n = 10000;
  size_t calls = 0;
  const RowCosts near_diagonal = [&](size_t i, size_t j_begin, size_t j_end, double* out) {
    for (size_t j = j_begin; j < j_end; ++j) out[j - j_begin] = i == j ? 0.0 : 0.9;
    calls += j_end - j_begin;
  };
  const Steps steps = align_costs(n, n, near_diagonal, {.traceback_budget_bytes = 0, .block_side = 64});
  ASSERT_EQ(steps.size(), n);
  for (size_t k = 0; k < n; ++k) ASSERT_EQ(steps[k], Step::match(k, k));
  // The traceback recomputes each stretch, up to where the path enters it.
  EXPECT_LT(calls, n * 201 * 2);
}

}  // namespace
}  // namespace korvane::diff
