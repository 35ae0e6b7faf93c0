// The strict JSON reader: one JSON text (RFC 8259) into values of any shape.
//
// Grammar: whitespace is space, tab, line feed and carriage return only;
// literals null, true, false; numbers without leading zeros, "+", NaN or
// infinities; strings with the escapes \" \\ \/ \b \f \n \r \t and \uXXXX
// (a surrogate pair forms one character, a lone surrogate is an error) and no
// raw character below U+0020. Arrays and objects nest at most kMaxReadDepth
// levels deep. An integer that fits is kept as an unsigned (non-negative) or
// signed (negative) 64-bit integer; every other number becomes the nearest
// double, "-0" is the double -0.0, a value beyond the double range fails
// ("number out of range") and one too small for it becomes zero.
//
// The first problem ends the read: the reader throws Error with one of the
// messages of syntax_message() followed by " at line {l} column {c}", where
// {c} counts bytes from the start of the line: the 1-based position of the
// byte being looked at, or the number of bytes consumed when the problem is
// found after reading past it (the convention of a recursive-descent reader
// that reports the first problem).
//
// The grammar is written once, as the primitives of Reader (the kind of value
// a byte starts, a literal, a number, a string, the step to the next element
// or member); the value reader, the skipper and the record decoder
// (core/agentlog/record_reader.h) are built from them. Values are built
// through a Builder, so that the same grammar yields JsonValue trees in the
// core and host objects in a binding.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/describe.h"
#include "core/json/value.h"
#include "core/unicode/blocks.h"
#include "core/unicode/utf8.h"

namespace korvane::json {

// The deepest nesting of arrays and objects a text may hold; the bracket that
// opens one level more fails with "recursion limit exceeded".
inline constexpr int kMaxReadDepth = 127;

// What the reader asks of a builder. Value is movable and owns its data;
// Array and Object are the containers being built. make_double() is given
// finite doubles only, make_int() negative integers only, make_string() and
// set() valid UTF-8. set() gives a key met again in the same object its last
// value at its first position. The string views passed to make_string() and
// set() are valid only during the call (a string without escapes is a view
// into the input text; no copy is made before the builder's). Builders may
// throw; the reader holds partly built values only in locals, so whatever a
// failed read leaves behind is released by the Value, Array and Object
// destructors.
template <typename B>
concept Builder = std::movable<typename B::Value> &&
    requires(B& b, typename B::Value value, typename B::Array array, typename B::Object object,
             std::string_view text) {
      { b.make_null() } -> std::same_as<typename B::Value>;
      { b.make_bool(true) } -> std::same_as<typename B::Value>;
      { b.make_uint(uint64_t{0}) } -> std::same_as<typename B::Value>;
      { b.make_int(int64_t{-1}) } -> std::same_as<typename B::Value>;
      { b.make_double(0.5) } -> std::same_as<typename B::Value>;
      { b.make_string(text) } -> std::same_as<typename B::Value>;
      { b.begin_array() } -> std::same_as<typename B::Array>;
      b.push(array, std::move(value));
      { b.end_array(std::move(array)) } -> std::same_as<typename B::Value>;
      { b.begin_object() } -> std::same_as<typename B::Object>;
      b.set(object, text, std::move(value));
      { b.end_object(std::move(object)) } -> std::same_as<typename B::Value>;
    };

// Parses text as one JSON value. Throws Error with the positioned message.
JsonValue parse_json(std::string_view text);

// A builder that builds nothing: reading with it only validates.
struct NullBuilder {
  struct Value {};
  using Array = Value;
  using Object = Value;
  Value make_null() { return {}; }
  Value make_bool(bool) { return {}; }
  Value make_uint(uint64_t) { return {}; }
  Value make_int(int64_t) { return {}; }
  Value make_double(double) { return {}; }
  Value make_string(std::string_view) { return {}; }
  Array begin_array() { return {}; }
  void push(Array&, Value&&) {}
  Value end_array(Array&&) { return {}; }
  Object begin_object() { return {}; }
  void set(Object&, std::string_view, Value&&) {}
  Value end_object(Object&&) { return {}; }
};

// True when text is one complete JSON text by the rules above: one value, only
// JSON whitespace around it, at most kMaxReadDepth nested levels.
bool is_json_text(std::string_view text);

// The syntax problems the reader reports.
enum class Syntax : uint8_t {
  kEofWhileParsingList,
  kEofWhileParsingObject,
  kEofWhileParsingString,
  kEofWhileParsingValue,
  kExpectedColon,
  kExpectedListCommaOrEnd,
  kExpectedObjectCommaOrEnd,
  kExpectedSomeIdent,
  kExpectedSomeValue,
  kInvalidEscape,
  kInvalidNumber,
  kNumberOutOfRange,
  kInvalidUnicodeCodePoint,
  kControlCharacterWhileParsingString,
  kKeyMustBeAString,
  kLoneLeadingSurrogateInHexEscape,
  kTrailingComma,
  kTrailingCharacters,
  kUnexpectedEndOfHexEscape,
  kRecursionLimitExceeded,
};

std::string_view syntax_message(Syntax problem);

// Throws Error("{message} at line {l} column {c}") where {l} and {c} locate
// byte offset `offset` of text ({c} is the number of bytes between the last
// line feed before offset and offset).
[[noreturn]] void throw_at(std::string_view text, size_t offset, std::string_view message);

// A number as read: the integer forms when they fit, else the nearest double.
struct Number {
  enum class Type : uint8_t { kUInt, kInt, kDouble };
  Type type;
  union {
    uint64_t u;
    int64_t i;
    double d;
  };
};

// The double nearest to the JSON number text [begin, end) (a well-formed
// number with a fraction or an exponent, or an integer too large for 64
// bits). Returns false when the value is beyond the double range; a value too
// small for it gives zero of the number's sign.
bool decimal_to_double(const char* begin, const char* end, double& out);

// The kinds of value, told apart by their first byte.
enum class Token : uint8_t { kNull, kTrue, kFalse, kNumber, kString, kArray, kObject };

namespace detail {

// For each byte, the Token of the value it starts, or kNoToken.
inline constexpr uint8_t kNoToken = 0xFF;
inline constexpr auto kTokenOf = [] {
  std::array<uint8_t, 256> t{};
  t.fill(kNoToken);
  t['n'] = static_cast<uint8_t>(Token::kNull);
  t['t'] = static_cast<uint8_t>(Token::kTrue);
  t['f'] = static_cast<uint8_t>(Token::kFalse);
  for (const char c : std::string_view("-0123456789")) t[static_cast<unsigned char>(c)] = static_cast<uint8_t>(Token::kNumber);
  t['"'] = static_cast<uint8_t>(Token::kString);
  t['['] = static_cast<uint8_t>(Token::kArray);
  t['{'] = static_cast<uint8_t>(Token::kObject);
  return t;
}();

// Scanning string bodies a block at a time: special_in_block() is the index
// of the first of the kBlock bytes at p (all of them in the text) that is
// '"', '\\' or below 0x20, or kBlock when there is none.
inline constexpr size_t kBlock = unicode::kTextBlock;

inline size_t special_in_block(const char* p) {
  const unsigned mask = unicode::json_escape_mask(unicode::load_block(p, kBlock));
  return mask == 0 ? kBlock : static_cast<size_t>(std::countr_zero(mask));
}

// For the byte after a reverse solidus: the character the escape stands
// for, kUnicodeEscape for 'u', or 0 when the escape is invalid.
inline constexpr char kUnicodeEscape = 1;
inline constexpr auto kUnescaped = [] {
  std::array<char, 256> t{};
  t['"'] = '"';
  t['\\'] = '\\';
  t['/'] = '/';
  t['b'] = '\b';
  t['f'] = '\f';
  t['n'] = '\n';
  t['r'] = '\r';
  t['t'] = '\t';
  t['u'] = kUnicodeEscape;
  return t;
}();

// The first byte in [p, end) that is '"', '\\' or below 0x20, or end.
inline const char* find_string_special(const char* p, const char* end) {
  while (static_cast<size_t>(end - p) >= kBlock) {
    const size_t k = special_in_block(p);
    if (k < kBlock) return p + k;
    p += kBlock;
  }
  while (p != end) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20) return p;
    ++p;
  }
  return end;
}

// The decoded text of a string with escapes: a buffer written through a raw
// pointer, with room for whole blocks to be copied before their length is
// known. It only grows.
class TextBuffer {
 public:
  // Room for n more bytes after the text.
  char* room(size_t n) {
    if (n > capacity_ - size_) grow(n);
    return bytes_.get() + size_;
  }
  void commit(size_t n) { size_ += n; }
  void append(const char* p, size_t n) {
    if (n == 0) return;
    std::memcpy(room(n), p, n);
    size_ += n;
  }
  void push(char c) { *room(1) = c, ++size_; }
  void push_code_point(char32_t c) {
    char* out = room(4);
    size_ += static_cast<size_t>(unicode::write_utf8(out, c) - out);
  }
  void clear() { size_ = 0; }
  [[nodiscard]] std::string_view view() const { return {bytes_.get(), size_}; }

 private:
  static constexpr size_t kFirstCapacity = 256;  // bytes allocated when the first escaped string is read

  void grow(size_t n);  // out of line: rare

  std::unique_ptr<char[]> bytes_;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

}  // namespace detail

// The space a reader decodes escaped strings and keys into. A caller that
// reads many texts (the trace parser) keeps one and lends it to each reader,
// so that it is allocated once rather than once per text.
struct ReaderScratch {
  detail::TextBuffer text;         // decoded text of the string just read
  std::vector<std::string> keys;   // per depth: an escaped key kept while its value is read
};

// The reader proper: a cursor over one text that reads values through a
// Builder. Besides read_value() and read_document(), it offers the grammar's
// primitives to a decoder of a fixed schema (the record decoder), so that
// schema errors are positioned like syntax errors.
//
// The reader borrows text, builder and scratch (when given); they must
// outlive it. When text_is_valid_utf8 is false the reader checks the UTF-8
// of every string it reads ("invalid unicode code point").
template <Builder B>
class Reader {
 public:
  using Value = typename B::Value;

  // The value peek() returns at the end of the text.
  static constexpr int kEnd = -1;

  // Numbers and strings are read for their value, or skipped: checked for
  // their form only, so that an unknown member costs no conversion. Skipping
  // converts no number (none is out of range) and pairs no \u escape (a lone
  // surrogate passes); its messages differ where noted at scan_number() and
  // scan_string().
  enum class Scan : uint8_t { kRead, kSkip };

  // What the step after a comma checks. A value being read rejects a closing
  // bracket there ("trailing comma"); a skipped value goes on to the next
  // element or key, which reports what it finds: the skipper checks each
  // token once, when it gets to it.
  enum class AfterComma : uint8_t { kRejectClose, kNextItem };

  Reader(std::string_view text, B& builder, bool text_is_valid_utf8, ReaderScratch* scratch = nullptr)
      : text_(text),
        p_(text.data()),
        end_(text.data() + text.size()),
        builder_(builder),
        check_utf8_(!text_is_valid_utf8),
        scratch_(scratch != nullptr ? scratch->text : own_scratch_.text),
        keys_(scratch != nullptr ? scratch->keys : own_scratch_.keys) {}

  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // One value and nothing after it but whitespace.
  Value read_document() {
    Value value = read_value();
    finish();
    return value;
  }

  // Fails with "trailing characters" unless only whitespace is left.
  void finish() {
    if (peek() != kEnd) fail_peek(Syntax::kTrailingCharacters);
  }

  // Skips whitespace; the next byte (0..255) or kEnd. Consumes nothing else.
  int peek() {
    while (p_ != end_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c > ' ' || (c != ' ' && c != '\n' && c != '\t' && c != '\r')) return c;
      ++p_;
    }
    return kEnd;
  }

  // Bytes consumed so far.
  [[nodiscard]] size_t offset() const { return static_cast<size_t>(p_ - text_.data()); }

  // Problems: fail() reports at the bytes consumed, fail_peek() at the byte
  // being looked at (1-based; the end of the text when there is none).
  [[noreturn]] void fail(Syntax problem) const { throw_at(text_, offset(), syntax_message(problem)); }
  [[noreturn]] void fail_peek(Syntax problem) const {
    throw_at(text_, p_ == end_ ? offset() : offset() + 1, syntax_message(problem));
  }
  [[noreturn]] void fail_message(std::string_view message) const { throw_at(text_, offset(), message); }

  // "invalid type: {found}, expected {expected}" for the value at peek():
  // a scalar is read first (the message is positioned after it), an array or
  // object is not (positioned before it). No value there fails as
  // next_token() does.
  [[noreturn]] void fail_invalid_type(std::string_view expected);

  // The primitives of the grammar.

  // The kind of value at peek(), which is not consumed. Fails with "EOF
  // while parsing a value" at the end and "expected value" at a byte that
  // starts no value.
  Token next_token() {
    const int c = peek();
    if (c == kEnd) fail_peek(Syntax::kEofWhileParsingValue);
    const uint8_t token = detail::kTokenOf[c];
    if (token == detail::kNoToken) fail_peek(Syntax::kExpectedSomeValue);
    return static_cast<Token>(token);
  }

  // At the first letter of null, true or false: consumes the literal.
  void scan_literal() {
    const std::string_view word = *p_ == 'n' ? "null" : *p_ == 't' ? "true" : "false";
    ++p_;
    for (const char expected : word.substr(1)) {
      if (p_ == end_) fail(Syntax::kEofWhileParsingValue);
      if (*p_++ != expected) fail(Syntax::kExpectedSomeIdent);
    }
  }

  // At '-' or a digit: the number (nothing when skipped). Running out of
  // text inside it is "EOF while parsing a value" when it is read, but
  // "invalid number" when it is skipped: a skipped number is judged by its
  // form alone.
  template <Scan kScan>
  Number scan_number();

  // At '"': the string's text, a view into the input when it has no escape,
  // else into the reader's scratch space, valid until the next string is
  // read (nothing when skipped). A raw control character is reported after
  // it when the string is read, before it when it is skipped: the skipper
  // looks at a byte before taking it.
  template <Scan kScan>
  std::string_view scan_string();
  std::string_view read_string() { return scan_string<Scan::kRead>(); }

  // At '[' or '{': counts one more level of nesting and consumes the
  // bracket. Fails with "recursion limit exceeded" at the bracket that opens
  // level kMaxReadDepth + 1.
  void open() {
    if (++depth_ > kMaxReadDepth) fail_peek(Syntax::kRecursionLimitExceeded);
    ++p_;
  }

  // At '}' or ']': consumes the bracket and leaves its level.
  void close() {
    ++p_;
    --depth_;
  }

  // Steps through an array opened by open(): true when an element follows
  // (at peek()), false once the closing bracket is consumed and its level
  // left. first: no element has been read yet.
  bool next_element(bool first, AfterComma after_comma = AfterComma::kRejectClose) {
    const int c = peek();
    if (first) {
      if (c == kEnd) fail_peek(Syntax::kEofWhileParsingList);
      if (c != ']') return true;
    } else if (c == ',') {
      ++p_;
      if (after_comma == AfterComma::kRejectClose && peek() == ']') fail_peek(Syntax::kTrailingComma);
      return true;
    } else if (c != ']') {
      fail_peek(c == kEnd ? Syntax::kEofWhileParsingList : Syntax::kExpectedListCommaOrEnd);
    }
    close();
    return false;
  }

  // Steps through an object opened by open(): true when a member follows
  // (peek() is at its key's '"'), false once the closing brace is consumed
  // and its level left. first: no member has been read yet.
  bool next_member(bool first, AfterComma after_comma = AfterComma::kRejectClose) {
    int c = peek();
    if (!first) {
      if (c == '}') {
        close();
        return false;
      }
      if (c != ',') fail_peek(c == kEnd ? Syntax::kEofWhileParsingObject : Syntax::kExpectedObjectCommaOrEnd);
      ++p_;
      c = peek();
      if (c == '"') return true;
      if (after_comma == AfterComma::kRejectClose) {
        fail_peek(c == '}'    ? Syntax::kTrailingComma
                  : c == kEnd ? Syntax::kEofWhileParsingValue
                              : Syntax::kKeyMustBeAString);
      }
    } else if (c == '}') {
      close();
      return false;
    }
    if (c != '"') fail_peek(c == kEnd ? Syntax::kEofWhileParsingObject : Syntax::kKeyMustBeAString);
    return true;
  }

  // Expects the ':' after an object key.
  void read_colon() {
    const int c = peek();
    if (c == ':') {
      ++p_;
      return;
    }
    fail_peek(c == kEnd ? Syntax::kEofWhileParsingObject : Syntax::kExpectedColon);
  }

  // Reads any value through the builder.
  Value read_value();

  // Checks a value without building it: it must be well-formed and counts
  // toward the nesting limit, but its numbers and strings are skipped.
  void skip_value();

 private:
  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  template <Scan kScan>
  void scan_escape();          // after the reverse solidus; a read one is appended to scratch_
  void read_unicode_escape();  // after "\\u"
  uint16_t read_hex4();
  void check_string_utf8(const char* begin, const char* end) const;
  Value read_array();
  Value read_object();

  std::string_view text_;
  const char* p_;
  const char* end_;
  B& builder_;
  bool check_utf8_;
  int depth_ = 0;  // levels opened and not yet closed, at most kMaxReadDepth
  ReaderScratch own_scratch_;  // used when no scratch is lent
  detail::TextBuffer& scratch_;
  std::vector<std::string>& keys_;
};

// Reads text as one JSON value through builder; throws Error.
template <Builder B>
typename B::Value read_json(std::string_view text, B& builder, bool text_is_valid_utf8 = false) {
  Reader<B> reader(text, builder, text_is_valid_utf8);
  return reader.read_document();
}

// ---------------------------------------------------------------------------
// Implementation.

template <Builder B>
template <typename Reader<B>::Scan kScan>
std::string_view Reader<B>::scan_string() {
  constexpr bool kRead = kScan == Scan::kRead;
  const char* start = ++p_;
  p_ = detail::find_string_special(p_, end_);
  if (p_ != end_ && *p_ == '"') {
    // The common case: no escape, the text is a view into the input.
    const char* stop = p_++;
    if (kRead && check_utf8_) check_string_utf8(start, stop);
    return {start, static_cast<size_t>(stop - start)};
  }
  // A read string is decoded into the scratch buffer, the runs between
  // escapes copied a block at a time while they are scanned.
  if constexpr (kRead) {
    scratch_.clear();
    scratch_.append(start, p_ - start);
  }
  for (;;) {
    if (p_ == end_) fail(Syntax::kEofWhileParsingString);
    const char c = *p_;
    if (c == '"') break;
    if (c != '\\') {
      if constexpr (kRead) ++p_;
      fail(Syntax::kControlCharacterWhileParsingString);
    }
    ++p_;
    scan_escape<kScan>();
    if constexpr (kRead) {
      size_t k = detail::kBlock;
      while (k == detail::kBlock && static_cast<size_t>(end_ - p_) >= detail::kBlock) {
        std::memcpy(scratch_.room(detail::kBlock), p_, detail::kBlock);
        k = detail::special_in_block(p_);
        scratch_.commit(k);
        p_ += k;
      }
      if (k < detail::kBlock) continue;
    }
    const char* stop = detail::find_string_special(p_, end_);
    if constexpr (kRead) scratch_.append(p_, stop - p_);
    p_ = stop;
  }
  ++p_;
  if constexpr (!kRead) return {};
  if (check_utf8_) check_string_utf8(start, p_ - 1);
  return scratch_.view();
}

template <Builder B>
void Reader<B>::check_string_utf8(const char* begin, const char* end) const {
  // Escapes are ASCII, so the raw bytes are valid exactly when the text is.
  if (!unicode::is_valid_utf8(std::string_view(begin, static_cast<size_t>(end - begin)))) fail(Syntax::kInvalidUnicodeCodePoint);
}

template <Builder B>
uint16_t Reader<B>::read_hex4() {
  if (end_ - p_ < 4) {
    p_ = end_;
    fail(Syntax::kEofWhileParsingString);
  }
  uint32_t n = 0;
  bool ok = true;
  for (int k = 0; k < 4; ++k) {
    const char c = p_[k];
    uint32_t v;
    if (c >= '0' && c <= '9') {
      v = static_cast<uint32_t>(c - '0');
    } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
      v = static_cast<uint32_t>((c | 0x20) - 'a' + 10);
    } else {
      v = 0;
      ok = false;
    }
    n = (n << 4) | v;
  }
  p_ += 4;  // the four bytes are consumed before a bad digit is reported
  if (!ok) fail(Syntax::kInvalidEscape);
  return static_cast<uint16_t>(n);
}

template <Builder B>
template <typename Reader<B>::Scan kScan>
void Reader<B>::scan_escape() {
  if (p_ == end_) fail(Syntax::kEofWhileParsingString);
  const char decoded = detail::kUnescaped[static_cast<unsigned char>(*p_++)];
  if (decoded == 0) fail(Syntax::kInvalidEscape);
  if (decoded != detail::kUnicodeEscape) {
    if constexpr (kScan == Scan::kRead) scratch_.push(decoded);
  } else if constexpr (kScan == Scan::kRead) {
    read_unicode_escape();
  } else {
    read_hex4();
  }
}

template <Builder B>
void Reader<B>::read_unicode_escape() {
  const uint32_t n = read_hex4();
  if (n >= 0xDC00 && n <= 0xDFFF) fail(Syntax::kLoneLeadingSurrogateInHexEscape);
  if (n < 0xD800 || n > 0xDBFF) {
    scratch_.push_code_point(n);
    return;
  }
  // A leading surrogate must be followed by the escape of a trailing one.
  for (const char expected : {'\\', 'u'}) {
    if (p_ == end_) fail(Syntax::kEofWhileParsingString);
    if (*p_++ != expected) fail(Syntax::kUnexpectedEndOfHexEscape);
  }
  const uint32_t n2 = read_hex4();
  if (n2 < 0xDC00 || n2 > 0xDFFF) fail(Syntax::kLoneLeadingSurrogateInHexEscape);
  scratch_.push_code_point(0x10000 + ((n - 0xD800) << 10) + (n2 - 0xDC00));
}

template <Builder B>
template <typename Reader<B>::Scan kScan>
Number Reader<B>::scan_number() {
  constexpr bool kRead = kScan == Scan::kRead;
  constexpr Syntax kEof = kRead ? Syntax::kEofWhileParsingValue : Syntax::kInvalidNumber;
  const char* start = p_;
  const bool negative = *p_ == '-';
  if (negative) ++p_;
  if (p_ == end_) fail(kEof);
  const char first = *p_++;
  uint64_t significand = 0;
  bool integral = true;  // no fraction or exponent, and fits in 64 bits
  if (first == '0') {
    if (p_ != end_ && is_digit(*p_)) fail_peek(Syntax::kInvalidNumber);
  } else if (is_digit(first)) {
    significand = static_cast<uint64_t>(first - '0');
    while (p_ != end_ && is_digit(*p_)) {
      const auto digit = static_cast<uint64_t>(*p_ - '0');
      if (significand > (UINT64_MAX - digit) / 10) {
        integral = false;
        while (p_ != end_ && is_digit(*p_)) ++p_;
        break;
      }
      significand = significand * 10 + digit;
      ++p_;
    }
  } else {
    fail(Syntax::kInvalidNumber);
  }
  if (p_ != end_ && *p_ == '.') {
    ++p_;
    const char* digits = p_;
    while (p_ != end_ && is_digit(*p_)) ++p_;
    if (p_ == digits) fail_peek(p_ == end_ ? kEof : Syntax::kInvalidNumber);
    integral = false;
  }
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
    const char* marker = p_++;
    bool positive_exponent = true;
    if (p_ != end_ && (*p_ == '+' || *p_ == '-')) positive_exponent = *p_++ == '+';
    if (p_ == end_) fail(kEof);
    const char c = *p_++;
    if (!is_digit(c)) fail(Syntax::kInvalidNumber);
    int32_t exponent = c - '0';
    while (p_ != end_ && is_digit(*p_)) {
      const int32_t digit = *p_++ - '0';
      if (exponent > (INT32_MAX - digit) / 10) {
        // An exponent beyond 32 bits: infinite unless the digits are all
        // zero or the exponent is negative, where the value is zero.
        if constexpr (kRead) {
          const bool zero = std::string_view(start, marker - start).find_first_of("123456789") == std::string_view::npos;
          if (positive_exponent && !zero) fail(Syntax::kNumberOutOfRange);
        }
        while (p_ != end_ && is_digit(*p_)) ++p_;
        Number n{Number::Type::kDouble, {}};
        n.d = negative ? -0.0 : 0.0;
        return n;
      }
      exponent = exponent * 10 + digit;
    }
    integral = false;
  }
  Number n{Number::Type::kUInt, {}};
  if constexpr (!kRead) return n;
  if (integral) {
    if (!negative) {
      n.u = significand;
    } else if (significand == 0) {
      n.type = Number::Type::kDouble;
      n.d = -0.0;
    } else if (significand <= (uint64_t{1} << 63)) {
      n.type = Number::Type::kInt;
      n.i = static_cast<int64_t>(0 - significand);
    } else {
      n.type = Number::Type::kDouble;
      n.d = -static_cast<double>(significand);
    }
    return n;
  }
  n.type = Number::Type::kDouble;
  if (!decimal_to_double(start, p_, n.d)) fail(Syntax::kNumberOutOfRange);
  return n;
}

template <Builder B>
typename Reader<B>::Value Reader<B>::read_value() {
  switch (next_token()) {
    case Token::kNull:
      scan_literal();
      return builder_.make_null();
    case Token::kTrue:
    case Token::kFalse: {
      const bool b = *p_ == 't';
      scan_literal();
      return builder_.make_bool(b);
    }
    case Token::kNumber: {
      const Number n = scan_number<Scan::kRead>();
      switch (n.type) {
        case Number::Type::kUInt: return builder_.make_uint(n.u);
        case Number::Type::kInt: return builder_.make_int(n.i);
        case Number::Type::kDouble: break;
      }
      return builder_.make_double(n.d);
    }
    case Token::kString:
      return builder_.make_string(read_string());
    case Token::kArray:
      return read_array();
    case Token::kObject:
      break;
  }
  return read_object();
}

template <Builder B>
typename Reader<B>::Value Reader<B>::read_array() {
  open();
  auto array = builder_.begin_array();
  for (bool first = true; next_element(first); first = false) builder_.push(array, read_value());
  return builder_.end_array(std::move(array));
}

template <Builder B>
typename Reader<B>::Value Reader<B>::read_object() {
  open();
  auto object = builder_.begin_object();
  for (bool first = true; next_member(first); first = false) {
    std::string_view key = read_string();
    if (key.data() == scratch_.view().data()) {
      // The scratch space is reused by the value's strings: keep the key
      // in this depth's own buffer. Sized once for every depth: growing it
      // would move the keys kept by the enclosing objects.
      if (keys_.empty()) keys_.resize(kMaxReadDepth);
      std::string& kept = keys_[depth_ - 1];
      kept.assign(key);
      key = kept;
    }
    read_colon();
    builder_.set(object, key, read_value());
  }
  return builder_.end_object(std::move(object));
}

template <Builder B>
void Reader<B>::skip_value() {
  switch (next_token()) {
    case Token::kNull:
    case Token::kTrue:
    case Token::kFalse:
      scan_literal();
      return;
    case Token::kNumber:
      scan_number<Scan::kSkip>();
      return;
    case Token::kString:
      scan_string<Scan::kSkip>();
      return;
    case Token::kArray:
      open();
      for (bool first = true; next_element(first, AfterComma::kNextItem); first = false) skip_value();
      return;
    case Token::kObject:
      open();
      for (bool first = true; next_member(first, AfterComma::kNextItem); first = false) {
        scan_string<Scan::kSkip>();
        read_colon();
        skip_value();
      }
      return;
  }
}

template <Builder B>
void Reader<B>::fail_invalid_type(std::string_view expected) {
  JsonValue found;
  switch (next_token()) {
    case Token::kNull:
      scan_literal();
      break;
    case Token::kTrue:
    case Token::kFalse:
      found = JsonValue(*p_ == 't');
      scan_literal();
      break;
    case Token::kNumber: {
      const Number n = scan_number<Scan::kRead>();
      found = n.type == Number::Type::kUInt  ? JsonValue(n.u)
              : n.type == Number::Type::kInt ? JsonValue(n.i)
                                             : JsonValue(n.d);
      break;
    }
    case Token::kString:
      found = JsonValue(read_string());
      break;
    case Token::kArray:
      found = JsonValue(JsonValue::Array{});
      break;
    case Token::kObject:
      found = JsonValue(JsonObject{});
      break;
  }
  fail_message(invalid_type_message(found, expected));
}

}  // namespace korvane::json
