// How messages describe a JSON value that has the wrong kind.
//
// The words are those of "invalid type: {found}, expected {what}" messages:
// "null" (or another word for null chosen by the caller, e.g. "unit value"),
// "boolean `true`", "integer `-5`", "floating point `1.0`" (the double in the
// interchange form), "string \"text\"" (the text as it is), "map", "sequence".
#pragma once

#include <string>
#include <string_view>

#include "core/json/value.h"

namespace korvane::json {

std::string describe_found(const JsonValue& value, std::string_view null_word = "null");

// "invalid type: {found}, expected {expected}".
std::string invalid_type_message(const JsonValue& value, std::string_view expected,
                                 std::string_view null_word = "null");

}  // namespace korvane::json
