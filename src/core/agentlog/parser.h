// Parser: the .agentlog reader, a line iterator over trace bytes.
//
// A trace is UTF-8 JSON Lines, one record a line. The parser borrows the
// input (the caller keeps it alive) and never copies it: each line is
// decoded where it lies. For every line it checks, in this order, that the
// bytes read are valid UTF-8, that the line is no longer than max_line_bytes
// (the line feed counts; at most max_line_bytes + 1 bytes are read for it)
// and that the bytes read so far, blank lines and terminators included, are
// no more than max_total_bytes. Trailing CR and LF characters are then
// removed; a line left empty is skipped (but counted); any other line must
// hold exactly one record (core/agentlog/record_reader.h).
//
// The first problem ends the parse. next() throws it as Error with one of
// these messages, then yields nothing more:
//
//   io error on line {line}: stream did not contain valid UTF-8
//   hint: check that the file is readable and not truncated mid-line
//
//   parse error on line {line}: {decoding error}
//   hint: verify the record matches the envelope schema (SPEC §3)
//
//   line {line} exceeds byte limit ({read} > {max_line_bytes})
//   hint: raise via Parser::with_max_line_bytes or check for corrupt input
//
//   trace exceeds total byte limit ({total} > {max_total_bytes})
//   hint: raise via Parser::with_max_total_bytes or split the trace
//
// BasicParser builds payloads through a reader Builder (core/json/reader.h),
// which it borrows; Parser is the core's own form with JsonValue payloads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/agentlog/record.h"
#include "core/agentlog/record_reader.h"
#include "core/error.h"
#include "core/json/value_builder.h"

namespace korvane::agentlog {

// The default limits, which parse_agentlog always uses.
inline constexpr uint64_t kDefaultMaxLineBytes = 16777216;     // 16 MiB: the longest line, its line feed included
inline constexpr uint64_t kDefaultMaxTotalBytes = 1073741824;  // 1 GiB: all lines of a trace, blank ones included

// Splits trace bytes into lines and enforces the limits; the part of the
// parser that does not depend on the builder.
class LineReader {
 public:
  LineReader(std::string_view input, uint64_t max_line_bytes, uint64_t max_total_bytes)
      : input_(input), max_line_bytes_(max_line_bytes), max_total_bytes_(max_total_bytes) {}

  // The next line that is not blank, without its trailing CR/LF characters,
  // or nothing at the end of the input. Throws Error (I/O, line too long,
  // trace too large) and finishes.
  std::optional<std::string_view> next();

  // Stops: every further next() yields nothing.
  void finish() { finished_ = true; }

  // The message of a line that does not decode as a record.
  [[nodiscard]] std::string parse_error_message(std::string_view error) const;

  [[nodiscard]] uint64_t line() const { return line_; }
  [[nodiscard]] uint64_t max_line_bytes() const { return max_line_bytes_; }
  [[nodiscard]] uint64_t max_total_bytes() const { return max_total_bytes_; }
  void set_max_line_bytes(uint64_t limit) { max_line_bytes_ = limit; }
  void set_max_total_bytes(uint64_t limit) { max_total_bytes_ = limit; }

 private:
  [[noreturn]] void fail(const std::string& message) {
    finished_ = true;
    throw Error(message);
  }

  std::string_view input_;
  size_t position_ = 0;   // bytes of input_ consumed
  uint64_t line_ = 0;     // lines read, blank ones included
  uint64_t total_ = 0;    // bytes read, saturating at UINT64_MAX
  uint64_t max_line_bytes_;
  uint64_t max_total_bytes_;
  bool finished_ = false;  // at the end of the input or after an error: next() yields nothing
};

template <json::Builder B>
class BasicParser {
 public:
  using Record = BasicRecord<typename B::Value>;

  // A parser over input with the default limits. The builder is borrowed.
  BasicParser(std::string_view input, B& builder)
      : lines_(input, kDefaultMaxLineBytes, kDefaultMaxTotalBytes), builder_(&builder) {}

  // A builder without state (JsonValueBuilder) needs no instance from the caller.
  explicit BasicParser(std::string_view input)
    requires std::is_empty_v<B>
      : BasicParser(input, stateless_builder_) {}

  // This parser with one limit replaced.
  [[nodiscard]] BasicParser with_max_line_bytes(uint64_t limit) const {
    BasicParser copy = *this;
    copy.lines_.set_max_line_bytes(limit);
    return copy;
  }
  [[nodiscard]] BasicParser with_max_total_bytes(uint64_t limit) const {
    BasicParser copy = *this;
    copy.lines_.set_max_total_bytes(limit);
    return copy;
  }

  // The next record, or nothing at the end (and after an error). Throws
  // Error with the full message of the first problem.
  std::optional<Record> next() {
    const std::optional<std::string_view> text = lines_.next();
    if (!text) return std::nullopt;
    try {
      return read_record(*text, *builder_, /*text_is_valid_utf8=*/true, scratch_.get());
    } catch (const Error& e) {
      lines_.finish();
      throw Error(lines_.parse_error_message(e.message()));
    }
  }

  // Every record to the end of the input, in order; throws the first error
  // (nothing decoded before it is returned).
  std::vector<Record> collect_all() {
    std::vector<Record> records;
    while (std::optional<Record> record = next()) records.push_back(std::move(*record));
    return records;
  }

  // Lines read so far, blank ones included.
  [[nodiscard]] uint64_t line() const { return lines_.line(); }
  [[nodiscard]] uint64_t max_line_bytes() const { return lines_.max_line_bytes(); }
  [[nodiscard]] uint64_t max_total_bytes() const { return lines_.max_total_bytes(); }

 private:
  static inline B stateless_builder_{};

  LineReader lines_;
  B* builder_;
  // Shared by the copies with_max_*() makes; only one of them reads at a time.
  std::shared_ptr<json::ReaderScratch> scratch_ = std::make_shared<json::ReaderScratch>();
};

using Parser = BasicParser<json::JsonValueBuilder>;

}  // namespace korvane::agentlog
