// Statistics of value series and the paired bootstrap of their delta.
//
// A value series is a span of doubles, one per used response pair. Sorting
// puts them in ascending order with NaN after every number (a cost can be
// NaN, under infinite prices or overflowing token counts); on series without
// NaN that is exactly the order of "<". The generator is fixed bit for bit,
// so that a seeded report is reproducible: ChaCha with 12 rounds, keyed by
// eight words from PCG32 (a seed) or from 32 bytes of OS entropy (no seed).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/diff/chacha12.h"

namespace korvane::diff {

// A ChaCha12 stream: stream number 0, block counter from 0, the words of
// the blocks in order. A 64-bit output is two consecutive words, low first,
// also across a refill. The buffer holds sixteen blocks per refill, computed
// side by side; the stream is the same as with any other batch size. A
// generator is a plain value owned by one bootstrap.
class BootstrapRng {
 public:
  // Key words from PCG32 started at seed.
  static BootstrapRng from_seed(uint64_t seed);
  // Key words from 32 bytes of OS entropy read in one request. Throws
  // InternalError "from_entropy failed: {OS error text}" when refused.
  static BootstrapRng from_entropy();
  explicit BootstrapRng(const std::array<uint32_t, 8>& key);

  [[nodiscard]] const std::array<uint32_t, 8>& key() const { return key_; }

  uint32_t next_u32() {
    if (index_ == kBufferWords) refill_at(0);
    return buffer_[index_++];
  }

  uint64_t next_u64();

  // A uniform index below m (m >= 1) by widening multiplication with
  // rejection: 32-bit draws for m < 2^32, 64-bit draws above.
  uint64_t index_below(uint64_t m) {
    return m <= UINT32_MAX ? index_below_u32(static_cast<uint32_t>(m)) : index_below_u64(m);
  }

  // The 32-bit rule with its rejection zone precomputed: zone_u32(m) once per
  // m, then any number of draws. Bootstraps draw millions of indices below
  // the same m.
  static uint32_t zone_u32(uint32_t m) {
    return (m << __builtin_clz(m)) - 1;  // m >= 1
  }
  uint32_t index_below_u32(uint32_t m, uint32_t zone) {
    for (;;) {
      uint64_t p = uint64_t{next_u32()} * m;
      if (static_cast<uint32_t>(p) <= zone) return static_cast<uint32_t>(p >> 32);
    }
  }
  uint32_t index_below_u32(uint32_t m) { return index_below_u32(m, zone_u32(m)); }
  uint64_t index_below_u64(uint64_t m);

  // Writes out.size() indices below m (1 <= m < 2^32), consuming exactly the
  // words that as many index_below_u32(m) calls would; whole buffers at a
  // time, without a branch per rejected draw.
  void fill_indices(uint32_t m, std::span<uint32_t> out);

  // 32-bit words handed out so far (for tests of the consumption rule).
  [[nodiscard]] uint64_t words_consumed() const {
    return counter_ == 0 ? 0 : (counter_ / kChachaBatchBlocks - 1) * kBufferWords + index_;
  }

 private:
  static constexpr uint32_t kBufferWords = kChachaBatchWords;

  // Fills the buffer with the next batch of blocks, advances the counter
  // past them and sets the read index.
  void refill_at(uint32_t index);

  std::array<uint32_t, 8> key_;
  uint64_t counter_ = 0;           // the block counter of the next refill
  uint32_t index_ = kBufferWords;  // the next word of buffer_ to hand out; kBufferWords when used up
  alignas(64) std::array<uint32_t, kBufferWords> buffer_{};
};

enum class Statistic { kMedian, kMean };

// The number of joint resamples of a paired bootstrap.
inline constexpr int kBootstrapResamples = 1000;
// The fractions at which the sorted resample statistics give the bounds of
// the 95% interval.
inline constexpr double kIntervalLow = 0.025;
inline constexpr double kIntervalHigh = 0.975;

// (a + b) x 0.5, and where that overflows although a and b are finite, the
// same mean without overflowing.
double midpoint(double a, double b);

// (1 - f) a + f b, and where that overflows although a and b are finite,
// the same interpolation without overflowing.
double interpolate(double a, double b, double f);

// 0.0 for an empty series; otherwise the middle element of the stably
// sorted copy, or the midpoint() of the two middle elements.
double median(std::span<const double> series);
// Sum in series order divided by the length; 0.0 for an empty series.
double mean(std::span<const double> series);
double statistic(Statistic which, std::span<const double> series);

// The linearly interpolated value at fraction q of a sorted, non-empty
// sequence: pos = (L - 1) q, interpolate(s[lo], s[hi], pos - lo).
double percentile(std::span<const double> sorted, double q);

// The 95% interval (low, high) of statistic(candidate) - statistic(baseline)
// over 1000 joint resamples of the pairs, drawn by a fresh generator from
// seed (OS entropy when there is none). The series must have the same length
// m >= 1; unequal lengths throw InternalError. Throws InternalError when OS
// entropy is needed and refused.
std::pair<double, double> paired_bootstrap(std::span<const double> baseline,
                                           std::span<const double> candidate, Statistic which,
                                           std::optional<uint64_t> seed);

// Two series of one axis and the statistic that reduces each.
struct SeriesPair {
  std::span<const double> baseline;
  std::span<const double> candidate;
  Statistic statistic;
};

// The intervals paired_bootstrap() gives each pair, for pairs whose series
// all have one length m. Under a seed every generator starts from the same
// key and draws the same indices for the same m, so one stream of draws
// serves them all; without a seed each pair reads its own entropy.
std::vector<std::pair<double, double>> paired_bootstraps(std::span<const SeriesPair> pairs,
                                                         std::optional<uint64_t> seed);

}  // namespace korvane::diff
