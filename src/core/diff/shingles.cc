#include "core/diff/shingles.h"

#include <algorithm>
#include <string>
#include <utility>

namespace korvane::diff {

uint32_t ShingleCoder::code_of(char32_t c) {
  const auto found = non_ascii_.find(c);
  if (found != non_ascii_.end()) return found->second;
  if (next_code_ == kShingleCodes) return static_cast<uint32_t>(kShingleCodes + c);
  non_ascii_.emplace(c, next_code_);
  return next_code_++;
}

uint64_t ShingleCoder::wide_key(const uint32_t* codes, size_t count) {
  const auto [it, added] = wide_.try_emplace(std::u32string(codes, codes + count), wide_.size());
  return kWideShingleMark << 48 | it->second;
}

std::vector<uint64_t> ShingleCoder::set_of(std::string_view text) {
  std::vector<uint64_t> keys;
  keys.reserve(text.size());
  for_each_key(text, [&](uint64_t key) { keys.push_back(key); });
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  // Giving back the spare room costs a copy: only when it is most of it.
  if (keys.size() < keys.capacity() / 2) keys.shrink_to_fit();
  return keys;
}

double shingle_similarity(std::string_view a, std::string_view b) {
  ShingleCoder coder;
  if (a.size() + b.size() > kHashedShingleBytes) return jaccard(coder.set_of(a), coder.set_of(b));
  // One slot per distinct shingle, flagged 1 when a has it and 2 when b has.
  struct Slot {
    uint64_t key = 0;
    uint8_t in = 0;  // 0: free
  };
  size_t slots = 16;
  while (slots < 2 * (a.size() + b.size())) slots *= 2;
  std::vector<Slot> table(slots);
  const size_t mask = slots - 1;
  size_t in_a = 0, in_b = 0, common = 0;
  const auto mark = [&](uint64_t key, uint8_t side) {
    size_t k = (key * 0x9E3779B97F4A7C15ull) >> 32 & mask;
    while (table[k].in != 0 && table[k].key != key) k = (k + 1) & mask;
    Slot& slot = table[k];
    if ((slot.in & side) != 0) return;
    slot.key = key;
    if (side == 1) {
      ++in_a;
    } else {
      ++in_b;
      common += slot.in & 1;
    }
    slot.in |= side;
  };
  coder.for_each_key(a, [&](uint64_t key) { mark(key, 1); });
  coder.for_each_key(b, [&](uint64_t key) { mark(key, 2); });
  return jaccard_of_counts(common, in_a, in_b);
}

}  // namespace korvane::diff
