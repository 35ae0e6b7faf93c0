// JsonValue: the system's JSON value.
//
// A JsonValue is null, a boolean, a number, a string (UTF-8 text), an array
// or an object. A number is exactly one of: an unsigned 64-bit integer, a
// signed 64-bit integer (used only for negative values) or a finite double;
// building a value from a NaN or an infinity gives null. Objects keep their
// members in insertion order. Values own their children outright and are
// ordinary copyable, movable values.
//
// Equality (operator==) is strict: a value equals another only of the same
// kind, so the integer 1 never equals the double 1.0; objects are equal when
// they hold the same members with equal values, in any order.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace korvane::json {

class JsonValue;

// An insertion-ordered map from text keys to values.
//
// insert_or_assign() gives a key already present the new value while keeping
// its first position. append() adds a member without looking for an earlier
// one with the same key; a builder that may have appended repeated keys calls
// collapse_duplicates() once when the object is complete, which restores the
// insert_or_assign() semantics in O(k log k).
class JsonObject {
 public:
  struct Member;

  JsonObject() = default;
  JsonObject(const JsonObject&);
  JsonObject(JsonObject&&) noexcept;
  JsonObject& operator=(const JsonObject&);
  JsonObject& operator=(JsonObject&&) noexcept;
  ~JsonObject();

  [[nodiscard]] size_t size() const;
  [[nodiscard]] bool empty() const;
  [[nodiscard]] const Member* begin() const;
  [[nodiscard]] const Member* end() const;
  [[nodiscard]] Member* begin();
  [[nodiscard]] Member* end();

  // The value stored under key, or nullptr.
  [[nodiscard]] const JsonValue* find(std::string_view key) const;

  void insert_or_assign(std::string key, JsonValue value);
  void append(std::string key, JsonValue value);
  void collapse_duplicates();
  void reserve(size_t n);

 private:
  std::vector<Member> members_;
};

class JsonValue {
 public:
  using Array = std::vector<JsonValue>;
  using Object = JsonObject;

  // The alternatives, in the order of the underlying variant.
  enum class Type : uint8_t { kNull, kBool, kUInt, kInt, kDouble, kString, kArray, kObject };

  JsonValue() = default;
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : v_(b) {}
  JsonValue(uint64_t u) : v_(u) {}
  // Non-negative values are stored as unsigned: signed is for negatives only.
  JsonValue(int64_t i) {
    if (i < 0) {
      v_ = i;
    } else {
      v_ = static_cast<uint64_t>(i);
    }
  }
  JsonValue(double d) {
    if (std::isfinite(d)) v_ = d;
  }
  JsonValue(std::string s) : v_(std::move(s)) {}
  JsonValue(std::string_view s) : v_(std::string(s)) {}
  JsonValue(const char* s) : v_(std::string(s)) {}
  JsonValue(Array a) : v_(std::move(a)) {}
  JsonValue(Object o) : v_(std::move(o)) {}

  [[nodiscard]] Type type() const { return static_cast<Type>(v_.index()); }
  [[nodiscard]] bool is_null() const { return type() == Type::kNull; }
  [[nodiscard]] bool is_number() const {
    return type() == Type::kUInt || type() == Type::kInt || type() == Type::kDouble;
  }

  // Typed views: nullptr (or nothing) when the value is of another kind.
  [[nodiscard]] const bool* if_bool() const { return std::get_if<bool>(&v_); }
  [[nodiscard]] const uint64_t* if_uint() const { return std::get_if<uint64_t>(&v_); }
  [[nodiscard]] const int64_t* if_int() const { return std::get_if<int64_t>(&v_); }
  [[nodiscard]] const double* if_double() const { return std::get_if<double>(&v_); }
  [[nodiscard]] const std::string* if_string() const { return std::get_if<std::string>(&v_); }
  [[nodiscard]] const Array* if_array() const { return std::get_if<Array>(&v_); }
  [[nodiscard]] const Object* if_object() const { return std::get_if<Object>(&v_); }
  [[nodiscard]] std::string* if_string() { return std::get_if<std::string>(&v_); }
  [[nodiscard]] Array* if_array() { return std::get_if<Array>(&v_); }
  [[nodiscard]] Object* if_object() { return std::get_if<Object>(&v_); }

  // Any number converted to the nearest double; nothing for other kinds.
  [[nodiscard]] std::optional<double> as_double() const;

  // The member named key when this is an object holding it, else nullptr.
  [[nodiscard]] const JsonValue* find(std::string_view key) const {
    const Object* o = if_object();
    return o == nullptr ? nullptr : o->find(key);
  }

  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object> v_;
};

struct JsonObject::Member {
  std::string key;
  JsonValue value;
};

inline size_t JsonObject::size() const { return members_.size(); }
inline bool JsonObject::empty() const { return members_.empty(); }

bool operator==(const JsonObject& a, const JsonObject& b);

}  // namespace korvane::json
