#include "core/agentlog/record.h"

#include "core/error.h"
#include "core/json/describe.h"

namespace korvane::agentlog {

using json::JsonObject;
using json::JsonValue;

std::optional<Kind> kind_from_name(std::string_view text) {
  const size_t i = index_of_name(kKindNames, text);
  if (i == kKindNames.size()) return std::nullopt;
  return static_cast<Kind>(i);
}

std::string duplicate_field_message(Field field) {
  return "duplicate field `" + std::string(kFieldNames[field]) + "`";
}

std::string missing_field_message(Field field) {
  return "missing field `" + std::string(kFieldNames[field]) + "`";
}

std::string unknown_variant_message(std::string_view text) {
  std::string message = "unknown variant `";
  message += text;
  message +=
      "`, expected one of `metadata`, `chat_request`, `chat_response`, `tool_call`, "
      "`tool_result`, `error`, `replay_summary`";
  return message;
}

namespace {

std::string_view text_of(const JsonValue& value) {
  const std::string_view* text = value.if_string();
  if (text == nullptr) throw Error(json::invalid_type_message(value, "a string"));
  return *text;
}

Kind kind_of(const JsonValue& value) {
  if (const std::string_view* text = value.if_string()) {
    if (auto kind = kind_from_name(*text)) return *kind;
    throw Error(unknown_variant_message(*text));
  }
  if (const JsonObject* object = value.if_object()) {
    if (object->size() != 1) throw Error("invalid value: map, expected map with a single key");
    const JsonObject::Member& variant = *object->begin();
    auto kind = kind_from_name(variant.key);
    if (!kind) throw Error(unknown_variant_message(variant.key));
    if (!variant.value.is_null()) throw Error(json::invalid_type_message(variant.value, "unit"));
    return *kind;
  }
  throw Error(json::invalid_type_message(value, "string or map"));
}

// Stores one field value into record, checking its kind.
void set_field(RecordView& record, Field field, const JsonValue& value) {
  switch (field) {
    case kVersion:
      record.version = text_of(value);
      break;
    case kId:
      record.id = text_of(value);
      break;
    case kKind:
      record.kind = kind_of(value);
      break;
    case kTs:
      record.ts = text_of(value);
      break;
    case kParent:
      if (!value.is_null()) record.parent = text_of(value);
      break;
    case kMeta:
      if (value.if_object() != nullptr) {
        record.meta = &value;
      } else if (!value.is_null()) {
        throw Error(json::invalid_type_message(value, "a map"));
      }
      break;
    case kPayload:
      record.payload = &value;
      break;
    case kUnknown:
      break;
  }
}

RecordView from_object(const JsonObject& object) {
  RecordView record;
  bool seen[kUnknown] = {};
  for (const JsonObject::Member& member : object) {
    const Field field = field_named(member.key);
    if (field == kUnknown) continue;
    if (seen[field]) throw Error(duplicate_field_message(field));
    seen[field] = true;
    set_field(record, field, member.value);
  }
  for (const Field required : kRequiredFields) {
    if (!seen[required]) throw Error(missing_field_message(required));
  }
  return record;
}

RecordView from_array(const JsonValue::Array& elements) {
  RecordView record;
  const size_t n = elements.size();
  for (size_t i = 0; i < kFieldNames.size(); ++i) {
    if (i >= n) {
      // A missing meta takes its default; the payload after it is reported.
      const size_t reported = (i == kMeta) ? size_t{kPayload} : i;
      throw Error("invalid length " + std::to_string(reported) +
                  ", expected struct Record with 7 elements");
    }
    set_field(record, static_cast<Field>(i), elements[i]);
  }
  if (n > kFieldNames.size()) {
    throw Error("invalid length " + std::to_string(n) + ", expected fewer elements in array");
  }
  return record;
}

}  // namespace

RecordView record_view_from_value(const JsonValue& value) {
  if (const JsonObject* object = value.if_object()) return from_object(*object);
  if (const JsonValue::Array* elements = value.if_array()) return from_array(*elements);
  throw Error(json::invalid_type_message(value, "struct Record"));
}

Record record_from_value(const JsonValue& value) {
  const RecordView view = record_view_from_value(value);
  Record record;
  record.version = view.version;
  record.id = view.id;
  record.kind = view.kind;
  record.ts = view.ts;
  if (view.parent) record.parent = std::string(*view.parent);
  if (view.meta != nullptr) record.meta = *view.meta;
  record.payload = *view.payload;
  return record;
}

RecordView view_of(const Record& record) {
  RecordView view;
  view.version = record.version;
  view.id = record.id;
  view.kind = record.kind;
  view.ts = record.ts;
  if (record.parent) view.parent = *record.parent;
  if (record.meta) view.meta = &*record.meta;
  view.payload = &record.payload;
  return view;
}

}  // namespace korvane::agentlog
