#include "core/agentlog/sha256.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace korvane::agentlog {
namespace {

std::string hex(const Sha256::Digest& digest) {
  std::string out;
  append_hex(out, digest);
  return out;
}

// The FIPS 180-4 examples, hashed whole and fed byte by byte to one hasher,
// which each finish() leaves ready for the next message.
TEST(Sha256, Fips180Examples) {
  const std::pair<std::string, const char*> kExamples[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
       "nopqrstu", "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
  Sha256 hasher;
  for (const auto& [message, digest] : kExamples) {
    EXPECT_EQ(hex(sha256(message)), digest) << message.size();
    for (const char c : message) hasher.update(&c, 1);
    EXPECT_EQ(hex(hasher.finish()), digest) << message.size();
  }
  EXPECT_EQ(hex(hasher.finish()), kExamples[0].second);
}

// Messages of every length 0..200 (byte i of message n is (7i + n) mod 256):
// their digests, chained and hashed again, against the chain an independent
// implementation computed, which covers the padding at every position of the
// last block; and each message fed in random pieces gives the same digest.
TEST(Sha256, EveryLengthUpTo200InOneShotAndInPieces) {
  std::mt19937 rng(20240611);
  std::string chain;
  for (size_t n = 0; n <= 200; ++n) {
    std::string m(n, '\0');
    for (size_t i = 0; i < n; ++i) m[i] = static_cast<char>((i * 7 + n) % 256);
    const Sha256::Digest d = sha256(m);
    chain.append(reinterpret_cast<const char*>(d.data()), d.size());
    for (int trial = 0; trial < 8; ++trial) {
      Sha256 hasher;
      for (size_t at = 0, piece; at < n; at += piece) hasher.update(m.data() + at, piece = rng() % (n - at + 1));
      EXPECT_EQ(hasher.finish(), d) << "length " << n;
    }
  }
  EXPECT_EQ(hex(sha256(chain)), "e673d33f6940a6d3856d0d305fd88363ae0ba3b96e2411d8ddd5e0dd443f4525");
}

// The compression used (the CPU's SHA instructions where there are any)
// folds blocks into the same state as the portable code.
TEST(Sha256, UsedCompressionMatchesPortable) {
  const Sha256Blocks used = sha256_blocks_accelerated() ? sha256_blocks_accelerated() : sha256_blocks_portable;
  std::mt19937 rng(7);
  for (size_t blocks = 1; blocks <= 40; ++blocks) {
    std::vector<uint8_t> data(blocks * Sha256::kBlockSize);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    std::vector<uint32_t> portable(8), fast(8);
    for (int i = 0; i < 8; ++i) portable[i] = fast[i] = static_cast<uint32_t>(rng());
    sha256_blocks_portable(portable.data(), data.data(), blocks);
    used(fast.data(), data.data(), blocks);
    EXPECT_EQ(portable, fast) << blocks << " blocks";
  }
}

}  // namespace
}  // namespace korvane::agentlog
