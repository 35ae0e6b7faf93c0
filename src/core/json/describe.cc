#include "core/json/describe.h"

#include "core/json/number_format.h"

namespace korvane::json {

std::string describe_found(const JsonValue& value, std::string_view null_word) {
  switch (value.type()) {
    case JsonValue::Type::kNull:
      return std::string(null_word);
    case JsonValue::Type::kBool:
      return *value.if_bool() ? "boolean `true`" : "boolean `false`";
    case JsonValue::Type::kUInt:
      return "integer `" + std::to_string(*value.if_uint()) + "`";
    case JsonValue::Type::kInt:
      return "integer `" + std::to_string(*value.if_int()) + "`";
    case JsonValue::Type::kDouble:
      return "floating point `" + format_double(*value.if_double()) + "`";
    case JsonValue::Type::kString:
      return "string \"" + std::string(*value.if_string()) + "\"";
    case JsonValue::Type::kArray:
      return "sequence";
    case JsonValue::Type::kObject:
      return "map";
  }
  return {};
}

std::string invalid_type_message(const JsonValue& value, std::string_view expected,
                                 std::string_view null_word) {
  std::string message = "invalid type: ";
  message += describe_found(value, null_word);
  message += ", expected ";
  message += expected;
  return message;
}

}  // namespace korvane::json
