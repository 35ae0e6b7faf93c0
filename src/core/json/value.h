// JsonValue: the system's JSON value.
//
// A JsonValue is null, a boolean, a number, a string (UTF-8 text), an array
// or an object. A number is exactly one of: an unsigned 64-bit integer, a
// signed 64-bit integer (used only for negative values) or a finite double;
// building a value from a NaN or an infinity gives null. Objects keep their
// members in insertion order.
//
// A value either owns its storage or borrows it:
//  - Values made by the constructors below, and arrays and objects filled
//    through push_back(), append() and insert_or_assign(), own their text and
//    their elements, on the heap; the destructor frees them.
//  - Values made by the borrowing() factories are views: their text is bytes
//    someone else keeps alive (the Python conversion points into the
//    interpreter's own UTF-8) and their elements lie in memory someone else
//    frees (an arena released at once when the call ends). Destroying them
//    frees nothing. A borrowed value must not outlive that storage, and all
//    its elements are borrowed too.
// Copying an owning value copies it deeply; copying a borrowed one gives a
// view of the same storage. Writing into a container that borrows its
// elements (mutable access, push_back, append, ...) first moves the elements
// into storage of its own, so borrowed storage is never written through.
//
// Equality (operator==) is strict: a value equals another only of the same
// kind, so the integer 1 never equals the double 1.0; objects are equal when
// they hold the same members with equal values, in any order. It walks the
// values with a heap stack, so nesting depth costs no machine stack.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace korvane::json {

class JsonValue;
struct JsonMember;

namespace detail {

// The elements of an array or the members of an object: size_ of them at
// data_, either in storage of the container's own (capacity_ > 0) or
// borrowed (capacity_ == 0) from whoever made the container, who keeps that
// storage alive and never sees it written. A copy of a borrowing container
// borrows the same storage; the first write into one (mutable access, or one
// more element) moves its elements into storage of its own, values as they
// are (views stay views) and keys copied into bytes of the container's own.
template <typename T>
class Elements {
 public:
  [[nodiscard]] size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] const T* begin() const { return data_; }
  [[nodiscard]] const T* end() const { return data_ + size_; }
  void reserve(size_t n) {
    if (n > capacity_) grow(n);
  }

 protected:
  Elements() = default;
  Elements(const T* borrowed, size_t count) : data_(const_cast<T*>(borrowed)), size_(count) {}
  Elements(const Elements& other);
  Elements(Elements&& other) noexcept;
  Elements& operator=(const Elements& other);
  Elements& operator=(Elements&& other) noexcept;
  ~Elements();

  // The elements, in storage of the container's own.
  T* writable() {
    if (capacity_ == 0 && size_ > 0) grow(size_);
    return data_;
  }
  // Room for one more element at data_[size_], in storage of the container's
  // own; the caller constructs it there and counts it.
  T* room_for_one() {
    if (size_ >= capacity_) grow(size_ + 1);
    return data_ + size_;
  }
  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;  // 0 while the elements are borrowed (or there are none)

 private:
  void grow(size_t at_least);
};

}  // namespace detail

// A sequence of values.
class JsonArray : public detail::Elements<JsonValue> {
 public:
  JsonArray() = default;
  JsonArray(std::initializer_list<JsonValue> values);
  explicit JsonArray(size_t count);  // count nulls

  // A view of count values kept alive by the caller.
  static JsonArray borrowing(const JsonValue* values, size_t count) { return JsonArray(values, count); }

  using Elements::begin;
  using Elements::end;
  [[nodiscard]] const JsonValue& operator[](size_t i) const;
  [[nodiscard]] const JsonValue& front() const { return *data_; }
  [[nodiscard]] const JsonValue& back() const;

  [[nodiscard]] JsonValue* begin() { return writable(); }
  [[nodiscard]] JsonValue* end();
  [[nodiscard]] JsonValue& operator[](size_t i);

  void push_back(JsonValue value);
  template <typename... Args>
  JsonValue& emplace_back(Args&&... args);

 private:
  JsonArray(const JsonValue* values, size_t count) : Elements(values, count) {}
};

// An insertion-ordered map from text keys to values.
//
// insert_or_assign() gives a key already present the new value while keeping
// its first position. append() adds a member without looking for an earlier
// one with the same key; a builder that may have appended repeated keys calls
// collapse_duplicates() once when the object is complete, which restores the
// insert_or_assign() semantics in O(k log k). An object that owns its
// members owns their key bytes too.
class JsonObject : public detail::Elements<JsonMember> {
 public:
  using Member = JsonMember;

  JsonObject() = default;

  // A view of count members, keys and values alike kept alive by the caller.
  static JsonObject borrowing(const Member* members, size_t count) { return JsonObject(members, count); }

  // The value stored under key, or nullptr.
  [[nodiscard]] const JsonValue* find(std::string_view key) const;

  void insert_or_assign(std::string_view key, JsonValue value);
  void append(std::string_view key, JsonValue value);
  void collapse_duplicates();

 private:
  JsonObject(const Member* members, size_t count) : Elements(members, count) {}
};

class JsonValue {
 public:
  using Array = JsonArray;
  using Object = JsonObject;

  enum class Type : uint8_t { kNull, kBool, kUInt, kInt, kDouble, kString, kArray, kObject };

  JsonValue() {}
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : bool_(b), type_(Type::kBool) {}
  JsonValue(uint64_t u) : uint_(u), type_(Type::kUInt) {}
  // Non-negative values are stored as unsigned: signed is for negatives only.
  JsonValue(int64_t i) {
    if (i < 0) {
      int_ = i;
      type_ = Type::kInt;
    } else {
      uint_ = static_cast<uint64_t>(i);
      type_ = Type::kUInt;
    }
  }
  JsonValue(double d) {
    if (std::isfinite(d)) {
      double_ = d;
      type_ = Type::kDouble;
    }
  }
  // Strings given here are copied into storage of the value's own.
  JsonValue(std::string_view s);
  JsonValue(const std::string& s) : JsonValue(std::string_view(s)) {}
  JsonValue(const char* s) : JsonValue(std::string_view(s)) {}
  JsonValue(Array a) : array_(std::move(a)), type_(Type::kArray) {}
  JsonValue(Object o) : object_(std::move(o)), type_(Type::kObject) {}

  // A string that views text kept alive by the caller.
  static JsonValue borrowing(std::string_view text) {
    JsonValue v;
    new (&v.string_) std::string_view(text);
    v.type_ = Type::kString;
    return v;
  }

  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue() {
    if (type_ >= Type::kString) destroy();
  }

  [[nodiscard]] Type type() const { return type_; }
  [[nodiscard]] bool is_null() const { return type_ == Type::kNull; }

  // Typed views: nullptr (or nothing) when the value is of another kind.
  [[nodiscard]] const bool* if_bool() const { return type_ == Type::kBool ? &bool_ : nullptr; }
  [[nodiscard]] const uint64_t* if_uint() const { return type_ == Type::kUInt ? &uint_ : nullptr; }
  [[nodiscard]] const int64_t* if_int() const { return type_ == Type::kInt ? &int_ : nullptr; }
  [[nodiscard]] const double* if_double() const { return type_ == Type::kDouble ? &double_ : nullptr; }
  [[nodiscard]] const std::string_view* if_string() const { return type_ == Type::kString ? &string_ : nullptr; }
  [[nodiscard]] const Array* if_array() const { return type_ == Type::kArray ? &array_ : nullptr; }
  [[nodiscard]] const Object* if_object() const { return type_ == Type::kObject ? &object_ : nullptr; }
  [[nodiscard]] Array* if_array() { return type_ == Type::kArray ? &array_ : nullptr; }
  [[nodiscard]] Object* if_object() { return type_ == Type::kObject ? &object_ : nullptr; }

  // Any number converted to the nearest double; nothing for other kinds.
  [[nodiscard]] std::optional<double> as_double() const;

  // The member named key when this is an object holding it, else nullptr.
  [[nodiscard]] const JsonValue* find(std::string_view key) const {
    const Object* o = if_object();
    return o == nullptr ? nullptr : o->find(key);
  }

 private:
  void destroy() noexcept;
  void copy_from(const JsonValue& other);
  void move_from(JsonValue& other) noexcept;
  void copy_scalar(const JsonValue& other) noexcept;

  union {
    bool bool_;
    uint64_t uint_;
    int64_t int_;
    double double_;
    std::string_view string_;
    Array array_;
    Object object_;
  };
  Type type_ = Type::kNull;
  bool owns_text_ = false;  // string_ points to bytes this value allocated
};

struct JsonMember {
  std::string_view key;
  JsonValue value;
};

inline const JsonValue& JsonArray::operator[](size_t i) const { return data_[i]; }
inline const JsonValue& JsonArray::back() const { return data_[size_ - 1]; }
inline JsonValue* JsonArray::end() { return writable() + size_; }
inline JsonValue& JsonArray::operator[](size_t i) { return writable()[i]; }

template <typename... Args>
JsonValue& JsonArray::emplace_back(Args&&... args) {
  push_back(JsonValue(std::forward<Args>(args)...));
  return data_[size_ - 1];
}

bool operator==(const JsonValue& a, const JsonValue& b);
bool operator==(const JsonObject& a, const JsonObject& b);

// Collapses repeated keys among members[0, count), in place: each key keeps
// its first position and takes its last value. Returns the new count; the
// members past it are left moved-from.
size_t collapse_repeated_keys(JsonObject::Member* members, size_t count);

}  // namespace korvane::json
