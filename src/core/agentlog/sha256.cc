#include "core/agentlog/sha256.h"

#include <algorithm>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define KORVANE_SHA_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace korvane::agentlog {
namespace {

alignas(16) constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::array<uint32_t, 8> kInitialState = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void store_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// One round. The eight working variables rotate roles from round to round
// instead of being moved: the caller passes them shifted by one position
// each time, so only d and h are written.
inline void round(uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e, uint32_t f, uint32_t g,
                  uint32_t& h, uint32_t k_plus_w) {
  const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k_plus_w;
  const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
  d += t1;
  h = t1 + t2;
}

#ifdef KORVANE_SHA_X86

// The compression on the SHA extensions. The state is kept as the two
// vectors the instructions expect, ABEF and CDGH (A in the highest lane);
// the 16-word message schedule lives in four vectors of four words each,
// the vector of words 4g..4g+3 being overwritten by words 4g+16..4g+19.
// Each rnds2 runs two rounds and returns the new ABEF while the old ABEF
// becomes the new CDGH, so the two variables swap roles after the first
// call of a group and swap back after the second.
__attribute__((target("sha,sse4.1,ssse3"))) void sha256_blocks_sha_ni(uint32_t* state, const uint8_t* data,
                                                                          size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  const __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
  __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);

  for (; count > 0; --count, data += 64) {
    const __m128i abef_start = abef;
    const __m128i cdgh_start = cdgh;
    __m128i w[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {  // rounds 4g .. 4g+3
      if (g < 4) w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), byte_swap);
      __m128i kw = _mm_add_epi32(w[g & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * g)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, kw);
      if (g >= 3 && g < 15) {  // words 4g+4 .. 4g+7
        const __m128i w_minus_7 = _mm_alignr_epi8(w[g & 3], w[(g + 3) & 3], 4);
        w[(g + 1) & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(w[(g + 1) & 3], w_minus_7), w[g & 3]);
      }
      kw = _mm_shuffle_epi32(kw, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, kw);
      // The sigma0 terms of words 4g+12 .. 4g+15, finished two groups later.
      if (g >= 1 && g < 13) w[(g + 3) & 3] = _mm_sha256msg1_epu32(w[(g + 3) & 3], w[g & 3]);
    }
    abef = _mm_add_epi32(abef, abef_start);
    cdgh = _mm_add_epi32(cdgh, cdgh_start);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool cpu_has_sha_ni() {
  unsigned a, b, c, d;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool sse41 = (c & (1u << 19)) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

#endif  // KORVANE_SHA_X86

// The compression used by Sha256, chosen on first use: the CPU does not
// change under a running program.
Sha256Blocks compression() {
  static const Sha256Blocks chosen = [] {
    const Sha256Blocks accelerated = sha256_blocks_accelerated();
    return accelerated != nullptr ? accelerated : sha256_blocks_portable;
  }();
  return chosen;
}

}  // namespace

void sha256_blocks_portable(uint32_t* state, const uint8_t* data, size_t count) {
  for (; count > 0; --count, data += 64) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint32_t w[16];  // the message schedule, w[t mod 16]
    for (int t = 0; t < 16; ++t) w[t] = load_be32(data + 4 * t);
    for (int t = 0; t < 64; t += 8) {
      if (t >= 16) {
        for (int j = t; j < t + 8; ++j) {
          const uint32_t w15 = w[(j - 15) & 15];
          const uint32_t w2 = w[(j - 2) & 15];
          w[j & 15] += (rotr(w15, 7) ^ rotr(w15, 18) ^ (w15 >> 3)) + w[(j - 7) & 15] +
                       (rotr(w2, 17) ^ rotr(w2, 19) ^ (w2 >> 10));
        }
      }
      round(a, b, c, d, e, f, g, h, kRound[t + 0] + w[(t + 0) & 15]);
      round(h, a, b, c, d, e, f, g, kRound[t + 1] + w[(t + 1) & 15]);
      round(g, h, a, b, c, d, e, f, kRound[t + 2] + w[(t + 2) & 15]);
      round(f, g, h, a, b, c, d, e, kRound[t + 3] + w[(t + 3) & 15]);
      round(e, f, g, h, a, b, c, d, kRound[t + 4] + w[(t + 4) & 15]);
      round(d, e, f, g, h, a, b, c, kRound[t + 5] + w[(t + 5) & 15]);
      round(c, d, e, f, g, h, a, b, kRound[t + 6] + w[(t + 6) & 15]);
      round(b, c, d, e, f, g, h, a, kRound[t + 7] + w[(t + 7) & 15]);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

Sha256Blocks sha256_blocks_accelerated() {
#ifdef KORVANE_SHA_X86
  if (cpu_has_sha_ni()) return sha256_blocks_sha_ni;
#endif
  return nullptr;
}

void Sha256::reset() {
  state_ = kInitialState;
  length_ = 0;
  buffered_ = 0;
}

void Sha256::update(const void* data, size_t size) {
  const Sha256Blocks compress = compression();
  auto p = static_cast<const uint8_t*>(data);
  length_ += size;
  if (buffered_ > 0) {
    const size_t take = std::min(size, kBlockSize - buffered_);
    std::memcpy(buffer_.data() + buffered_, p, take);
    buffered_ += take;
    p += take;
    size -= take;
    if (buffered_ < kBlockSize) return;
    compress(state_.data(), buffer_.data(), 1);
    buffered_ = 0;
  }
  const size_t blocks = size / kBlockSize;
  if (blocks > 0) compress(state_.data(), p, blocks);
  p += blocks * kBlockSize;
  size -= blocks * kBlockSize;
  if (size > 0) std::memcpy(buffer_.data(), p, size);
  buffered_ = size;
}

Sha256::Digest Sha256::finish() {
  // Padding: 0x80, zeros up to 56 mod 64, then the bit length big-endian.
  const uint64_t bit_length = length_ * 8;
  uint8_t tail[2 * kBlockSize] = {0x80};
  const size_t pad = (buffered_ < 56 ? 56 : 120) - buffered_;
  for (int i = 0; i < 8; ++i) tail[pad + i] = static_cast<uint8_t>(bit_length >> (56 - 8 * i));
  update(tail, pad + 8);

  Digest digest;
  for (size_t i = 0; i < 8; ++i) store_be32(digest.data() + 4 * i, state_[i]);
  reset();
  return digest;
}

void append_hex(std::string& out, const Sha256::Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  char text[2 * Sha256::kDigestSize];
  for (size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 15];
  }
  out.append(text, sizeof text);
}

Sha256::Digest sha256(std::string_view data) {
  Sha256 hasher;
  hasher.update(data);
  return hasher.finish();
}

}  // namespace korvane::agentlog
