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
// "trailing characters". Errors found inside a value are positioned there; a
// repeated field right after its key (after the brace, when one follows the
// key); a missing field and a short array after the closing bracket.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/agentlog/record.h"
#include "core/json/reader.h"

namespace korvane::agentlog {

// scratch, when given, is lent to the JSON reader (see json::ReaderScratch).
template <json::Builder B>
BasicRecord<typename B::Value> read_record(std::string_view text, B& builder, bool text_is_valid_utf8 = false,
                                           json::ReaderScratch* scratch = nullptr);

namespace detail {

template <json::Builder B>
class RecordReader {
 public:
  using Record = BasicRecord<typename B::Value>;
  using Syntax = json::Syntax;

  RecordReader(std::string_view text, B& builder, bool text_is_valid_utf8, json::ReaderScratch* scratch)
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
      default:
        r_.fail_invalid_type("struct Record");
    }
    r_.finish();
    return record;
  }

 private:
  static constexpr int kEnd = json::Reader<B>::kEnd;

  void read_object_form(Record& record) {
    r_.open();
    uint8_t seen = 0;
    for (bool first = true; r_.next_member(first); first = false) {
      const Field field = field_named(r_.read_string());
      if (field != kUnknown) {
        const auto bit = static_cast<uint8_t>(1u << field);
        if (seen & bit) {
          // Reported after the key, or after the brace when one follows it.
          if (r_.peek() == '}') r_.close();
          r_.fail_message(duplicate_field_message(field));
        }
        seen |= bit;
      }
      r_.read_colon();
      read_field(record, field);
    }
    for (const Field required : kRequiredFields) {
      if (!(seen & (1u << required))) r_.fail_message(missing_field_message(required));
    }
  }

  void read_array_form(Record& record) {
    r_.open();
    for (size_t i = 0; i < kFieldNames.size(); ++i) {
      if (!r_.next_element(i == 0)) {
        // A missing meta takes its default; the payload after it is reported.
        const size_t reported = i == kMeta ? size_t{kPayload} : i;
        r_.fail_message("invalid length " + std::to_string(reported) + ", expected struct Record with 7 elements");
      }
      read_field(record, static_cast<Field>(i));
    }
    // An eighth element, or anything but a comma where one would follow.
    const int c = r_.peek();
    if ((c != ',' && c != ']' && c != kEnd) || r_.next_element(false)) r_.fail_peek(Syntax::kTrailingCharacters);
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
          if (r_.peek() != '{') r_.fail_invalid_type("a map");
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
    r_.scan_literal();
    return true;
  }

  std::string read_text() {
    if (r_.peek() != '"') r_.fail_invalid_type("a string");
    return std::string(r_.read_string());
  }

  Kind read_kind_name() {
    const std::string_view name = r_.read_string();
    if (auto kind = kind_from_name(name)) return *kind;
    r_.fail_message(unknown_variant_message(name));
  }

  // A kind name, or the one-member object {"<name>": null}.
  Kind read_kind() {
    int c = r_.peek();
    if (c == '"') return read_kind_name();
    if (c != '{') r_.fail_peek(c == kEnd ? Syntax::kEofWhileParsingValue : Syntax::kExpectedSomeValue);
    r_.open();
    if (r_.peek() != '"') r_.fail_invalid_type("variant identifier");
    const Kind kind = read_kind_name();
    r_.read_colon();
    if (!read_null()) r_.fail_invalid_type("unit");
    c = r_.peek();
    if (c != '}') r_.fail(c == kEnd ? Syntax::kEofWhileParsingObject : Syntax::kExpectedSomeValue);
    r_.close();
    return kind;
  }

  json::Reader<B> r_;
};

}  // namespace detail

template <json::Builder B>
BasicRecord<typename B::Value> read_record(std::string_view text, B& builder, bool text_is_valid_utf8,
                                           json::ReaderScratch* scratch) {
  return detail::RecordReader<B>(text, builder, text_is_valid_utf8, scratch).read();
}

}  // namespace korvane::agentlog
