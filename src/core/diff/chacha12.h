// The ChaCha block function with 12 rounds, as the bootstrap generator uses
// it: the four constant words, an eight-word key, a 64-bit block counter (low
// word first) and a 64-bit stream number fixed at 0.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace korvane::diff {

inline constexpr int kChachaBatchBlocks = 16;
inline constexpr int kChachaBatchWords = 16 * kChachaBatchBlocks;

// Writes the keystream blocks of counters counter .. counter + 15, block
// after block (word i of block b at out[16 b + i]). Blocks are computed side
// by side in vector lanes, with the widest vectors the processor offers.
void chacha12_batch(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out);

// Every implementation of chacha12_batch this processor can run, the one
// chacha12_batch uses first. They all write the same words; tests compare
// them.
using ChachaBatch = void (*)(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out);
std::vector<ChachaBatch> chacha12_implementations();

}  // namespace korvane::diff
