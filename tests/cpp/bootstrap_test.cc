// The bootstrap's generator against its known answers and a textbook
// ChaCha12, the statistics, and the paired bootstrap against its
// definition written out literally.
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

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string run_rng_vector(const vectors::Vector& v) {
  const auto arg = [&](size_t i) { return std::stoull(v.args.at(i)); };
  std::string out;
  const auto line = [&](auto... fields) {
    std::string sep;
    ((out += sep + std::to_string(fields), sep = "\t"), ...);
    out += '\n';
  };
  BootstrapRng rng = BootstrapRng::from_seed(arg(0));
  if (v.call == "rng_key") {
    for (uint32_t word : rng.key()) line(word);
  } else if (v.call == "rng_words" || v.call == "rng_u64") {
    for (uint64_t k = arg(1); k > 0; --k) v.call == "rng_words" ? line(rng.next_u32()) : void(rng.next_u32());
    for (uint64_t k = v.call == "rng_u64" ? arg(2) : 0; k > 0; --k) line(rng.next_u64());
  } else {
    EXPECT_EQ(v.call, "rng_index");
    for (uint64_t k = arg(2); k > 0; --k) {
      const uint64_t index = rng.index_below(arg(1));
      v.args.size() > 3 && v.args[3] == "--consumed" ? line(index, rng.words_consumed()) : line(index);
    }
  }
  return out;
}

TEST(BootstrapRng, KnownAnswerVectors) {
  const std::vector<vectors::Vector> all = vectors::load_vectors("rng.jsonl");
  ASSERT_FALSE(all.empty());
  for (const vectors::Vector& v : all) EXPECT_EQ(run_rng_vector(v), v.expected) << v.name;
  EXPECT_NE(BootstrapRng::from_entropy().key(), BootstrapRng::from_entropy().key());
}

// fill_indices is index_below_u32 in bulk: the same indices and words
// consumed, whatever the counts and the buffer position it starts at.
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
  const auto qr = [&x](int a, int b, int c, int d) {
    x[a] += x[b], x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d], x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b], x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d], x[b] = std::rotl(x[b] ^ x[c], 7);
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
  const std::array<uint32_t, 8> key = BootstrapRng::from_seed(9).key();
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

TEST(Statistics, MedianMeanAndPercentile) {
  const std::pair<std::vector<double>, double> medians[] = {
      {{}, 0.0}, {{3, 1, 2}, 2.0}, {{4, 1, 3, 2}, 2.5},
      {{-1e308, -1e308}, -1e308}, {{1e308, 1.5e308}, 1.25e308},  // the mean of the middle two does not overflow
      {{kNaN, 1, 2}, 2.0}, {{3, kNaN, kNaN, 1, 2}, 3.0}};      // NaN sorts after every number
  for (const auto& [series, expected] : medians) EXPECT_EQ(median(series), expected) << series.size();
  EXPECT_EQ(std::pair(mean(std::vector<double>{}), mean(std::vector<double>{1e16, 1, -1e16})), std::pair(0.0, 0.0));
  std::vector<double> s(1000);  // the definition below takes its bounds with percentile()
  std::iota(s.begin(), s.end(), 0.0);
  EXPECT_EQ(std::tuple(percentile(s, 0.025), percentile(s, 0.975), percentile(s, 1.0),
                       percentile(std::vector<double>{5.0}, 0.975)),
            std::tuple(24.975, 974.025, 999.0, 5.0));
}

// ---- The paired bootstrap against its definition: draw each index, copy
// the samples, sort them stably, take the statistic.

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

std::pair<double, double> defined_bootstrap(std::span<const double> baseline, std::span<const double> candidate,
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

// The same bits (0.0 and -0.0 differ); any NaN equals any NaN, since which
// operand's NaN an addition passes on is up to the compiler.
testing::AssertionResult same_interval(std::pair<double, double> got, std::pair<double, double> want) {
  for (auto [g, w] : {std::pair{got.first, want.first}, std::pair{got.second, want.second}}) {
    if (!(std::isnan(g) && std::isnan(w)) && std::bit_cast<uint64_t>(g) != std::bit_cast<uint64_t>(w)) {
      return testing::AssertionFailure() << g << " vs " << w;
    }
  }
  return testing::AssertionSuccess();
}

// Series of the shapes the axes produce: heavy ties, distinct values, 0/1
// rates, constants, signed zeros and NaNs of either sign (equal values that
// are not the same bits: which one a median takes depends on the order of
// the draws), huge values, quarters.
std::vector<double> random_series(std::mt19937_64& gen, size_t m, int shape) {
  std::vector<double> s(m);
  std::uniform_int_distribution<int> small(0, 3);
  std::uniform_real_distribution<double> real(-50.0, 50.0);
  for (double& v : s) {
    switch (shape) {
      case 0: v = small(gen); break;
      case 1: v = real(gen); break;
      case 2: v = small(gen) % 2; break;
      case 3: v = 2.5; break;
      case 4: v = small(gen) == 0 ? 0.0 : small(gen) == 0 ? 1.0 : -0.0; break;
      case 5: v = small(gen) == 0 ? (small(gen) % 2 ? kNaN : -kNaN) : real(gen); break;
      case 6: v = small(gen) == 0 ? 1e308 : 1.7e308; break;  // medians whose plain formula overflows
      default: v = std::round(real(gen)) / 4; break;
    }
  }
  // A 0.0 ahead of the -0.0s: the stable order, not the value, decides which
  // zero a median takes.
  if (shape == 4) s[0] = 0.0;
  return s;
}

// Each interval, alone and with the draws shared between the series of one
// length under a seed, has the bits of the definition.
TEST(PairedBootstrap, EqualsTheDefinitionBitForBit) {
  std::mt19937_64 gen(20240611);
  for (size_t m : {1u, 2u, 3u, 4u, 5u, 8u, 17u, 64u, 65u, 200u}) {
    for (int round = 0; round < (m > 16 ? 3 : 8); ++round) {
      std::vector<std::vector<double>> series;
      for (int shape = 0; shape < 8; ++shape) series.push_back(random_series(gen, m, shape));
      std::vector<SeriesPair> pairs;
      for (int k = 0; k < 16; ++k) {
        pairs.push_back({series[(k + round) % 8], series[k % 8], k < 8 ? Statistic::kMedian : Statistic::kMean});
      }
      const uint64_t seed = gen();
      const auto shared = paired_bootstraps(pairs, seed);
      for (size_t k = 0; k < pairs.size(); ++k) {
        const auto [b, c, which] = pairs[k];
        const auto want = defined_bootstrap(b, c, which, seed);
        EXPECT_TRUE(same_interval(paired_bootstrap(b, c, which, seed), want)) << "m " << m << " pair " << k;
        EXPECT_TRUE(same_interval(shared[k], want)) << "m " << m << " pair " << k << " shared";
      }
    }
  }
}

TEST(PairedBootstrap, WithoutASeedAndFailures) {
  const std::vector<double> one = {1.0}, zero = {0.0}, two = {1.0, 2.0};
  EXPECT_EQ(paired_bootstrap(one, zero, Statistic::kMedian, std::nullopt), std::pair(-1.0, -1.0));
  EXPECT_THROW(paired_bootstrap(one, two, Statistic::kMedian, 1), InternalError);
  EXPECT_THROW(paired_bootstrap({}, {}, Statistic::kMean, 1), InternalError);
}

}  // namespace
}  // namespace korvane::diff
