// Output: a growing byte buffer that writers fill through raw pointers.
//
// room(n) makes n more bytes writable and returns where they start; the
// writer stores what it has, then commit() keeps the bytes up to the end it
// gives (which may be short of the room). The first kOutputInlineBytes live
// inside the object, so a short text costs no allocation; past them the
// bytes move to the heap, growing geometrically. view() stays valid until
// the next write. An Output is not movable: its pointers may point into
// itself.
//
// An Output given a spill function does not grow past kSpillBytes: when it
// needs more room then, it calls spill, which must take the bytes written so
// far and leave the Output empty (clear() or take()). A consumer thus takes
// a text of any size in pieces: a hash, in pieces that stay in cache; a
// bytes object, in pieces the heap reuses. The last piece stays in the
// Output.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>

namespace korvane::json {

// The bytes an Output holds before it first allocates.
inline constexpr size_t kOutputInlineBytes = 2048;

// The room past which a spilling Output hands its bytes over: enough to make
// the handing cheap, small enough to stay in cache and on the heap.
inline constexpr size_t kSpillBytes = 64 * 1024;

class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  [[nodiscard]] std::string_view view() const { return {begin_, size()}; }
  [[nodiscard]] size_t size() const { return static_cast<size_t>(pos_ - begin_); }

  [[nodiscard]] char* room(size_t n) {
    if (static_cast<size_t>(end_ - pos_) < n) grow(n);
    return pos_;
  }
  void commit(char* end) { pos_ = end; }

  void put(char c) {
    *room(1) = c;
    ++pos_;
  }
  void put(std::string_view text) {
    std::memcpy(room(text.size()), text.data(), text.size());
    pos_ += text.size();
  }

  // Drops the bytes from position `size` on.
  void truncate(size_t size) { pos_ = begin_ + size; }
  void clear() { pos_ = begin_; }

  // From now on hands full pieces to spill (see above).
  void spill_to(std::function<void(Output&)> spill) { spill_ = std::move(spill); }

  // Makes room for n bytes in all, at once.
  void reserve(size_t n) {
    if (n > static_cast<size_t>(end_ - begin_)) grow_to(n);
  }

  // Hands over the bytes written, in storage of their own, and starts empty.
  std::unique_ptr<char[]> take() {
    std::unique_ptr<char[]> bytes = std::move(heap_);
    if (!bytes) {
      bytes.reset(new char[size()]);
      std::memcpy(bytes.get(), begin_, size());
    }
    begin_ = pos_ = inline_.data();
    end_ = begin_ + inline_.size();
    return bytes;
  }

 private:
  void grow(size_t n) {
    const auto capacity = static_cast<size_t>(end_ - begin_);
    if (spill_ && capacity >= kSpillBytes && size() > 0) {
      spill_(*this);
      if (static_cast<size_t>(end_ - pos_) >= n) return;
    }
    grow_to(std::max(spill_ ? kSpillBytes : 2 * capacity, size() + n));
  }

  void grow_to(size_t capacity) {
    const size_t used = size();
    std::unique_ptr<char[]> bytes(new char[capacity]);
    std::memcpy(bytes.get(), begin_, used);
    heap_ = std::move(bytes);
    begin_ = heap_.get();
    pos_ = begin_ + used;
    end_ = begin_ + capacity;
  }

  std::array<char, kOutputInlineBytes> inline_;
  std::unique_ptr<char[]> heap_;        // the bytes once they outgrow inline_
  std::function<void(Output&)> spill_;  // empty unless spill_to() was called
  char* begin_ = inline_.data();        // inline_ or heap_
  char* pos_ = begin_;                  // the end of the bytes written; begin_ <= pos_ <= end_
  char* end_ = begin_ + inline_.size();
};

}  // namespace korvane::json
