#include "core/agentlog/record.h"

#include "core/error.h"
#include "core/json/describe.h"

namespace korvane::agentlog {

using json::JsonObject;
using json::JsonValue;

std::optional<Kind> kind_from_name(std::string_view text) {
  for (size_t i = 0; i < kKindNames.size(); ++i) {
    if (kKindNames[i] == text) return static_cast<Kind>(i);
  }
  return std::nullopt;
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

std::string take_text(JsonValue& value) {
  std::string* text = value.if_string();
  if (text == nullptr) throw Error(json::invalid_type_message(value, "a string"));
  return std::move(*text);
}

Kind take_kind(const JsonValue& value) {
  if (const std::string* text = value.if_string()) {
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
void set_field(Record& record, Field field, JsonValue& value) {
  switch (field) {
    case kVersion:
      record.version = take_text(value);
      break;
    case kId:
      record.id = take_text(value);
      break;
    case kKind:
      record.kind = take_kind(value);
      break;
    case kTs:
      record.ts = take_text(value);
      break;
    case kParent:
      if (!value.is_null()) record.parent = take_text(value);
      break;
    case kMeta:
      if (value.if_object() != nullptr) {
        record.meta = std::move(value);
      } else if (!value.is_null()) {
        throw Error(json::invalid_type_message(value, "a map"));
      }
      break;
    case kPayload:
      record.payload = std::move(value);
      break;
    case kUnknown:
      break;
  }
}

Record from_object(JsonObject& object) {
  Record record;
  bool seen[kUnknown] = {};
  for (JsonObject::Member& member : object) {
    const Field field = field_named(member.key);
    if (field == kUnknown) continue;
    if (seen[field]) throw Error("duplicate field `" + member.key + "`");
    seen[field] = true;
    set_field(record, field, member.value);
  }
  for (Field required : {kVersion, kId, kKind, kTs, kPayload}) {
    if (!seen[required]) {
      throw Error("missing field `" + std::string(kFieldNames[required]) + "`");
    }
  }
  return record;
}

Record from_array(JsonValue::Array& elements) {
  Record record;
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

Record record_from_value(JsonValue value) {
  if (JsonObject* object = value.if_object()) return from_object(*object);
  if (JsonValue::Array* elements = value.if_array()) return from_array(*elements);
  throw Error(json::invalid_type_message(value, "struct Record"));
}

}  // namespace korvane::agentlog
