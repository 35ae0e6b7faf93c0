// Scanning text kTextBlock bytes at a time.
//
// load_block(p, n) reads the kTextBlock bytes at p, of which only the first
// n (n may be less than kTextBlock at the end of a text) belong to the text;
// the masks have bit i set for byte i of a class, and the caller ignores the
// bits at n and past them. Where the block stays inside p's memory page the
// bytes past the text are read where they lie (a page is never partly
// mapped, so this cannot fault; the values are never used), else from a
// zeroed copy. That read past the text is deliberate, hence no address
// sanitizing in load_block().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane::unicode {

inline constexpr size_t kTextBlock = 16;

// The smallest memory page of the platforms built for.
inline constexpr uintptr_t kMemoryPage = 4096;

// Inlined into an instrumented caller, a load would be instrumented after
// all: address-sanitized builds keep load_block() a function of its own.
#if defined(__SANITIZE_ADDRESS__)
#define KORVANE_LOAD_BLOCK_INLINING gnu::noinline
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVANE_LOAD_BLOCK_INLINING gnu::noinline
#endif
#endif
#ifndef KORVANE_LOAD_BLOCK_INLINING
#define KORVANE_LOAD_BLOCK_INLINING gnu::always_inline
#endif

#if defined(__SSE2__)
using TextBlock = __m128i;

[[gnu::no_sanitize_address, KORVANE_LOAD_BLOCK_INLINING]] inline TextBlock load_block(const char* p, size_t n) {
  if (n >= kTextBlock || (reinterpret_cast<uintptr_t>(p) & (kMemoryPage - 1)) <= kMemoryPage - kTextBlock) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  alignas(16) char copy[kTextBlock] = {};
  std::memcpy(copy, p, n);
  return _mm_load_si128(reinterpret_cast<const __m128i*>(copy));
}

inline void store_block(char* w, TextBlock v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(w), v); }

// Bytes 0x80 and above: the bytes of non-ASCII scalars.
inline unsigned non_ascii_mask(TextBlock v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }

// '"', '\\' and the bytes below 0x20: the bytes a JSON string escapes.
inline unsigned json_escape_mask(TextBlock v) {
  const __m128i below_space = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), below_space)));
}
#else
struct TextBlock {
  unsigned char b[kTextBlock];
};

inline TextBlock load_block(const char* p, size_t n) {
  TextBlock v{};
  std::memcpy(v.b, p, n < kTextBlock ? n : kTextBlock);
  return v;
}

inline void store_block(char* w, const TextBlock& v) { std::memcpy(w, v.b, kTextBlock); }

inline unsigned non_ascii_mask(const TextBlock& v) {
  unsigned mask = 0;
  for (size_t i = 0; i < kTextBlock; ++i) mask |= unsigned{v.b[i] >= 0x80} << i;
  return mask;
}

inline unsigned json_escape_mask(const TextBlock& v) {
  unsigned mask = 0;
  for (size_t i = 0; i < kTextBlock; ++i) {
    mask |= unsigned{v.b[i] < 0x20 || v.b[i] == '"' || v.b[i] == '\\'} << i;
  }
  return mask;
}
#endif

}  // namespace korvane::unicode
