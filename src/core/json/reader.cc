#include "core/json/reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <system_error>

#include "core/error.h"
#include "core/json/value_builder.h"

namespace korvane::json {

std::string_view syntax_message(Syntax problem) {
  switch (problem) {
    case Syntax::kEofWhileParsingList: return "EOF while parsing a list";
    case Syntax::kEofWhileParsingObject: return "EOF while parsing an object";
    case Syntax::kEofWhileParsingString: return "EOF while parsing a string";
    case Syntax::kEofWhileParsingValue: return "EOF while parsing a value";
    case Syntax::kExpectedColon: return "expected `:`";
    case Syntax::kExpectedListCommaOrEnd: return "expected `,` or `]`";
    case Syntax::kExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case Syntax::kExpectedSomeIdent: return "expected ident";
    case Syntax::kExpectedSomeValue: return "expected value";
    case Syntax::kInvalidEscape: return "invalid escape";
    case Syntax::kInvalidNumber: return "invalid number";
    case Syntax::kNumberOutOfRange: return "number out of range";
    case Syntax::kInvalidUnicodeCodePoint: return "invalid unicode code point";
    case Syntax::kControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case Syntax::kKeyMustBeAString: return "key must be a string";
    case Syntax::kLoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
    case Syntax::kTrailingComma: return "trailing comma";
    case Syntax::kTrailingCharacters: return "trailing characters";
    case Syntax::kUnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case Syntax::kRecursionLimitExceeded: return "recursion limit exceeded";
  }
  throw InternalError("unknown JSON syntax problem");
}

void throw_at(std::string_view text, size_t offset, std::string_view message) {
  const std::string_view before = text.substr(0, offset);
  const size_t last_feed = before.rfind('\n');
  const size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
  const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.begin() + line_start, '\n'));
  std::string full(message);
  full += " at line ";
  full += std::to_string(line);
  full += " column ";
  full += std::to_string(offset - line_start);
  throw Error(full);
}

bool decimal_to_double(const char* begin, const char* end, double& out) {
  const auto [stop, ec] = std::from_chars(begin, end, out);
  if (ec == std::errc()) return true;
  // Out of range: an overflow when the value is at least 1, else a value too
  // small for a double, which becomes zero. Find the power of ten of the
  // first non-zero digit.
  const bool negative = *begin == '-';
  const char* p = begin + (negative ? 1 : 0);
  int64_t power = -1;
  if (*p != '0') {
    while (p != end && *p >= '0' && *p <= '9') {
      ++power;
      ++p;
    }
  } else if (++p != end && *p == '.') {
    for (++p; p != end && *p == '0'; ++p) --power;
  }
  while (p != end && *p != 'e' && *p != 'E') ++p;
  if (p != end) {
    ++p;
    const bool negative_exponent = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int64_t exponent = 0;
    // Saturates far beyond any double's range, and long before overflowing.
    for (; p != end; ++p) exponent = std::min<int64_t>(exponent * 10 + (*p - '0'), int64_t{1} << 40);
    power += negative_exponent ? -exponent : exponent;
  }
  if (power >= 0) return false;
  out = negative ? -0.0 : 0.0;
  return true;
}

void detail::TextBuffer::grow(size_t n) {
  const size_t capacity = std::max({size_ + n, 2 * capacity_, kFirstCapacity});
  std::unique_ptr<char[]> bytes(new char[capacity]);
  if (size_ > 0) std::memcpy(bytes.get(), bytes_.get(), size_);
  bytes_ = std::move(bytes);
  capacity_ = capacity;
}

static_assert(Builder<JsonValueBuilder> && Builder<NullBuilder>);

JsonValue parse_json(std::string_view text) {
  JsonValueBuilder builder;
  return read_json(text, builder);
}

bool is_json_text(std::string_view text) {
  // Most texts that are not JSON fail on their first byte: answer those
  // without raising and catching an error.
  const size_t first = text.find_first_not_of(" \t\n\r");
  if (first == std::string_view::npos) return false;
  if (detail::kTokenOf[static_cast<unsigned char>(text[first])] == detail::kNoToken) return false;
  NullBuilder builder;
  try {
    read_json(text, builder);
    return true;
  } catch (const Error&) {
    return false;
  }
}

}  // namespace korvane::json
