// The canonical encoder and content ids over values decoded from arbitrary
// JSON.
//
// Checked: the compact writer's text of a value reads back as an equal value
// with the same canonical bytes and id; the canonical bytes are themselves a
// JSON text whose canonical form is the same bytes (unless two keys of one
// object normalize to the same text, which a reader collapses); an id is
// "sha256:" and 64 lowercase hexadecimal digits.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "core/agentlog/canonical.h"
#include "core/agentlog/content_id.h"
#include "core/error.h"
#include "core/json/reader.h"
#include "core/json/value.h"
#include "core/json/writer.h"
#include "core/unicode/normalize.h"
#include "fuzz_check.h"

namespace {

using korvane::json::JsonObject;
using korvane::json::JsonValue;

// Whether some object of value holds two keys with the same NFC form.
bool has_colliding_keys(const JsonValue& value) {
  if (const JsonValue::Array* elements = value.if_array()) {
    for (const JsonValue& element : *elements) {
      if (has_colliding_keys(element)) return true;
    }
  } else if (const JsonObject* object = value.if_object()) {
    std::set<std::string> seen;
    for (const JsonObject::Member& member : *object) {
      if (!seen.insert(korvane::unicode::to_nfc(member.key)).second) return true;
      if (has_colliding_keys(member.value)) return true;
    }
  }
  return false;
}

void check_id(const std::string& id) {
  FUZZ_CHECK(id.size() == korvane::agentlog::kContentIdSize);
  FUZZ_CHECK(id.compare(0, 7, "sha256:") == 0);
  for (size_t i = 7; i < id.size(); ++i) {
    const char c = id[i];
    FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  JsonValue value;
  try {
    value = korvane::json::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const korvane::Error&) {
    return 0;
  }
  const std::string canonical = korvane::agentlog::canonical_bytes(value);
  const std::string id = korvane::agentlog::content_id(value);
  check_id(id);

  const JsonValue reread = korvane::json::parse_json(korvane::json::to_json_text(value));
  FUZZ_CHECK(reread == value);
  FUZZ_CHECK(korvane::agentlog::canonical_bytes(reread) == canonical);
  FUZZ_CHECK(korvane::agentlog::content_id(reread) == id);

  const JsonValue from_canonical = korvane::json::parse_json(canonical);
  if (!has_colliding_keys(value)) {
    FUZZ_CHECK(korvane::agentlog::canonical_bytes(from_canonical) == canonical);
  }
  return 0;
}
