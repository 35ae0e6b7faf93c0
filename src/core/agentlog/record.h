// Record: the envelope of one trace record.
//
// A record is seven fields around a free-form payload: version, id, kind, ts,
// an optional parent id, an optional meta object and the payload. The field
// order is significant: it is the order of the positional (array) form, the
// order in which missing fields are reported and the key order of every
// written record ("version", "id", "kind", "ts", "parent", "meta", "payload").
//
// BasicRecord is generic over the value type so that a reader can build
// payloads directly in a host representation; Record is the core's own form.
// A record owns its texts, meta and payload.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/json/value.h"

namespace korvane::agentlog {

enum class Kind : uint8_t {
  kMetadata,
  kChatRequest,
  kChatResponse,
  kToolCall,
  kToolResult,
  kError,
  kReplaySummary,
};

inline constexpr std::array<std::string_view, 7> kKindNames = {
    "metadata", "chat_request", "chat_response", "tool_call",
    "tool_result", "error", "replay_summary",
};

inline constexpr std::array<std::string_view, 7> kFieldNames = {
    "version", "id", "kind", "ts", "parent", "meta", "payload",
};

inline std::string_view kind_name(Kind kind) { return kKindNames[static_cast<size_t>(kind)]; }

// The fields as indices into kFieldNames; kUnknown stands for any other key.
enum Field : uint8_t { kVersion, kId, kKind, kTs, kParent, kMeta, kPayload, kUnknown };

// The fields a record must have, in the order their absence is reported.
inline constexpr std::array<Field, 5> kRequiredFields = {kVersion, kId, kKind, kTs, kPayload};

// The index of the name equal to text, or N when there is none.
template <size_t N>
constexpr size_t index_of_name(const std::array<std::string_view, N>& names, std::string_view text) {
  for (size_t i = 0; i < N; ++i) {
    if (names[i] == text) return i;
  }
  return N;
}

// The field named exactly key, or kUnknown.
inline Field field_named(std::string_view key) { return static_cast<Field>(index_of_name(kFieldNames, key)); }

// "duplicate field `version`", "missing field `payload`": the same words
// from the record reader and from the decoder of values.
std::string duplicate_field_message(Field field);
std::string missing_field_message(Field field);

// The kind named exactly text (case-sensitive, no trimming), if any.
std::optional<Kind> kind_from_name(std::string_view text);

// "unknown variant `{text}`, expected one of `metadata`, ...".
std::string unknown_variant_message(std::string_view text);

template <typename Value>
struct BasicRecord {
  std::string version;
  std::string id;
  Kind kind = Kind::kMetadata;
  std::string ts;
  std::optional<std::string> parent;
  std::optional<Value> meta;  // an object when present
  Value payload;
};

using Record = BasicRecord<json::JsonValue>;

// A record decoded from a value, as views into that value: the texts, the
// meta object (nullptr when absent) and the payload.
struct RecordView {
  std::string_view version;
  std::string_view id;
  Kind kind = Kind::kMetadata;
  std::string_view ts;
  std::optional<std::string_view> parent;
  const json::JsonValue* meta = nullptr;
  const json::JsonValue* payload = nullptr;
};

// Decodes a record from a value built from host data (a JSON object with the
// field names as keys, or the positional array). Throws Error with the
// envelope's message, without a position. The view borrows from value.
RecordView record_view_from_value(const json::JsonValue& value);

// The same decoding, as a record of its own: texts are copied, the payload
// and meta are copies of value's (views when value borrows its storage).
Record record_from_value(const json::JsonValue& value);

// The view of a record's fields.
RecordView view_of(const Record& record);

}  // namespace korvane::agentlog
