#include "core/json/value.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <utility>
#include <vector>

namespace korvane::json {
namespace {

using Member = JsonObject::Member;

template <typename T>
T* allocate(size_t n) {
  return static_cast<T*>(::operator new(n * sizeof(T)));
}

template <typename T>
void deallocate(T* p) {
  ::operator delete(p);
}

// A copy of text in a new allocation of its own; the empty text needs none.
std::string_view copy_text(std::string_view text) {
  if (text.empty()) return {};
  char* bytes = allocate<char>(text.size());
  std::memcpy(bytes, text.data(), text.size());
  return {bytes, text.size()};
}

void free_text(std::string_view text) {
  if (!text.empty()) deallocate(const_cast<char*>(text.data()));
}

// Collapses repeated keys in place (see collapse_repeated_keys()); drop(m)
// is called for each member that goes, before it is overwritten.
template <typename Drop>
size_t collapse(Member* members, size_t n, Drop drop) {
  if (n < 2) return n;
  // Sort member positions by key, position breaking ties, so that each run of
  // equal keys starts at the first position and ends at the last value.
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const int c = members[a].key.compare(members[b].key);
    return c != 0 ? c < 0 : a < b;
  });
  std::vector<bool> dropped(n, false);
  bool any = false;
  for (size_t r = 0; r < n;) {
    size_t e = r + 1;
    while (e < n && members[order[e]].key == members[order[r]].key) ++e;
    if (e - r > 1) {
      any = true;
      members[order[r]].value = std::move(members[order[e - 1]].value);
      for (size_t k = r + 1; k < e; ++k) dropped[order[k]] = true;
    }
    r = e;
  }
  if (!any) return n;
  size_t w = 0;
  for (size_t i = 0; i < n; ++i) {
    if (dropped[i]) {
      drop(members[i]);
      continue;
    }
    if (w != i) members[w] = std::move(members[i]);
    ++w;
  }
  return w;
}

// What an array's element or an object's member becomes in storage of the
// container's own, copied from any storage, and what releases it there.
JsonValue owned_copy(const JsonValue& value) { return value; }
Member owned_copy(const Member& member) { return {copy_text(member.key), member.value}; }
void release(JsonValue& value) { value.~JsonValue(); }
void release(Member& member) {
  free_text(member.key);
  member.~Member();
}

}  // namespace

// ---- Elements

namespace detail {

template <typename T>
Elements<T>::Elements(const Elements& other) {
  if (other.capacity_ == 0) {
    data_ = other.data_;  // borrowed: another view of the same storage
    size_ = other.size_;
    return;
  }
  reserve(other.size_);
  for (const T& e : other) new (data_ + size_++) T(owned_copy(e));
}

template <typename T>
Elements<T>::Elements(Elements&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

template <typename T>
Elements<T>& Elements<T>::operator=(const Elements& other) {
  if (this != &other) *this = Elements(other);
  return *this;
}

template <typename T>
Elements<T>& Elements<T>::operator=(Elements&& other) noexcept {
  if (this != &other) {
    this->~Elements();
    new (this) Elements(std::move(other));
  }
  return *this;
}

template <typename T>
Elements<T>::~Elements() {
  if (capacity_ == 0) return;
  for (size_t i = 0; i < size_; ++i) release(data_[i]);
  deallocate(data_);
}

template <typename T>
void Elements<T>::grow(size_t at_least) {
  const size_t capacity = std::max({at_least, 2 * capacity_, size_t{4}});
  T* const data = allocate<T>(capacity);
  if (capacity_ == 0) {
    for (size_t i = 0; i < size_; ++i) new (data + i) T(owned_copy(data_[i]));
  } else {
    for (size_t i = 0; i < size_; ++i) {
      new (data + i) T(std::move(data_[i]));
      data_[i].~T();
    }
    deallocate(data_);
  }
  data_ = data;
  capacity_ = capacity;
}

template class Elements<JsonValue>;
template class Elements<Member>;

}  // namespace detail

// ---- JsonArray

JsonArray::JsonArray(std::initializer_list<JsonValue> values) {
  reserve(values.size());
  for (const JsonValue& v : values) new (data_ + size_++) JsonValue(v);
}

JsonArray::JsonArray(size_t count) {
  reserve(count);
  for (; size_ < count; ++size_) new (data_ + size_) JsonValue();
}

void JsonArray::push_back(JsonValue value) {
  new (room_for_one()) JsonValue(std::move(value));
  ++size_;
}

// ---- JsonObject

const JsonValue* JsonObject::find(std::string_view key) const {
  for (const Member& m : *this) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

void JsonObject::insert_or_assign(std::string_view key, JsonValue value) {
  Member* const members = writable();
  for (size_t i = 0; i < size_; ++i) {
    if (members[i].key == key) {
      members[i].value = std::move(value);
      return;
    }
  }
  append(key, std::move(value));
}

void JsonObject::append(std::string_view key, JsonValue value) {
  new (room_for_one()) Member{copy_text(key), std::move(value)};
  ++size_;
}

void JsonObject::collapse_duplicates() {
  if (size_ < 2) return;
  const size_t n = collapse(writable(), size_, [](Member& m) { free_text(m.key); });
  for (size_t i = n; i < size_; ++i) data_[i].~Member();
  size_ = n;
}

size_t collapse_repeated_keys(Member* members, size_t count) {
  return collapse(members, count, [](Member&) {});
}

// ---- JsonValue

JsonValue::JsonValue(std::string_view s) : string_(copy_text(s)), type_(Type::kString), owns_text_(!s.empty()) {}

JsonValue::JsonValue(const JsonValue& other) { copy_from(other); }

JsonValue::JsonValue(JsonValue&& other) noexcept { move_from(other); }

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) {
    JsonValue copy(other);
    destroy();
    move_from(copy);
  }
  return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    destroy();
    move_from(other);
  }
  return *this;
}

void JsonValue::destroy() noexcept {
  switch (type_) {
    case Type::kString:
      if (owns_text_) free_text(string_);
      break;
    case Type::kArray:
      array_.~Array();
      break;
    case Type::kObject:
      object_.~Object();
      break;
    default:
      break;
  }
  type_ = Type::kNull;
  owns_text_ = false;
}

void JsonValue::copy_from(const JsonValue& other) {
  switch (other.type_) {
    case Type::kString:
      new (&string_) std::string_view(other.owns_text_ ? copy_text(other.string_) : other.string_);
      owns_text_ = other.owns_text_;
      break;
    case Type::kArray:
      new (&array_) Array(other.array_);
      break;
    case Type::kObject:
      new (&object_) Object(other.object_);
      break;
    default:
      copy_scalar(other);
      break;
  }
  type_ = other.type_;
}

void JsonValue::move_from(JsonValue& other) noexcept {
  switch (other.type_) {
    case Type::kString:
      new (&string_) std::string_view(other.string_);
      owns_text_ = other.owns_text_;
      other.owns_text_ = false;
      break;
    case Type::kArray:
      new (&array_) Array(std::move(other.array_));
      other.array_.~Array();
      break;
    case Type::kObject:
      new (&object_) Object(std::move(other.object_));
      other.object_.~Object();
      break;
    default:
      copy_scalar(other);
      break;
  }
  type_ = other.type_;
  other.type_ = Type::kNull;
}

void JsonValue::copy_scalar(const JsonValue& other) noexcept {
  switch (other.type_) {
    case Type::kBool:
      bool_ = other.bool_;
      break;
    case Type::kUInt:
      uint_ = other.uint_;
      break;
    case Type::kInt:
      int_ = other.int_;
      break;
    case Type::kDouble:
      double_ = other.double_;
      break;
    default:
      break;
  }
}

std::optional<double> JsonValue::as_double() const {
  switch (type_) {
    case Type::kUInt:
      return static_cast<double>(uint_);
    case Type::kInt:
      return static_cast<double>(int_);
    case Type::kDouble:
      return double_;
    default:
      return std::nullopt;
  }
}

// ---- Equality

namespace {

// Whether two scalars or strings are equal; containers are compared by
// their members, pushed as pairs onto the caller's stack.
using Pair = std::pair<const JsonValue*, const JsonValue*>;

// Pushes the pairs of values two objects of the same size must agree on, or
// returns false when their keys differ.
bool push_member_pairs(const JsonObject& a, const JsonObject& b, std::vector<Pair>& stack) {
  const size_t n = a.size();
  // Objects compared are usually in the same member order: pair them while
  // the keys agree, then match the rest by key.
  size_t same = 0;
  for (; same < n && a.begin()[same].key == b.begin()[same].key; ++same) {
    stack.emplace_back(&a.begin()[same].value, &b.begin()[same].value);
  }
  if (same == n) return true;
  // Sorting the remaining members by key keeps large objects in any order
  // near-linear. Keys of an object are distinct.
  std::vector<const Member*> rest_a, rest_b;
  rest_a.reserve(n - same);
  rest_b.reserve(n - same);
  for (size_t i = same; i < n; ++i) {
    rest_a.push_back(a.begin() + i);
    rest_b.push_back(b.begin() + i);
  }
  const auto by_key = [](const Member* x, const Member* y) { return x->key < y->key; };
  std::sort(rest_a.begin(), rest_a.end(), by_key);
  std::sort(rest_b.begin(), rest_b.end(), by_key);
  for (size_t i = 0; i < rest_a.size(); ++i) {
    if (rest_a[i]->key != rest_b[i]->key) return false;
    stack.emplace_back(&rest_a[i]->value, &rest_b[i]->value);
  }
  return true;
}

bool equal(const JsonValue& first_a, const JsonValue& first_b) {
  using Type = JsonValue::Type;
  std::vector<Pair> stack{{&first_a, &first_b}};
  while (!stack.empty()) {
    const auto [a, b] = stack.back();
    stack.pop_back();
    if (a->type() != b->type()) return false;
    switch (a->type()) {
      case Type::kNull:
        break;
      case Type::kBool:
        if (*a->if_bool() != *b->if_bool()) return false;
        break;
      case Type::kUInt:
        if (*a->if_uint() != *b->if_uint()) return false;
        break;
      case Type::kInt:
        if (*a->if_int() != *b->if_int()) return false;
        break;
      case Type::kDouble:
        if (*a->if_double() != *b->if_double()) return false;
        break;
      case Type::kString:
        if (*a->if_string() != *b->if_string()) return false;
        break;
      case Type::kArray: {
        const JsonArray& x = *a->if_array();
        const JsonArray& y = *b->if_array();
        if (x.size() != y.size()) return false;
        for (size_t i = 0; i < x.size(); ++i) stack.emplace_back(&x[i], &y[i]);
        break;
      }
      case Type::kObject: {
        const JsonObject& x = *a->if_object();
        const JsonObject& y = *b->if_object();
        if (x.size() != y.size() || !push_member_pairs(x, y, stack)) return false;
        break;
      }
    }
  }
  return true;
}

}  // namespace

bool operator==(const JsonValue& a, const JsonValue& b) { return equal(a, b); }

bool operator==(const JsonObject& a, const JsonObject& b) {
  return equal(JsonValue(JsonObject::borrowing(a.begin(), a.size())), JsonValue(JsonObject::borrowing(b.begin(), b.size())));
}

}  // namespace korvane::json
