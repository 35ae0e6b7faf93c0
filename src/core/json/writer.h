// The compact interchange form of JSON values.
//
// No whitespace between tokens, object members in stored order, strings
// copied byte for byte except for the quotation mark, the reverse solidus and
// the characters below U+0020 (\b \t \n \f \r, others as \u00XX with lowercase
// hex digits), integers in plain decimal and doubles in the form of
// append_double(). It is the form of every line of a written trace and of
// values quoted inside divergence messages.
#pragma once

#include <string>
#include <string_view>

#include "core/json/value.h"

namespace korvane::json {

void append_json(std::string& out, const JsonValue& value);
void append_json_string(std::string& out, std::string_view text);

// The compact text of value as a new string.
std::string to_json_text(const JsonValue& value);

}  // namespace korvane::json
