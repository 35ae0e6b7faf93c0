// Decoding one record from JSON text.
//
// read_record() decodes a text holding exactly one JSON value as a record,
// building the payload and meta through the reader's Builder (see
// core/json/reader.h). The value is an object with the field names as keys,
// in any order (unknown keys are skipped: their values must be well-formed
// JSON within the nesting limit but are not converted), or the positional
// array of the seven fields. Every failure throws Error with the envelope's
// or the reader's message followed by " at line {l} column {c}":
//
//   "missing field `{name}`", "duplicate field `{name}`",
//   "unknown variant `{text}`, expected one of `metadata`, ...",
//   "invalid type: {found}, expected {a string | a map | struct Record | unit}",
//   "invalid length {n}, expected struct Record with 7 elements".
//
// A kind is a string naming one of the seven kinds, or an object with exactly
// one such name as key and null as value; any other value fails with the
// reader's "expected value". An array of more than seven elements fails with
// "trailing characters". Errors found inside a value are positioned there;
// a missing or repeated field and a short array are reported once the
// enclosing object or array has been read up to its closing bracket.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/agentlog/record.h"
#include "core/json/reader.h"

namespace korvane::agentlog {

// scratch, when given, is lent to the JSON reader (see json::ReaderScratch).
template <typename Builder>
BasicRecord<typename Builder::Value> read_record(std::string_view text, Builder& builder,
                                                 bool text_is_valid_utf8 = false,
                                                 json::ReaderScratch* scratch = nullptr);

namespace detail {

template <typename Builder>
class RecordReader {
 public:
  using Record = BasicRecord<typename Builder::Value>;
  using Syntax = json::Syntax;

  RecordReader(std::string_view text, Builder& builder, bool text_is_valid_utf8, json::ReaderScratch* scratch)
      : r_(text, builder, text_is_valid_utf8, scratch) {}

  Record read() {
    Record record;
    switch (r_.peek()) {
      case '{':
        read_object_form(record);
        break;
      case '[':
        read_array_form(record);
        break;
      case kEnd:
        r_.fail_peek(Syntax::kEofWhileParsingValue);
      default:
        r_.fail_invalid_type("struct Record");
    }
    r_.finish();
    return record;
  }

 private:
  static constexpr int kEnd = json::Reader<Builder>::kEnd;

  void read_object_form(Record& record) {
    r_.enter_nested();
    r_.advance();
    std::string problem;  // a schema error, reported at the closing brace
    uint8_t seen = 0;
    for (bool first = true;; first = false) {
      int c = r_.peek();
      if (c == '}') break;
      if (!first) {
        if (c != ',') r_.fail_peek(c == kEnd ? Syntax::kEofWhileParsingObject : Syntax::kExpectedObjectCommaOrEnd);
        r_.advance();
        c = r_.peek();
        if (c == '}') r_.fail_peek(Syntax::kTrailingComma);
        if (c == kEnd) r_.fail_peek(Syntax::kEofWhileParsingValue);
      } else if (c == kEnd) {
        r_.fail_peek(Syntax::kEofWhileParsingObject);
      }
      if (c != '"') r_.fail_peek(Syntax::kKeyMustBeAString);
      const Field field = field_named(r_.read_string());
      if (field != kUnknown) {
        const auto bit = static_cast<uint8_t>(1u << field);
        if (seen & bit) {
          problem = "duplicate field `" + std::string(kFieldNames[field]) + "`";
          break;
        }
        seen |= bit;
      }
      r_.read_colon();
      read_field(record, field);
    }
    if (problem.empty()) {
      for (const Field required : {kVersion, kId, kKind, kTs, kPayload}) {
        if (!(seen & (1u << required))) {
          problem = "missing field `" + std::string(kFieldNames[required]) + "`";
          break;
        }
      }
    }
    r_.leave_nested();
    if (r_.peek() == '}') r_.advance();
    if (!problem.empty()) r_.fail_message(problem);
  }

  void read_array_form(Record& record) {
    r_.enter_nested();
    r_.advance();
    std::string problem;  // reported after the closing bracket
    for (size_t i = 0; i < kFieldNames.size(); ++i) {
      int c = r_.peek();
      if (c == ']') {
        // A missing meta takes its default; the payload after it is reported.
        const size_t reported = i == kMeta ? size_t{kPayload} : i;
        problem = "invalid length " + std::to_string(reported) + ", expected struct Record with 7 elements";
        break;
      }
      if (i > 0) {
        if (c != ',') r_.fail_peek(c == kEnd ? Syntax::kEofWhileParsingList : Syntax::kExpectedListCommaOrEnd);
        r_.advance();
        c = r_.peek();
        if (c == ']') r_.fail_peek(Syntax::kTrailingComma);
        if (c == kEnd) r_.fail_peek(Syntax::kEofWhileParsingValue);
      } else if (c == kEnd) {
        r_.fail_peek(Syntax::kEofWhileParsingList);
      }
      read_field(record, static_cast<Field>(i));
    }
    r_.leave_nested();
    const int c = r_.peek();
    if (c == ']') {
      r_.advance();
      if (!problem.empty()) r_.fail_message(problem);
      return;
    }
    if (c == ',') {
      r_.advance();
      r_.fail_peek(r_.peek() == ']' ? Syntax::kTrailingComma : Syntax::kTrailingCharacters);
    }
    r_.fail_peek(c == kEnd ? Syntax::kEofWhileParsingList : Syntax::kTrailingCharacters);
  }

  void read_field(Record& record, Field field) {
    switch (field) {
      case kVersion:
        record.version = read_text();
        return;
      case kId:
        record.id = read_text();
        return;
      case kKind:
        record.kind = read_kind();
        return;
      case kTs:
        record.ts = read_text();
        return;
      case kParent:
        if (read_null()) {
          record.parent.reset();
        } else {
          record.parent = read_text();
        }
        return;
      case kMeta:
        if (read_null()) {
          record.meta.reset();
        } else {
          const int c = r_.peek();
          if (c == kEnd) r_.fail_peek(Syntax::kEofWhileParsingValue);
          if (c != '{') r_.fail_invalid_type("a map");
          record.meta = r_.read_value();
        }
        return;
      case kPayload:
        record.payload = r_.read_value();
        return;
      case kUnknown:
        r_.skip_value();
        return;
    }
  }

  // Reads a null and returns true when the value at peek() is one.
  bool read_null() {
    if (r_.peek() != 'n') return false;
    r_.advance();
    r_.read_literal("ull");
    return true;
  }

  std::string read_text() {
    const int c = r_.peek();
    if (c == '"') return std::string(r_.read_string());
    if (c == kEnd) r_.fail_peek(Syntax::kEofWhileParsingValue);
    r_.fail_invalid_type("a string");
  }

  Kind read_kind_name() {
    const std::string_view name = r_.read_string();
    if (auto kind = kind_from_name(name)) return *kind;
    r_.fail_message(unknown_variant_message(name));
  }

  Kind read_kind() {
    int c = r_.peek();
    if (c == '"') return read_kind_name();
    if (c != '{') r_.fail_peek(c == kEnd ? Syntax::kEofWhileParsingValue : Syntax::kExpectedSomeValue);
    // The one-member object {"<name>": null}.
    r_.enter_nested();
    r_.advance();
    c = r_.peek();
    if (c == kEnd) r_.fail_peek(Syntax::kEofWhileParsingValue);
    if (c != '"') r_.fail_invalid_type("variant identifier");
    const Kind kind = read_kind_name();
    r_.read_colon();
    if (!read_null()) {
      if (r_.peek() == kEnd) r_.fail_peek(Syntax::kEofWhileParsingValue);
      r_.fail_invalid_type("unit");
    }
    r_.leave_nested();
    c = r_.peek();
    if (c != '}') r_.fail(c == kEnd ? Syntax::kEofWhileParsingObject : Syntax::kExpectedSomeValue);
    r_.advance();
    return kind;
  }

  json::Reader<Builder> r_;
};

}  // namespace detail

template <typename Builder>
BasicRecord<typename Builder::Value> read_record(std::string_view text, Builder& builder, bool text_is_valid_utf8,
                                                 json::ReaderScratch* scratch) {
  return detail::RecordReader<Builder>(text, builder, text_is_valid_utf8, scratch).read();
}

}  // namespace korvane::agentlog
