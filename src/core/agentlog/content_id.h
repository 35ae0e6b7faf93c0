// Content ids: names of payloads by their content.
//
// The id of a value is "sha256:" followed by the 64 lowercase hexadecimal
// digits of the SHA-256 digest of its canonical bytes (canonical.h): values
// that differ only in key order, Unicode normalization or the form of an
// integral number (1 and 1.0) share an id, and any other difference changes
// it. Computing an id cannot fail; the canonical bytes are hashed in pieces
// as they are written, never held whole.
#pragma once

#include <cstddef>
#include <string>

#include "core/json/value.h"

namespace korvane::agentlog {

// "sha256:" and 64 hexadecimal digits.
inline constexpr size_t kContentIdSize = 71;

[[nodiscard]] std::string content_id(const json::JsonValue& value);

}  // namespace korvane::agentlog
