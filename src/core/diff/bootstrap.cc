#include "core/diff/bootstrap.h"

#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>  // getentropy
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "core/error.h"

namespace korvane::diff {
namespace {

// ---------------------------------------------------------------------------
// The order of the statistics: the ascending order of doubles, with NaN after
// every number. On series without NaN it is exactly "a < b" (and -0.0 and
// 0.0 are equivalent); unlike "a < b" it is a strict weak order on every
// input, so sorting cannot go wrong when a series does hold a NaN.

inline bool less(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

// less() as a function object, so that the sorts inline it.
struct Less {
  bool operator()(double a, double b) const { return less(a, b); }
};

inline bool equivalent(double a, double b) { return !less(a, b) && !less(b, a); }

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void sort_stable(std::vector<double>& values) { std::stable_sort(values.begin(), values.end(), Less{}); }

// The median of an ascending sequence given its two middle elements (equal
// positions when m is odd).
inline double middle(double lower, double upper, size_t m) {
  if (m % 2 == 1) return upper;
  const double plain = (lower + upper) * 0.5;
  return std::isfinite(plain) ? plain : midpoint(lower, upper);
}

// The count values of values that come first under before (a strict order
// in which values that compare equal are equal in bits), in that order. One
// pass gathers candidates, unsorted, into a buffer of 2 count; each time it
// fills, it keeps its count first values, the last of which bounds the
// candidates from then on. Each value costs a comparison and a store,
// without a branch on the comparison.
template <class Before>
std::vector<double> first_values(std::span<const double> values, size_t count, Before before) {
  std::vector<double> held(2 * count);
  const auto keep = static_cast<std::ptrdiff_t>(count);
  double* const full = held.data() + held.size();
  double* end = held.data();
  const double* value = values.data();
  const double* const last = value + values.size();
  for (; value != last && end != full; ++value) *end++ = *value;
  while (value != last) {
    std::nth_element(held.data(), held.data() + keep - 1, full, before);
    const double bound = held[count - 1];
    end = held.data() + keep;
    for (; value != last && end != full; ++value) {
      *end = *value;
      end += before(*value, bound);
    }
  }
  std::sort(held.data(), end, before);
  held.resize(std::min(static_cast<size_t>(end - held.data()), count));
  return held;
}

// Draws are made and evaluated a chunk of resamples at a time, of at most
// this many indices in all (but at least one resample).
constexpr size_t kChunkIndices = 16384;

// Chunks of at least this many resamples (series of up to 128 pairs) find
// their medians side by side.
constexpr size_t kSideBySideResamples = 128;

// ---------------------------------------------------------------------------
// One side's statistic over the resamples of a bootstrap.
//
// A resample is the series taken at the drawn indices, in draw order; the
// caller counts how often each index is drawn, once for all the sides that
// share the draws. Each form below gives bit for bit the statistic of that
// sample as defined (median by a stable sort, mean by a sum in sample order)
// without building or sorting the sample:
//  - constant series: every resample is the same sequence of one value, so
//    its statistic is the statistic of the series;
//  - median: the series' indices are sorted once by value into classes of
//    equivalent values; a resample walks them in that order, adding up the
//    draw counts, to the middle positions; the resamples of a large chunk
//    walk side by side, a step of every resample at a time, so that the walk
//    has no branch that depends on the draws. A class whose members are not
//    all the same bits (0.0 and -0.0, NaNs with different payloads) is
//    resolved as the stable sort does: the element at offset t within the
//    class is the t-th drawn member of the class in draw order;
//  - mean of a series of 0.0 and 1.0: the sum is the exact count of ones
//    drawn, so the mean is that count divided by m;
//  - any other mean: the sum in draw order.
class SideStatistic {
 public:
  SideStatistic(std::span<const double> series, Statistic which) : series_(series) {
    size_t m = series.size();
    if (std::all_of(series.begin(), series.end(), [&](double v) { return same_bits(v, series[0]); })) {
      mode_ = Mode::kConstant;
      constant_ = statistic(which, series);
    } else if (which == Statistic::kMedian) {
      mode_ = Mode::kMedianByRank;
      rank_classes();
    } else if (std::all_of(series.begin(), series.end(), [](double v) { return v == 0.0 || v == 1.0; })) {
      mode_ = Mode::kMeanOfBits;
      for (size_t j = 0; j < m; ++j) {
        if (series[j] == 1.0) ones_.push_back(static_cast<uint32_t>(j));
      }
    } else {
      mode_ = Mode::kMeanBySum;
    }
  }

  [[nodiscard]] bool is_constant() const { return mode_ == Mode::kConstant; }
  // Whether evaluate() reads the draw counts.
  [[nodiscard]] bool uses_counts() const { return mode_ == Mode::kMedianByRank || mode_ == Mode::kMeanOfBits; }

  // The statistic of each resample of a chunk: resample r is drawn[r m,
  // (r + 1) m), counts[r m + j] the number of its draws of index j (when
  // uses_counts()), and its statistic goes to out[r]. scratch holds
  // 3 out.size() words.
  void evaluate(std::span<const uint32_t> drawn, std::span<const uint32_t> counts, size_t m, std::span<double> out,
                std::span<uint32_t> scratch) const {
    const double size = static_cast<double>(m);
    switch (mode_) {
      case Mode::kConstant:
        std::fill(out.begin(), out.end(), constant_);
        return;
      case Mode::kMedianByRank:
        if (all_uniform_ && out.size() >= kSideBySideResamples) {
          medians_side_by_side(counts, m, out, scratch);
          return;
        }
        for (size_t r = 0; r < out.size(); ++r) out[r] = median_by_rank(drawn.subspan(r * m, m), counts.data() + r * m);
        return;
      case Mode::kMeanOfBits:
        for (size_t r = 0; r < out.size(); ++r) {
          uint64_t ones = 0;
          for (uint32_t j : ones_) ones += counts[r * m + j];
          out[r] = static_cast<double>(ones) / size;
        }
        return;
      case Mode::kMeanBySum:
        for (size_t r = 0; r < out.size(); ++r) {
          double sum = 0.0;
          for (uint32_t j : drawn.subspan(r * m, m)) sum += series_[j];
          out[r] = sum / size;
        }
        return;
    }
  }

 private:
  enum class Mode { kConstant, kMedianByRank, kMeanOfBits, kMeanBySum };

  void rank_classes() {
    size_t m = series_.size();
    order_.resize(m);
    std::iota(order_.begin(), order_.end(), 0u);
    std::stable_sort(order_.begin(), order_.end(),
                     [&](uint32_t a, uint32_t b) { return less(series_[a], series_[b]); });
    rank_.resize(m);
    for (size_t k = 0; k < m; ++k) {
      double v = series_[order_[k]];
      sorted_.push_back(v);
      if (k == 0 || !equivalent(class_value_.back(), v)) {
        class_value_.push_back(v);
        class_uniform_.push_back(true);
      } else if (!same_bits(class_value_.back(), v)) {
        class_uniform_.back() = false;
        all_uniform_ = false;
      }
      rank_[order_[k]] = static_cast<uint32_t>(class_value_.size() - 1);
    }
  }

  // The medians of a chunk of resamples when every class is uniform (see
  // median_by_rank()), all resamples a step at a time: below_lower[r] and
  // below_upper[r] count the values, in ascending order, whose draws added
  // up (seen[r]) stay at or below the two middle positions. The walk stops
  // once every resample has passed the upper one.
  void medians_side_by_side(std::span<const uint32_t> counts, size_t m, std::span<double> out,
                            std::span<uint32_t> scratch) const {
    const size_t count = out.size();
    uint32_t* const seen = scratch.data();
    uint32_t* const below_lower = seen + count;
    uint32_t* const below_upper = below_lower + count;
    std::fill(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(3 * count), 0u);
    const auto lower = static_cast<uint32_t>((m - 1) / 2);
    const auto upper = static_cast<uint32_t>(m / 2);
    for (size_t k = 0; k < m; ++k) {
      const uint32_t* const drawn_k = counts.data() + order_[k];
      uint32_t least = UINT32_MAX;
      for (size_t r = 0; r < count; ++r) {
        seen[r] += drawn_k[r * m];
        below_lower[r] += seen[r] <= lower;
        below_upper[r] += seen[r] <= upper;
        least = std::min(least, seen[r]);
      }
      if (least > upper) break;
    }
    for (size_t r = 0; r < count; ++r) out[r] = middle(sorted_[below_lower[r]], sorted_[below_upper[r]], m);
  }

  // The element at offset t within class r of the stable order of the
  // resample: the t-th drawn member of the class.
  double member_in_draw_order(std::span<const uint32_t> drawn, uint32_t r, uint64_t t) const {
    if (class_uniform_[r]) return class_value_[r];
    for (uint32_t j : drawn) {
      if (rank_[j] == r && t-- == 0) return series_[j];
    }
    return class_value_[r];  // unreachable: the class has more than t draws
  }

  double median_by_rank(std::span<const uint32_t> drawn, const uint32_t* counts) const {
    const uint64_t m = drawn.size();
    size_t k = 0;                     // the position in order_ reached
    uint64_t seen = counts[order_[0]];  // draws of order_[0 .. k]
    if (all_uniform_) {
      // Every value of a class has the same bits: the element at a position
      // is the value whose draws reach past it.
      while (seen <= (m - 1) / 2) seen += counts[order_[++k]];
      const double lower = sorted_[k];
      while (seen <= m / 2) seen += counts[order_[++k]];
      return middle(lower, sorted_[k], m);
    }
    uint64_t before_class = 0;  // draws of the classes below that of order_[k]
    const auto element = [&](uint64_t pos) {
      while (seen <= pos) {
        ++k;
        if (rank_[order_[k]] != rank_[order_[k - 1]]) before_class = seen;
        seen += counts[order_[k]];
      }
      return member_in_draw_order(drawn, rank_[order_[k]], pos - before_class);
    };
    const double lower = element((m - 1) / 2);
    return middle(lower, element(m / 2), m);
  }

  std::span<const double> series_;
  Mode mode_;
  double constant_ = 0.0;
  std::vector<uint32_t> order_;       // indices in the stable ascending order of their values
  std::vector<double> sorted_;        // their values in that order
  bool all_uniform_ = true;           // every class is uniform
  std::vector<uint32_t> rank_;        // class of each index
  std::vector<double> class_value_;   // first value of each class, ascending
  std::vector<bool> class_uniform_;   // all members of the class share its bits
  std::vector<uint32_t> ones_;        // kMeanOfBits: the indices whose value is 1.0
};

// The 1000 resample statistics candidate - baseline of each series pair,
// all of one length m <= 2^32 - 1, from one stream of draws: deltas[k] of
// pair k. Pairs whose two sides are constant need no draws.
std::vector<std::vector<double>> resample_deltas(std::span<const SeriesPair> pairs, BootstrapRng& rng) {
  struct Sides {
    SideStatistic baseline;
    SideStatistic candidate;
  };
  std::vector<Sides> sides;
  sides.reserve(pairs.size());
  std::vector<std::vector<double>> deltas(pairs.size(), std::vector<double>(kBootstrapResamples));
  bool draws_needed = false;
  for (const SeriesPair& pair : pairs) {
    sides.push_back({SideStatistic(pair.baseline, pair.statistic), SideStatistic(pair.candidate, pair.statistic)});
    draws_needed |= !sides.back().baseline.is_constant() || !sides.back().candidate.is_constant();
  }
  const size_t m = pairs.front().baseline.size();
  const size_t chunk = std::clamp<size_t>(kChunkIndices / m, 1, kBootstrapResamples);
  std::vector<uint32_t> drawn(draws_needed ? chunk * m : 0);
  bool counts_needed = false;
  for (const Sides& s : sides) counts_needed |= s.baseline.uses_counts() || s.candidate.uses_counts();
  std::vector<uint32_t> counts(counts_needed ? chunk * m : 0);
  std::vector<uint32_t> scratch(3 * chunk);
  std::vector<double> baseline_statistics(chunk);
  for (size_t first = 0; first < kBootstrapResamples; first += chunk) {
    const size_t count = std::min<size_t>(chunk, kBootstrapResamples - first);
    const std::span<const uint32_t> indices = std::span(drawn).first(draws_needed ? count * m : 0);
    // The resamples' draws follow one another in the stream; every side
    // reads the same counts.
    if (draws_needed) rng.fill_indices(static_cast<uint32_t>(m), std::span(drawn).first(count * m));
    if (counts_needed) {
      std::fill(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(count * m), 0u);
      for (size_t r = 0; r < count * m; r += m) {
        for (size_t p = r; p < r + m; ++p) ++counts[r + drawn[p]];
      }
    }
    for (size_t k = 0; k < pairs.size(); ++k) {
      const std::span<double> out = std::span(deltas[k]).subspan(first, count);
      const std::span<double> base = std::span(baseline_statistics).first(count);
      sides[k].candidate.evaluate(indices, counts, m, out, scratch);
      sides[k].baseline.evaluate(indices, counts, m, base, scratch);
      for (size_t r = 0; r < count; ++r) out[r] -= base[r];
    }
  }
  return deltas;
}

// The 95% interval of 1000 resample statistics (sorted in place when they
// hold a NaN or -0.0).
std::pair<double, double> interval_of(std::vector<double>& deltas) {
  const size_t n = deltas.size();
  // Where equivalent values are also equal in bits (no NaN, no -0.0), every
  // arrangement of them is the stable one, and the values at the bounds'
  // positions, near the two ends, are found without sorting.
  int odd = 0;  // tested without a branch per value
  for (double v : deltas) odd |= (v != v) | ((v == 0.0) & (std::copysign(1.0, v) < 0.0));
  const bool plain = odd == 0;
  if (!plain) sort_stable(deltas);
  const auto at = [&](double q) {
    const double pos = static_cast<double>(n - 1) * q;
    const auto lo = static_cast<size_t>(std::floor(pos));
    const auto hi = static_cast<size_t>(std::ceil(pos));
    double low = deltas[lo], high = deltas[hi];
    if (plain && hi < n / 2) {
      const std::vector<double> smallest = first_values(deltas, hi + 1, std::less<>());
      low = smallest[lo], high = smallest[hi];
    } else if (plain) {
      const std::vector<double> largest = first_values(deltas, n - lo, std::greater<>());
      low = largest[n - 1 - lo], high = largest[n - 1 - hi];
    }
    return lo == hi ? low : interpolate(low, high, pos - static_cast<double>(lo));
  };
  const double low = at(kIntervalLow);
  return {low, at(kIntervalHigh)};
}

}  // namespace

// ---------------------------------------------------------------------------
// BootstrapRng

BootstrapRng::BootstrapRng(const std::array<uint32_t, 8>& key) : key_(key) {}

BootstrapRng BootstrapRng::from_seed(uint64_t seed) {
  // PCG32 (XSH RR) from state seed, one output per key word.
  std::array<uint32_t, 8> key;
  uint64_t x = seed;
  for (uint32_t& word : key) {
    x = x * 6364136223846793005ULL + 11634580027462260723ULL;
    uint32_t t = static_cast<uint32_t>(((x >> 18) ^ x) >> 27);
    uint32_t r = static_cast<uint32_t>(x >> 59);
    word = (t >> r) | (t << ((32 - r) & 31));
  }
  return BootstrapRng(key);
}

BootstrapRng BootstrapRng::from_entropy() {
  unsigned char bytes[32];
  if (getentropy(bytes, sizeof bytes) != 0) {
    throw InternalError(std::string("from_entropy failed: ") + std::strerror(errno));
  }
  std::array<uint32_t, 8> key;
  for (size_t k = 0; k < 8; ++k) {
    key[k] = uint32_t{bytes[4 * k]} | uint32_t{bytes[4 * k + 1]} << 8 |
             uint32_t{bytes[4 * k + 2]} << 16 | uint32_t{bytes[4 * k + 3]} << 24;
  }
  return BootstrapRng(key);
}

void BootstrapRng::refill_at(uint32_t index) {
  chacha12_batch(key_, counter_, buffer_.data());
  counter_ += kChachaBatchBlocks;
  index_ = index;
}

uint64_t BootstrapRng::next_u64() {
  uint64_t low, high;
  if (index_ < kBufferWords - 1) {
    low = buffer_[index_];
    high = buffer_[index_ + 1];
    index_ += 2;
  } else if (index_ == kBufferWords - 1) {
    low = buffer_[kBufferWords - 1];
    refill_at(1);
    high = buffer_[0];
  } else {
    refill_at(2);
    low = buffer_[0];
    high = buffer_[1];
  }
  return high << 32 | low;
}

uint64_t BootstrapRng::index_below_u64(uint64_t m) {
  uint64_t zone = (m << __builtin_clzll(m)) - 1;  // m >= 1
  for (;;) {
    unsigned __int128 p = static_cast<unsigned __int128>(next_u64()) * m;
    if (static_cast<uint64_t>(p) <= zone) return static_cast<uint64_t>(p >> 64);
  }
}

void BootstrapRng::fill_indices(uint32_t m, std::span<uint32_t> out) {
  const uint32_t zone = zone_u32(m);
  uint32_t* dst = out.data();
  size_t k = 0, n = out.size();
  while (k < n) {
    if (index_ == kBufferWords) refill_at(0);
    uint32_t i = index_;
    if (kBufferWords - i <= n - k) {
      // Even if every remaining word is accepted, out has room: store each
      // candidate and advance only on acceptance.
      for (; i < kBufferWords; ++i) {
        uint64_t p = uint64_t{buffer_[i]} * m;
        dst[k] = static_cast<uint32_t>(p >> 32);
        k += static_cast<uint32_t>(p) <= zone;
      }
    } else {
      // The store is in bounds while k < n; it stands only on acceptance.
      for (; k < n && i < kBufferWords; ++i) {
        uint64_t p = uint64_t{buffer_[i]} * m;
        dst[k] = static_cast<uint32_t>(p >> 32);
        k += static_cast<uint32_t>(p) <= zone;
      }
    }
    index_ = i;
  }
}

// ---------------------------------------------------------------------------
// Statistics

double median(std::span<const double> series) {
  if (series.empty()) return 0.0;
  std::vector<double> sorted(series.begin(), series.end());
  sort_stable(sorted);
  size_t m = sorted.size();
  return middle(sorted[(m - 1) / 2], sorted[m / 2], m);
}

double mean(std::span<const double> series) {
  if (series.empty()) return 0.0;
  double sum = 0.0;
  for (double v : series) sum += v;
  return sum / static_cast<double>(series.size());
}

double statistic(Statistic which, std::span<const double> series) {
  return which == Statistic::kMedian ? median(series) : mean(series);
}

double percentile(std::span<const double> sorted, double q) {
  const double pos = static_cast<double>(sorted.size() - 1) * q;
  const double lo = std::floor(pos);
  const double hi = std::ceil(pos);
  if (lo == hi) return sorted[static_cast<size_t>(lo)];
  return interpolate(sorted[static_cast<size_t>(lo)], sorted[static_cast<size_t>(hi)], pos - lo);
}

double midpoint(double a, double b) {
  const double plain = (a + b) * 0.5;
  if (std::isfinite(plain) || !std::isfinite(a) || !std::isfinite(b)) return plain;
  // a + b overflowed: both are too large for halving to lose a bit.
  return a * 0.5 + b * 0.5;
}

double interpolate(double a, double b, double f) {
  const double plain = (1.0 - f) * a + f * b;
  if (std::isfinite(plain) || !std::isfinite(a) || !std::isfinite(b)) return plain;
  // The sum overflowed: both terms are large, so halving them is exact.
  return ((1.0 - f) * (a * 0.5) + f * (b * 0.5)) * 2.0;
}

std::vector<std::pair<double, double>> paired_bootstraps(std::span<const SeriesPair> pairs,
                                                         std::optional<uint64_t> seed) {
  std::vector<std::pair<double, double>> intervals;
  if (pairs.empty()) return intervals;
  const size_t m = pairs.front().baseline.size();
  for (const SeriesPair& pair : pairs) {
    if (pair.baseline.size() != pair.candidate.size()) {
      throw InternalError("baseline and candidate must have equal length");
    }
    // Pairs are counted in 32 bits (more would take hundreds of gigabytes
    // of records); an empty series has no resamples.
    if (pair.baseline.size() != m || m == 0 || m > UINT32_MAX) {
      throw InternalError("paired_bootstraps needs series of one length, 1 to 4294967295 pairs");
    }
  }
  if (!seed) {
    // Each bootstrap reads its own entropy.
    for (const SeriesPair& pair : pairs) {
      BootstrapRng rng = BootstrapRng::from_entropy();
      intervals.push_back(interval_of(resample_deltas(std::span(&pair, 1), rng).front()));
    }
    return intervals;
  }
  BootstrapRng rng = BootstrapRng::from_seed(*seed);
  for (std::vector<double>& deltas : resample_deltas(pairs, rng)) intervals.push_back(interval_of(deltas));
  return intervals;
}

std::pair<double, double> paired_bootstrap(std::span<const double> baseline,
                                           std::span<const double> candidate, Statistic which,
                                           std::optional<uint64_t> seed) {
  if (baseline.size() != candidate.size()) {
    throw InternalError("baseline and candidate must have equal length");
  }
  const SeriesPair pair{baseline, candidate, which};
  return paired_bootstraps(std::span(&pair, 1), seed).front();
}

}  // namespace korvane::diff
