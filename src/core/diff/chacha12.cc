#include "core/diff/chacha12.h"

namespace korvane::diff {
namespace {

// Vectors of 4, 8 and 16 words; the wider ones are only operated on inside
// the functions compiled for AVX2 and AVX-512 below.
typedef uint32_t Lanes4 __attribute__((vector_size(16)));
typedef uint32_t Lanes8 __attribute__((vector_size(32)));
typedef uint32_t Lanes16 __attribute__((vector_size(64)));

template <typename Lanes>
[[gnu::always_inline]] inline void rotate_left(Lanes& x, int n) {
  x = (x << n) | (x >> (32 - n));
}

template <typename Lanes>
[[gnu::always_inline]] inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
  a += b; d ^= a; rotate_left(d, 16);
  c += d; b ^= c; rotate_left(b, 12);
  a += b; d ^= a; rotate_left(d, 8);
  c += d; b ^= c; rotate_left(b, 7);
}

// As many blocks as Lanes has words, side by side: lane b of state vector i
// is word i of block b. The kernel is inlined into one function per
// instruction set below, so the same source becomes SSE2 (or NEON), AVX2 or
// AVX-512 code.
template <typename Lanes>
[[gnu::always_inline]] inline void chacha12_lanes(const std::array<uint32_t, 8>& key,
                                                   uint64_t counter, uint32_t* out) {
  constexpr int kLanes = sizeof(Lanes) / sizeof(uint32_t);
  constexpr uint32_t kConstants[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  uint32_t counter_low[kLanes], counter_high[kLanes];
  for (int b = 0; b < kLanes; ++b) {
    uint64_t c = counter + static_cast<uint64_t>(b);
    counter_low[b] = static_cast<uint32_t>(c);
    counter_high[b] = static_cast<uint32_t>(c >> 32);
  }
  Lanes in[16];
  for (int i = 0; i < 4; ++i) in[i] = Lanes{} + kConstants[i];
  for (int i = 0; i < 8; ++i) in[4 + i] = Lanes{} + key[i];
  __builtin_memcpy(&in[12], counter_low, sizeof counter_low);
  __builtin_memcpy(&in[13], counter_high, sizeof counter_high);
  in[14] = Lanes{};  // the stream number, 0
  in[15] = Lanes{};

  Lanes x[16];
  for (int i = 0; i < 16; ++i) x[i] = in[i];
  for (int round = 0; round < 6; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  // Lanes hold one word of every block; the output is block after block.
  uint32_t words[16][kLanes];
  for (int i = 0; i < 16; ++i) {
    Lanes sum = x[i] + in[i];
    __builtin_memcpy(words[i], &sum, sizeof sum);
  }
  for (int b = 0; b < kLanes; ++b) {
    for (int i = 0; i < 16; ++i) out[16 * b + i] = words[i][b];
  }
}

void batch_portable(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out) {
  for (int b = 0; b < kChachaBatchBlocks; b += 4) chacha12_lanes<Lanes4>(key, counter + b, out + 16 * b);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
[[gnu::target("avx2")]] void batch_avx2(const std::array<uint32_t, 8>& key, uint64_t counter,
                                        uint32_t* out) {
  for (int b = 0; b < kChachaBatchBlocks; b += 8) chacha12_lanes<Lanes8>(key, counter + b, out + 16 * b);
}

[[gnu::target("avx512f")]] void batch_avx512(const std::array<uint32_t, 8>& key, uint64_t counter,
                                             uint32_t* out) {
  chacha12_lanes<Lanes16>(key, counter, out);
}

#define KORVANE_CHACHA_X86 1
#endif

}  // namespace

std::vector<ChachaBatch> chacha12_implementations() {
  std::vector<ChachaBatch> found;
#ifdef KORVANE_CHACHA_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) found.push_back(batch_avx512);
  if (__builtin_cpu_supports("avx2")) found.push_back(batch_avx2);
#endif
  found.push_back(batch_portable);
  return found;
}

void chacha12_batch(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out) {
  // Chosen once, at the first refill of the process.
  static const ChachaBatch best = chacha12_implementations().front();
  best(key, counter, out);
}

}  // namespace korvane::diff
