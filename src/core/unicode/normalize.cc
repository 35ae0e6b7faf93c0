#include "core/unicode/normalize.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/unicode/blocks.h"
#include "core/unicode/tables.h"
#include "core/unicode/utf8.h"

namespace korvane::unicode {
namespace {

using tables::CharInfo;

// One scalar of a stretch being normalized, with what composition needs.
struct Scalar {
  char32_t c;
  uint8_t ccc;
  bool may_compose;  // NFC_Quick_Check = Maybe: may join a preceding starter
};

Scalar make_scalar(char32_t c) {
  const CharInfo& info = tables::char_info(c);
  return {c, info.ccc, (info.flags & tables::kNfcMaybe) != 0};
}

// A scalar of class 0 whose quick check is Yes starts a new stretch: nothing
// before it can reorder around it or compose with it (the generator checks
// that its own decomposition, if any, starts with a class-0 scalar too).
bool is_boundary(const CharInfo& info) {
  return info.ccc == 0 && (info.flags & (tables::kNfcNo | tables::kNfcMaybe)) == 0;
}

void decompose(std::vector<Scalar>& out, char32_t c) {
  using namespace tables;
  if (c - kHangulSBase < kHangulSCount) {
    const char32_t s = c - kHangulSBase;
    out.push_back(make_scalar(kHangulLBase + s / kHangulNCount));
    out.push_back(make_scalar(kHangulVBase + (s % kHangulNCount) / kHangulTCount));
    if (s % kHangulTCount != 0) out.push_back(make_scalar(kHangulTBase + s % kHangulTCount));
    return;
  }
  const CharInfo& info = char_info(c);
  if ((info.flags & kHasDecomposition) == 0) {
    out.push_back({c, info.ccc, (info.flags & kNfcMaybe) != 0});
    return;
  }
  for (const char32_t d : canonical_decomposition(c)) out.push_back(make_scalar(d));
}

// Stable sort of every run of non-starters by combining class.
void canonical_order(std::vector<Scalar>& scalars) {
  const auto by_class = [](const Scalar& a, const Scalar& b) { return a.ccc < b.ccc; };
  const size_t n = scalars.size();
  size_t i = 0;
  while (i < n) {
    if (scalars[i].ccc == 0) {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < n && scalars[end].ccc != 0) ++end;
    if (end - i <= 32) {
      for (size_t k = i + 1; k < end; ++k) {
        const Scalar s = scalars[k];
        size_t j = k;
        for (; j > i && scalars[j - 1].ccc > s.ccc; --j) scalars[j] = scalars[j - 1];
        scalars[j] = s;
      }
    } else {
      std::stable_sort(scalars.begin() + i, scalars.begin() + end, by_class);
    }
    i = end;
  }
}

// Canonical composition in place; the composed scalars stay at the front.
void compose(std::vector<Scalar>& scalars) {
  constexpr size_t kNone = SIZE_MAX;
  size_t starter = kNone;  // output index of the last starter
  uint8_t last_ccc = 0;    // class of the last scalar written
  size_t w = 0;
  for (size_t r = 0; r < scalars.size(); ++r) {
    const Scalar s = scalars[r];
    // s reaches the starter unless a scalar in between has class 0 or a
    // class at least its own (the ones in between are in canonical order,
    // so the last one written has the largest class).
    if (s.may_compose && starter != kNone && (w - 1 == starter || last_ccc < s.ccc)) {
      if (const char32_t composite = tables::compose_pair(scalars[starter].c, s.c)) {
        scalars[starter].c = composite;
        continue;
      }
    }
    if (s.ccc == 0) starter = w;
    last_ccc = s.ccc;
    scalars[w++] = s;
  }
  scalars.resize(w);
}

void normalize_stretch(std::string& out, std::string_view text, std::vector<Scalar>& scratch) {
  scratch.clear();
  for (size_t i = 0; i < text.size();) decompose(scratch, decode(text, i));
  canonical_order(scratch);
  compose(scratch);
  for (const Scalar& s : scratch) append_utf8(out, s.c);
}

bool ascii_word_at(std::string_view text, size_t i) {
  if (text.size() - i < 8) return false;
  uint64_t word;
  std::memcpy(&word, text.data() + i, 8);
  return (word & 0x8080808080808080ull) == 0;
}

}  // namespace

bool NfcQuickCheck::passes(char32_t c) {
  const CharInfo& info = tables::char_info(c);
  if ((info.flags & (tables::kNfcNo | tables::kNfcMaybe)) != 0) return false;
  if (info.ccc != 0 && info.ccc < last_ccc_) return false;
  last_ccc_ = info.ccc;
  return true;
}

bool passes_nfc_quick_check(std::string_view text) {
  NfcQuickCheck check;
  size_t i = 0;
  while (i < text.size()) {
    // Long stretches of ASCII go four blocks at a time.
    while (text.size() - i >= 4 * kTextBlock) {
      const char* p = text.data() + i;
      if ((non_ascii_mask(load_block(p, kTextBlock)) | non_ascii_mask(load_block(p + kTextBlock, kTextBlock)) |
           non_ascii_mask(load_block(p + 2 * kTextBlock, kTextBlock)) |
           non_ascii_mask(load_block(p + 3 * kTextBlock, kTextBlock))) != 0) {
        break;
      }
      i += 4 * kTextBlock;
      check = NfcQuickCheck();
    }
    if (i == text.size()) break;
    const size_t n = std::min(text.size() - i, kTextBlock);
    const unsigned non_ascii = non_ascii_mask(load_block(text.data() + i, n)) & ((1u << n) - 1);
    if (non_ascii == 0) {
      i += n;
      check = NfcQuickCheck();
      continue;
    }
    // ASCII before the scalar starts the check afresh: nothing reorders or
    // composes across it.
    const auto k = static_cast<size_t>(std::countr_zero(non_ascii));
    if (k > 0) check = NfcQuickCheck();
    i += k;
    if (!check.passes(decode(text, i))) return false;
  }
  return true;
}

void append_nfc(std::string& out, std::string_view text) {
  const size_t n = text.size();
  size_t copied = 0;    // text[0, copied) has been written to out
  size_t boundary = 0;  // start of the last boundary scalar seen
  NfcQuickCheck check;
  std::vector<Scalar> scratch;
  size_t i = 0;
  while (i < n) {
    if (ascii_word_at(text, i)) {
      boundary = i + 7;
      check = NfcQuickCheck();
      i += 8;
      continue;
    }
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      boundary = i++;
      check = NfcQuickCheck();
      continue;
    }
    const size_t start = i;
    const char32_t c = decode(text, i);
    if (check.passes(c)) {
      if (tables::char_info(c).ccc == 0) boundary = start;
      continue;
    }
    // The quick check fails here: normalize from the last boundary up to
    // the next one.
    size_t end = i;
    while (end < n) {
      size_t next = end;
      if (is_boundary(tables::char_info(decode(text, next)))) break;
      end = next;
    }
    out.append(text, copied, boundary - copied);
    normalize_stretch(out, text.substr(boundary, end - boundary), scratch);
    copied = boundary = i = end;
    check = NfcQuickCheck();
  }
  out.append(text, copied, n - copied);
}

std::string to_nfc(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_nfc(out, text);
  return out;
}

}  // namespace korvane::unicode
