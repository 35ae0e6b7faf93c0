// The alignment on abstract pair costs: a straightforward full-table
// implementation written here is the reference for the rolling-row, banded
// one; seeded random cost matrices drive the comparison.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "core/diff/alignment.h"

namespace korvane::diff {
namespace {

using Matrix = std::vector<std::vector<double>>;

// The dynamic programme exactly as stated: full (n+1) x (m+1) tables at 1e18,
// borders only within the band radius, band columns only, one traceback
// entry per cell.
std::vector<Step> reference_align(const Matrix& cost, size_t n, size_t m, const AlignOptions& options) {
  const size_t radius = band_radius(n, m, options);
  const size_t w = radius != 0 ? radius : std::max(n, m);  // unbanded: every cell
  Matrix match(n + 1, std::vector<double>(m + 1, 1e18));
  Matrix insert = match, remove = match;
  enum : int { kNone, kM, kI, kD };
  std::vector<std::vector<int>> tb(n + 1, std::vector<int>(m + 1, kNone));
  match[0][0] = 0.0;
  for (size_t i = 1; i <= std::min(w, n); ++i) match[i][0] = remove[i][0] = 0.6 + 0.15 * static_cast<double>(i - 1);
  for (size_t j = 1; j <= std::min(w, m); ++j) match[0][j] = insert[0][j] = 0.6 + 0.15 * static_cast<double>(j - 1);
  for (size_t i = 1; i <= n; ++i) {
    for (size_t j = i > w ? i - w : 1; j <= std::min(m, i + w); ++j) {
      match[i][j] = cost[i - 1][j - 1] + std::min({match[i - 1][j - 1], insert[i - 1][j - 1], remove[i - 1][j - 1]});
      insert[i][j] = std::min(match[i][j - 1] + 0.6, insert[i][j - 1] + 0.15);
      remove[i][j] = std::min(match[i - 1][j] + 0.6, remove[i - 1][j] + 0.15);
      const double best = std::min({match[i][j], insert[i][j], remove[i][j]});
      tb[i][j] = std::abs(best - match[i][j]) < 1e-12 ? kM : std::abs(best - insert[i][j]) < 1e-12 ? kI : kD;
    }
  }
  std::vector<Step> steps;
  for (size_t i = n, j = m; i > 0 || j > 0;) {
    const int move = i == 0 ? kI : j == 0 ? kD : tb[i][j];
    if (move == kNone) {
      ADD_FAILURE() << "reference traceback reached an uncomputed cell";
      break;
    }
    if (move != kI) --i;
    if (move != kD) --j;
    steps.push_back(move == kM ? Step::match(i, j) : move == kI ? Step::insert(j) : Step::remove(i));
  }
  std::reverse(steps.begin(), steps.end());
  return steps;
}

RowCosts from_matrix(const Matrix& cost) {
  return [&cost](size_t i, size_t j_begin, size_t j_end, double* out) {
    for (size_t j = j_begin; j < j_end; ++j) out[j - j_begin] = cost[i][j];
  };
}

struct RandomCase {
  size_t max_side;
  AlignOptions options;
};

class AlignRandom : public ::testing::TestWithParam<RandomCase> {};

TEST_P(AlignRandom, EqualsTheFullTableReferenceAndAsksEachCellOnce) {
  const RandomCase& param = GetParam();
  std::mt19937_64 rng(20260306 + param.max_side * 7 + param.options.banding_threshold);
  for (int round = 0; round < 300; ++round) {
    const size_t n = 1 + rng() % param.max_side;
    const size_t m = 1 + rng() % param.max_side;
    // Costs from a small set, so that pairings tie with gap runs (0.6, 0.75,
    // 0.15 steps) and with each other.
    static constexpr double kValues[] = {0.0, 0.0, 0.05, 0.15, 0.3, 0.45, 0.6, 0.75, 0.9, 0.99};
    Matrix cost(n, std::vector<double>(m));
    for (auto& row : cost) std::generate(row.begin(), row.end(), [&] { return kValues[rng() % std::size(kValues)]; });

    std::set<std::pair<size_t, size_t>> asked;
    const RowCosts counting = [&](size_t i, size_t j_begin, size_t j_end, double* out) {
      for (size_t j = j_begin; j < j_end; ++j) {
        EXPECT_TRUE(asked.emplace(i, j).second || param.options.stretch_rows != 0) << "cell asked twice: " << i << ", " << j;
        out[j - j_begin] = cost[i][j];
      }
    };
    const std::vector<Step> steps = align_costs(n, m, counting, param.options);
    ASSERT_EQ(steps, reference_align(cost, n, m, param.options)) << "n=" << n << " m=" << m << " round " << round;

    // Only the band's cells, or every cell when unbanded.
    const size_t w = band_radius(n, m, param.options);
    size_t expected_cells = 0;
    for (size_t i = 1; i <= n; ++i) expected_cells += w == 0 ? m : std::min(m, i + w) - (i > w ? i - w : 1) + 1;
    EXPECT_EQ(asked.size(), expected_cells);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, AlignRandom,
    ::testing::Values(RandomCase{12, AlignOptions{}},                                   // full table
                      RandomCase{30, AlignOptions{.banding_threshold = 4, .min_band_radius = 1}},
                      RandomCase{30, AlignOptions{.banding_threshold = 8, .min_band_radius = 2}},
                      RandomCase{60, AlignOptions{.banding_threshold = 20, .min_band_radius = 3}},
                      RandomCase{30, AlignOptions{.banding_threshold = 8, .min_band_radius = 2, .stretch_rows = 1}},
                      RandomCase{60, AlignOptions{.banding_threshold = 20, .min_band_radius = 3, .stretch_rows = 7}},
                      RandomCase{12, AlignOptions{.stretch_rows = 2}}));

TEST(BandRadius, FollowsTheLongerSideAndTheDifference) {
  const struct {
    size_t n, m, radius;
  } cases[] = {
      {1000, 1000, 0},    // not banded
      {1001, 1001, 100},  // sqrt 31, raised to 100
      {1001, 600, 501},   // + the difference 401
      {600, 1001, 501},
      {40399, 40399, 200},  // 201^2 = 40401
      {40401, 40401, 201},
  };
  for (const auto& c : cases) EXPECT_EQ(band_radius(c.n, c.m), c.radius) << c.n << " x " << c.m;
  EXPECT_EQ(band_radius(50, 40, {.banding_threshold = 10, .min_band_radius = 3}), 7u + 10u);
}

TEST(Align, EmptySidesAreAllGaps) {
  const Matrix none;
  EXPECT_EQ(align_costs(0, 2, from_matrix(none)), (std::vector<Step>{Step::insert(0), Step::insert(1)}));
  EXPECT_EQ(align_costs(2, 0, from_matrix(none)), (std::vector<Step>{Step::remove(0), Step::remove(1)}));
  EXPECT_TRUE(align_costs(0, 0, from_matrix(none)).empty());
}

TEST(Align, GapRunsExtendRatherThanReopen) {
  // Baseline 0 pairs with candidate 0 and baseline 1 with candidate 4; the
  // three candidate turns between cost 0.6 + 0.15 + 0.15 = 0.9 as one run,
  // cheaper than pairing any of them (0.95 each).
  Matrix cost(2, std::vector<double>(5, 0.95));
  cost[0][0] = 0.0;
  cost[1][4] = 0.0;
  EXPECT_EQ(align_costs(2, 5, from_matrix(cost)),
            (std::vector<Step>{Step::match(0, 0), Step::insert(1), Step::insert(2), Step::insert(3),
                               Step::match(1, 4)}));
}

TEST(Align, TenThousandTurnsStayInTheBand) {
  // Two 10,000-turn lists: about 2 million computed cells, not 10^8. The
  // cost is 0 on the diagonal and rises away from it.
  const size_t n = 10000;
  size_t calls = 0;
  const RowCosts near_diagonal = [&](size_t i, size_t j_begin, size_t j_end, double* out) {
    for (size_t j = j_begin; j < j_end; ++j) out[j - j_begin] = i == j ? 0.0 : 0.9;
    calls += j_end - j_begin;
  };
  const std::vector<Step> steps = align_costs(n, n, near_diagonal);
  ASSERT_EQ(steps.size(), n);
  for (size_t k = 0; k < n; ++k) ASSERT_EQ(steps[k], Step::match(k, k));
  EXPECT_LT(calls, n * 201);
}

}  // namespace
}  // namespace korvane::diff
