#include "core/agentlog/parser.h"

#include <cstring>

#include "core/unicode/utf8.h"

namespace korvane::agentlog {

std::optional<std::string_view> LineReader::next() {
  while (!finished_) {
    ++line_;
    // Up to and including the next line feed, but no more than the limit
    // plus one byte: enough to tell that a line is too long.
    const size_t remaining = input_.size() - position_;
    const uint64_t cap = max_line_bytes_ == UINT64_MAX ? UINT64_MAX : max_line_bytes_ + 1;
    const size_t window = cap < remaining ? static_cast<size_t>(cap) : remaining;
    const char* start = input_.data() + position_;
    // An empty view may have no data pointer, which memchr must not be given.
    const void* feed = window == 0 ? nullptr : std::memchr(start, '\n', window);
    const size_t n = feed == nullptr ? window : static_cast<size_t>(static_cast<const char*>(feed) - start) + 1;
    const std::string_view bytes(start, n);
    position_ += n;

    if (!unicode::is_valid_utf8(bytes)) {
      fail("io error on line " + std::to_string(line_) +
           ": stream did not contain valid UTF-8\n"
           "hint: check that the file is readable and not truncated mid-line");
    }
    if (n == 0) {
      finished_ = true;
      break;
    }
    total_ = n > UINT64_MAX - total_ ? UINT64_MAX : total_ + n;
    if (n > max_line_bytes_) {
      fail("line " + std::to_string(line_) + " exceeds byte limit (" + std::to_string(n) + " > " +
           std::to_string(max_line_bytes_) +
           ")\nhint: raise via Parser::with_max_line_bytes or check for corrupt input");
    }
    if (total_ > max_total_bytes_) {
      fail("trace exceeds total byte limit (" + std::to_string(total_) + " > " + std::to_string(max_total_bytes_) +
           ")\nhint: raise via Parser::with_max_total_bytes or split the trace");
    }
    size_t length = n;
    while (length > 0 && (bytes[length - 1] == '\n' || bytes[length - 1] == '\r')) --length;
    if (length > 0) return bytes.substr(0, length);
  }
  return std::nullopt;
}

std::string LineReader::parse_error_message(std::string_view error) const {
  std::string message = "parse error on line " + std::to_string(line_) + ": ";
  message += error;
  message += "\nhint: verify the record matches the envelope schema (SPEC §3)";
  return message;
}

}  // namespace korvane::agentlog
