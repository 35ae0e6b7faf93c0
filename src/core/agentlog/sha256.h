// SHA-256 (FIPS 180-4).
//
// Sha256 hashes a message fed to it in any number of update() calls; finish()
// pads the message, returns its 32-byte digest and leaves the hasher ready for
// a new message. Whole 64-byte blocks are compressed straight from the
// caller's buffer; only a partial block is copied. sha256() is the one-shot
// form.
//
// The compression runs on the CPU's SHA instructions when it has them (x86
// SHA extensions), else on portable code; both give the same digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::agentlog {

class Sha256 {
 public:
  static constexpr size_t kDigestSize = 32;
  static constexpr size_t kBlockSize = 64;
  using Digest = std::array<uint8_t, kDigestSize>;

  Sha256() { reset(); }

  void update(const void* data, size_t size);
  void update(std::string_view data) { update(data.data(), data.size()); }

  // The digest of everything given since construction or the last finish().
  [[nodiscard]] Digest finish();

 private:
  void reset();

  std::array<uint32_t, 8> state_;
  uint64_t length_;  // bytes given so far
  size_t buffered_;  // bytes of a partial block held in buffer_
  std::array<uint8_t, kBlockSize> buffer_;
};

[[nodiscard]] Sha256::Digest sha256(std::string_view data);

// Appends the 64 lowercase hexadecimal digits of digest to out, two per
// byte, most significant nibble first.
void append_hex(std::string& out, const Sha256::Digest& digest);

// The compression function: folds `count` consecutive 64-byte blocks at data
// into state. Both implementations are exposed so that tests can compare
// them; sha256_blocks_accelerated() is nullptr when the CPU cannot run it.
using Sha256Blocks = void (*)(uint32_t* state, const uint8_t* data, size_t count);
void sha256_blocks_portable(uint32_t* state, const uint8_t* data, size_t count);
[[nodiscard]] Sha256Blocks sha256_blocks_accelerated();

}  // namespace korvane::agentlog
