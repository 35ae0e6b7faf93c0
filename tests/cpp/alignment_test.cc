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
  const double kUnreached = 1e18;
  const size_t radius = band_radius(n, m, options);
  const bool banded = radius != 0;
  Matrix match(n + 1, std::vector<double>(m + 1, kUnreached));
  Matrix insert = match, remove = match;
  enum : int { kNone, kM, kI, kD };
  std::vector<std::vector<int>> tb(n + 1, std::vector<int>(m + 1, kNone));
  match[0][0] = 0.0;
  const size_t row_border = banded ? std::min(radius, n) : n;
  const size_t col_border = banded ? std::min(radius, m) : m;
  for (size_t i = 1; i <= row_border; ++i) {
    remove[i][0] = 0.6 + 0.15 * static_cast<double>(i - 1);
    match[i][0] = remove[i][0];
  }
  for (size_t j = 1; j <= col_border; ++j) {
    insert[0][j] = 0.6 + 0.15 * static_cast<double>(j - 1);
    match[0][j] = insert[0][j];
  }
  for (size_t i = 1; i <= n; ++i) {
    size_t lo = 1, hi = m;
    if (banded) {
      lo = i > radius ? i - radius : 1;
      hi = std::min(m, i + radius);
    }
    for (size_t j = lo; j <= hi; ++j) {
      const double p = cost[i - 1][j - 1];
      match[i][j] = p + std::min({match[i - 1][j - 1], insert[i - 1][j - 1], remove[i - 1][j - 1]});
      insert[i][j] = std::min(match[i][j - 1] + 0.6, insert[i][j - 1] + 0.15);
      remove[i][j] = std::min(match[i - 1][j] + 0.6, remove[i - 1][j] + 0.15);
      const double best = std::min({match[i][j], insert[i][j], remove[i][j]});
      tb[i][j] = std::abs(best - match[i][j]) < 1e-12 ? kM : std::abs(best - insert[i][j]) < 1e-12 ? kI : kD;
    }
  }
  std::vector<Step> steps;
  size_t i = n, j = m;
  while (i > 0 || j > 0) {
    const int move = i == 0 ? kI : j == 0 ? kD : tb[i][j];
    if (move == kM) {
      --i, --j;
      steps.push_back(Step::match(i, j));
    } else if (move == kI) {
      --j;
      steps.push_back(Step::insert(j));
    } else if (move == kD) {
      --i;
      steps.push_back(Step::remove(i));
    } else {
      ADD_FAILURE() << "reference traceback reached an uncomputed cell";
      break;
    }
  }
  std::reverse(steps.begin(), steps.end());
  return steps;
}

RowCosts from_matrix(const Matrix& cost) {
  return [&cost](size_t i, size_t j_begin, size_t j_end, double* out) {
    for (size_t j = j_begin; j < j_end; ++j) out[j - j_begin] = cost[i][j];
  };
}

// Costs drawn from a small set so that pairings tie with gap runs (0.6,
// 0.75, 0.15 steps) and with each other.
Matrix random_costs(std::mt19937_64& rng, size_t n, size_t m) {
  static constexpr double kValues[] = {0.0, 0.0, 0.05, 0.15, 0.3, 0.45, 0.6, 0.75, 0.9, 0.99};
  Matrix cost(n, std::vector<double>(m));
  for (auto& row : cost) {
    for (double& c : row) c = kValues[rng() % std::size(kValues)];
  }
  return cost;
}

void expect_consumes_every_index_in_order(const std::vector<Step>& steps, size_t n, size_t m) {
  uint64_t next_b = 0, next_c = 0;
  for (const Step& s : steps) {
    if (s.kind != Step::Kind::kInsert) {
      ASSERT_EQ(s.baseline, next_b);
      ++next_b;
    }
    if (s.kind != Step::Kind::kDelete) {
      ASSERT_EQ(s.candidate, next_c);
      ++next_c;
    }
  }
  EXPECT_EQ(next_b, n);
  EXPECT_EQ(next_c, m);
  EXPECT_GE(steps.size(), std::max(n, m));
  EXPECT_LE(steps.size(), n + m);
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
    const Matrix cost = random_costs(rng, n, m);

    std::set<std::pair<size_t, size_t>> asked;
    size_t calls = 0;
    const RowCosts counting = [&](size_t i, size_t j_begin, size_t j_end, double* out) {
      for (size_t j = j_begin; j < j_end; ++j) {
        EXPECT_TRUE(asked.emplace(i, j).second) << "cell asked twice: " << i << ", " << j;
        ++calls;
        out[j - j_begin] = cost[i][j];
      }
    };
    const std::vector<Step> steps = align_costs(n, m, counting, param.options);
    ASSERT_EQ(steps, reference_align(cost, n, m, param.options)) << "n=" << n << " m=" << m << " round " << round;
    expect_consumes_every_index_in_order(steps, n, m);

    size_t expected_cells = n * m;
    if (const size_t w = band_radius(n, m, param.options); w != 0) {
      expected_cells = 0;
      for (size_t i = 1; i <= n; ++i) expected_cells += std::min(m, i + w) - (i > w ? i - w : 1) + 1;
    }
    EXPECT_EQ(calls, expected_cells);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, AlignRandom,
    ::testing::Values(RandomCase{12, AlignOptions{}},                                   // full table
                      RandomCase{30, AlignOptions{.banding_threshold = 4, .min_band_radius = 1}},
                      RandomCase{30, AlignOptions{.banding_threshold = 8, .min_band_radius = 2}},
                      RandomCase{60, AlignOptions{.banding_threshold = 20, .min_band_radius = 3}}),
    [](const ::testing::TestParamInfo<RandomCase>& info) {
      return "up_to_" + std::to_string(info.param.max_side) + "_threshold_" +
             std::to_string(info.param.options.banding_threshold) + "_radius_" +
             std::to_string(info.param.options.min_band_radius);
    });

TEST(BandRadius, FollowsTheLongerSideAndTheDifference) {
  EXPECT_EQ(band_radius(1000, 1000), 0u);  // not banded
  EXPECT_EQ(band_radius(1, 1000), 0u);
  EXPECT_EQ(band_radius(1001, 1001), 100u);   // sqrt 31, raised to 100
  EXPECT_EQ(band_radius(1001, 600), 501u);    // + 401
  EXPECT_EQ(band_radius(600, 1001), 501u);
  EXPECT_EQ(band_radius(40000, 40000), 200u);  // sqrt exactly 200
  EXPECT_EQ(band_radius(40399, 40399), 200u);  // 201^2 = 40401
  EXPECT_EQ(band_radius(40401, 40401), 201u);
  EXPECT_EQ(band_radius(50, 40, {.banding_threshold = 10, .min_band_radius = 3}), 7u + 10u);
}

TEST(Align, ZeroCostDiagonalGivesMatchesOnly) {
  const size_t n = 9;
  Matrix cost(n, std::vector<double>(n, 0.5));
  for (size_t k = 0; k < n; ++k) cost[k][k] = 0.0;
  const std::vector<Step> steps = align_costs(n, n, from_matrix(cost));
  ASSERT_EQ(steps.size(), n);
  for (size_t k = 0; k < n; ++k) EXPECT_EQ(steps[k], Step::match(k, k));
}

TEST(Align, OneTurnEachIsAlwaysAMatch) {
  for (double c : {0.0, 0.6, 0.99}) {
    const Matrix cost{{c}};
    EXPECT_EQ(align_costs(1, 1, from_matrix(cost)), std::vector<Step>{Step::match(0, 0)}) << c;
  }
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

TEST(Align, TiesPreferMatchThenInsert) {
  // Pairing costs 0.6 + 0.6 = 1.2 in all; a delete and an insert cost the
  // same 1.2: the match wins.
  EXPECT_EQ(align_costs(1, 1, from_matrix(Matrix{{0.6}})), std::vector<Step>{Step::match(0, 0)});
  // 2 x 1: match (0,0) then delete 1 costs 0.6 + 0.6; delete 0 then match
  // (1,0) costs the same. At cell (2,1) the match move wins the tie.
  EXPECT_EQ(align_costs(2, 1, from_matrix(Matrix{{0.0}, {0.0}})),
            (std::vector<Step>{Step::remove(0), Step::match(1, 0)}));
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
