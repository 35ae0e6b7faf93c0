#include "core/diff/bootstrap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/diff/chacha12.h"
#include "core/error.h"
#include "vectors.h"

namespace korvane::diff {
namespace {

using vectors::load_vectors;
using vectors::Vector;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------
// Known answers of the generator.

uint64_t arg(const Vector& v, size_t i) { return std::stoull(v.args.at(i)); }

std::string run_rng_vector(const Vector& v) {
  std::string out;
  auto line = [&](auto... fields) {
    std::string sep;
    ((out += sep + std::to_string(fields), sep = "\t"), ...);
    out += '\n';
  };
  BootstrapRng rng = BootstrapRng::from_seed(arg(v, 0));
  if (v.call == "rng_key") {
    for (uint32_t word : rng.key()) line(word);
  } else if (v.call == "rng_words") {
    for (uint64_t k = arg(v, 1); k > 0; --k) line(rng.next_u32());
  } else if (v.call == "rng_u64") {
    for (uint64_t k = arg(v, 1); k > 0; --k) rng.next_u32();
    for (uint64_t k = arg(v, 2); k > 0; --k) line(rng.next_u64());
  } else if (v.call == "rng_index") {
    const bool consumed = v.args.size() > 3 && v.args[3] == "--consumed";
    for (uint64_t k = arg(v, 2); k > 0; --k) {
      const uint64_t index = rng.index_below(arg(v, 1));
      consumed ? line(index, rng.words_consumed()) : line(index);
    }
  } else {
    ADD_FAILURE() << "unknown call " << v.call;
  }
  return out;
}

TEST(BootstrapRng, KnownAnswerVectors) {
  const std::vector<Vector> all = load_vectors("rng.jsonl");
  ASSERT_FALSE(all.empty());
  for (const Vector& v : all) EXPECT_EQ(run_rng_vector(v), v.expected) << v.name;
}

// fill_indices is index_below_u32 in bulk: the same indices and the same
// words consumed, whatever the counts and the buffer position it starts at.
TEST(BootstrapRng, FillIndicesMatchesSingleDraws) {
  for (uint32_t m : {1u, 2u, 3u, 7u, 64u, 65u, 1000u, 1025u, 2147483649u, 4294967295u}) {
    for (size_t count : {1u, 5u, 63u, 64u, 65u, 200u, 1001u}) {
      BootstrapRng bulk = BootstrapRng::from_seed(m * 31 + count), single = bulk;
      std::vector<uint32_t> drawn(count);
      for (int round = 0; round < 3; ++round) {
        bulk.fill_indices(m, drawn);
        for (uint32_t index : drawn) ASSERT_EQ(index, single.index_below_u32(m)) << "m " << m << " count " << count;
        ASSERT_EQ(bulk.words_consumed(), single.words_consumed());
      }
    }
  }
}

// One ChaCha12 block the textbook way, one word at a time.
std::array<uint32_t, 16> textbook_block(const std::array<uint32_t, 8>& key, uint64_t counter) {
  std::array<uint32_t, 16> in = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  std::copy(key.begin(), key.end(), in.begin() + 4);
  in[12] = static_cast<uint32_t>(counter);
  in[13] = static_cast<uint32_t>(counter >> 32);
  std::array<uint32_t, 16> x = in;
  auto qr = [&x](int a, int b, int c, int d) {
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
  };
  for (int round = 0; round < 6; ++round) {
    qr(0, 4, 8, 12), qr(1, 5, 9, 13), qr(2, 6, 10, 14), qr(3, 7, 11, 15);
    qr(0, 5, 10, 15), qr(1, 6, 11, 12), qr(2, 7, 8, 13), qr(3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) x[i] += in[i];
  return x;
}

// Every vector width computes the textbook blocks, also where the block
// counter carries into its high word or wraps around.
TEST(Chacha12, EveryImplementationMatchesTheTextbookBlocks) {
  std::array<uint32_t, 8> key = BootstrapRng::from_seed(9).key();
  for (ChachaBatch batch : chacha12_implementations()) {
    for (uint64_t counter : {uint64_t{0}, uint64_t{20}, uint64_t{0xfffffff8}, ~uint64_t{0} - 7}) {
      std::vector<uint32_t> words(kChachaBatchWords);
      batch(key, counter, words.data());
      for (int b = 0; b < kChachaBatchBlocks; ++b) {
        const std::array<uint32_t, 16> want = textbook_block(key, counter + b);
        ASSERT_TRUE(std::equal(want.begin(), want.end(), words.begin() + 16 * b)) << counter << " block " << b;
      }
    }
  }
}

TEST(BootstrapRng, EntropySeedsDiffer) {
  EXPECT_NE(BootstrapRng::from_entropy().key(), BootstrapRng::from_entropy().key());
}

// ---------------------------------------------------------------------------
// Statistics.

TEST(Statistics, MedianIsTheMiddleOfTheAscendingOrder) {
  const std::pair<std::vector<double>, double> cases[] = {
      {{}, 0.0}, {{7}, 7.0}, {{3, 1, 2}, 2.0}, {{4, 1, 3, 2}, 2.5}, {{5, 5, 1, 5}, 5.0},
      {{-1e308, -1e308}, -1e308}, {{1e308, 1.5e308}, 1.25e308},  // the mean of the middle two does not overflow
      {{kNaN, 1, 2}, 2.0}, {{3, kNaN, kNaN, 1, 2}, 3.0}};   // NaN sorts after every number
  for (const auto& [series, expected] : cases) EXPECT_EQ(median(series), expected) << series.size();
}

TEST(Statistics, MeanAndPercentile) {
  EXPECT_EQ(mean(std::vector<double>{}), 0.0);
  EXPECT_EQ(mean(std::vector<double>{1, 0, 1, 1}), 0.75);
  EXPECT_EQ(mean(std::vector<double>{1e16, 1, -1e16}), 0.0);  // summed in series order: (1e16 + 1) is 1e16
  std::vector<double> s(1000);
  for (int i = 0; i < 1000; ++i) s[i] = i;
  EXPECT_NEAR(percentile(s, 0.025), 24.975, 1e-9);
  EXPECT_NEAR(percentile(s, 0.975), 974.025, 1e-9);
  EXPECT_EQ(percentile(s, 1.0), 999.0);
  EXPECT_EQ(percentile(std::vector<double>{5.0}, 0.975), 5.0);
}

// ---------------------------------------------------------------------------
// The paired bootstrap against its definition, written out literally: draw
// each index, copy the samples, sort them stably, take the statistic.

bool nan_last_less(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

double defined_statistic(Statistic which, std::vector<double> sample) {
  const size_t m = sample.size();
  if (which == Statistic::kMean) return std::accumulate(sample.begin(), sample.end(), 0.0) / static_cast<double>(m);
  std::stable_sort(sample.begin(), sample.end(), nan_last_less);
  if (m % 2 == 1) return sample[m / 2];
  const double plain = (sample[m / 2 - 1] + sample[m / 2]) * 0.5;
  // Where the sum overflows a double, the wider exponent of long double holds it.
  return std::isinf(plain) ? static_cast<double>((static_cast<long double>(sample[m / 2 - 1]) + sample[m / 2]) / 2)
                           : plain;
}

std::pair<double, double> defined_bootstrap(const std::vector<double>& baseline, const std::vector<double>& candidate,
                                            Statistic which, uint64_t seed) {
  BootstrapRng rng = BootstrapRng::from_seed(seed);
  const size_t m = baseline.size();
  std::vector<double> deltas;
  for (int r = 0; r < 1000; ++r) {
    std::vector<double> b, c;
    for (size_t k = 0; k < m; ++k) {
      const uint64_t j = rng.index_below(m);
      b.push_back(baseline[j]);
      c.push_back(candidate[j]);
    }
    deltas.push_back(defined_statistic(which, c) - defined_statistic(which, b));
  }
  std::stable_sort(deltas.begin(), deltas.end(), nan_last_less);
  return {percentile(deltas, 0.025), percentile(deltas, 0.975)};
}

// paired_bootstrap gives the bits of the definition, so 0.0 and -0.0 differ.
// Any NaN equals any NaN: which operand's NaN an addition passes on is up to
// the compiler, and the report shows every NaN as null.
void expect_definition(const std::vector<double>& b, const std::vector<double>& c, Statistic which, uint64_t seed,
                       const std::string& context) {
  const auto [low, high] = paired_bootstrap(b, c, which, seed);
  const auto [want_low, want_high] = defined_bootstrap(b, c, which, seed);
  for (auto [got, want] : {std::pair{low, want_low}, std::pair{high, want_high}}) {
    EXPECT_TRUE((std::isnan(got) && std::isnan(want)) || std::bit_cast<uint64_t>(got) == std::bit_cast<uint64_t>(want))
        << context << ": " << got << " vs " << want;
  }
}

// Random series of the shapes the axes produce: few distinct values (ties),
// many distinct values, 0/1 rates, constants, signed zeros, NaN and huge
// values.
std::vector<double> random_series(std::mt19937_64& gen, size_t m, int shape) {
  std::vector<double> s(m);
  std::uniform_int_distribution<int> small(0, 3);
  std::uniform_real_distribution<double> real(-50.0, 50.0);
  for (double& v : s) {
    switch (shape) {
      case 0: v = small(gen); break;                                  // heavy ties
      case 1: v = real(gen); break;                                   // distinct
      case 2: v = small(gen) % 2; break;                              // 0/1 rate
      case 3: v = 2.5; break;                                         // constant
      case 4: v = small(gen) == 0 ? 0.0 : small(gen) == 0 ? 1.0 : -0.0; break;  // signed zeros
      case 5: v = small(gen) == 0 ? kNaN : real(gen); break;          // NaN present
      case 6: v = small(gen) == 0 ? 1e308 : 1.7e308; break;           // overflowing means
      default: v = std::round(real(gen)) / 4; break;                  // quarters
    }
  }
  // A 0.0 ahead of the -0.0s: the stable order, not the value, decides which
  // zero a median takes.
  if (shape == 4) s[0] = 0.0;
  return s;
}

TEST(PairedBootstrap, EqualsTheDefinitionBitForBit) {
  std::mt19937_64 gen(20240611);
  int checked = 0;
  for (size_t m : {1u, 2u, 3u, 4u, 5u, 8u, 17u, 64u, 65u, 200u}) {
    for (int bshape = 0; bshape < 8; ++bshape) {
      for (int cshape = 0; cshape < 8; cshape += (m > 16 ? 3 : 1)) {
        const std::vector<double> b = random_series(gen, m, bshape), c = random_series(gen, m, cshape);
        for (Statistic which : {Statistic::kMedian, Statistic::kMean}) {
          expect_definition(b, c, which, gen(),
                            "m " + std::to_string(m) + " shapes " + std::to_string(bshape) + "/" +
                                std::to_string(cshape) + (which == Statistic::kMedian ? " median" : " mean"));
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 800);
  // Series where equal values are not the same bits: which zero (or which
  // NaN) a median takes depends on the order of the draws.
  const std::vector<double> zeros(7, 0.0), mixed = {0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0},
                            alternating = {-0.0, 0.0, -0.0, 0.0, 5.0, -0.0, 0.0, 0.0},
                            rising = {1, 2, 3, 4, 5, 6, 7, 8}, nans = {kNaN, -kNaN, 1.0, kNaN, -kNaN, -kNaN, kNaN, 2.0};
  for (uint64_t seed : {1u, 2u, 3u}) {
    for (auto [b, c] : {std::pair{zeros, mixed}, std::pair{mixed, zeros}, std::pair{alternating, rising},
                        std::pair{rising, alternating}, std::pair{nans, rising}}) {
      expect_definition(b, c, Statistic::kMedian, seed, "seed " + std::to_string(seed));
    }
  }
}

// Under a seed, bootstraps of one series length share their draws: each
// interval is the one its own generator gives.
TEST(PairedBootstraps, SharedDrawsGiveEachPairItsOwnInterval) {
  std::mt19937_64 gen(5);
  for (size_t m : {1u, 3u, 10u, 40u}) {
    std::vector<std::vector<double>> series;
    for (int shape = 0; shape < 8; ++shape) series.push_back(random_series(gen, m, shape));
    std::vector<SeriesPair> pairs;
    for (int k = 0; k < 8; ++k) {
      pairs.push_back({series[k], series[(k + 3) % 8], k % 2 == 0 ? Statistic::kMedian : Statistic::kMean});
    }
    const auto together = paired_bootstraps(pairs, 77);
    for (size_t k = 0; k < pairs.size(); ++k) {
      const auto alone = paired_bootstrap(pairs[k].baseline, pairs[k].candidate, pairs[k].statistic, 77);
      for (auto [got, want] : {std::pair{together[k].first, alone.first}, std::pair{together[k].second, alone.second}}) {
        EXPECT_TRUE((std::isnan(got) && std::isnan(want)) || std::bit_cast<uint64_t>(got) == std::bit_cast<uint64_t>(want))
            << "m " << m << " pair " << k;
      }
    }
  }
}

TEST(PairedBootstrap, SeedsMatterAndNoSeedDrawsFromEntropy) {
  std::mt19937_64 gen(3);
  std::vector<double> b = random_series(gen, 50, 1), c = random_series(gen, 50, 1);
  EXPECT_NE(paired_bootstrap(b, c, Statistic::kMedian, 42), paired_bootstrap(b, c, Statistic::kMedian, 43));
  EXPECT_EQ(paired_bootstrap(std::vector<double>{1.0}, std::vector<double>{0.0}, Statistic::kMedian, std::nullopt),
            std::pair(-1.0, -1.0));
}

TEST(PairedBootstrap, RejectsUnequalAndEmptySeries) {
  std::vector<double> b = {1, 2, 3}, c = {1, 2};
  try {
    paired_bootstrap(b, c, Statistic::kMedian, 1);
    FAIL() << "no exception";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "baseline and candidate must have equal length");
  }
  EXPECT_THROW(paired_bootstrap({}, {}, Statistic::kMean, 1), InternalError);
}

}  // namespace
}  // namespace korvane::diff
