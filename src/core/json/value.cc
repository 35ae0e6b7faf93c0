#include "core/json/value.h"

#include <algorithm>
#include <numeric>

namespace korvane::json {

JsonObject::JsonObject(const JsonObject&) = default;
JsonObject::JsonObject(JsonObject&&) noexcept = default;
JsonObject& JsonObject::operator=(const JsonObject&) = default;
JsonObject& JsonObject::operator=(JsonObject&&) noexcept = default;
JsonObject::~JsonObject() = default;

const JsonObject::Member* JsonObject::begin() const { return members_.data(); }
const JsonObject::Member* JsonObject::end() const { return members_.data() + members_.size(); }
JsonObject::Member* JsonObject::begin() { return members_.data(); }
JsonObject::Member* JsonObject::end() { return members_.data() + members_.size(); }

void JsonObject::reserve(size_t n) { members_.reserve(n); }

const JsonValue* JsonObject::find(std::string_view key) const {
  for (const Member& m : members_) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

void JsonObject::insert_or_assign(std::string key, JsonValue value) {
  for (Member& m : members_) {
    if (m.key == key) {
      m.value = std::move(value);
      return;
    }
  }
  members_.push_back(Member{std::move(key), std::move(value)});
}

void JsonObject::append(std::string key, JsonValue value) {
  members_.push_back(Member{std::move(key), std::move(value)});
}

void JsonObject::collapse_duplicates() {
  const size_t n = members_.size();
  if (n < 2) return;
  // Sort member positions by key, position breaking ties, so that each run of
  // equal keys starts at the first position and ends at the last value.
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    int c = members_[a].key.compare(members_[b].key);
    return c != 0 ? c < 0 : a < b;
  });
  std::vector<bool> dropped(n, false);
  bool any = false;
  for (size_t r = 0; r < n;) {
    size_t e = r + 1;
    while (e < n && members_[order[e]].key == members_[order[r]].key) ++e;
    if (e - r > 1) {
      any = true;
      members_[order[r]].value = std::move(members_[order[e - 1]].value);
      for (size_t k = r + 1; k < e; ++k) dropped[order[k]] = true;
    }
    r = e;
  }
  if (!any) return;
  size_t w = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!dropped[i]) {
      if (w != i) members_[w] = std::move(members_[i]);
      ++w;
    }
  }
  members_.resize(w);
}

std::optional<double> JsonValue::as_double() const {
  switch (type()) {
    case Type::kUInt:
      return static_cast<double>(std::get<uint64_t>(v_));
    case Type::kInt:
      return static_cast<double>(std::get<int64_t>(v_));
    case Type::kDouble:
      return std::get<double>(v_);
    default:
      return std::nullopt;
  }
}

bool operator==(const JsonObject& a, const JsonObject& b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  // Objects compared are usually in the same member order: walk both while
  // the keys agree, then match the rest by key.
  size_t same = 0;
  while (same < n && a.begin()[same].key == b.begin()[same].key) {
    if (!(a.begin()[same].value == b.begin()[same].value)) return false;
    ++same;
  }
  if (same == n) return true;
  // Sorting the remaining members by key keeps large objects in any order
  // near-linear. Keys of an object are distinct.
  std::vector<const JsonObject::Member*> rest_a, rest_b;
  rest_a.reserve(n - same);
  rest_b.reserve(n - same);
  for (size_t i = same; i < n; ++i) {
    rest_a.push_back(a.begin() + i);
    rest_b.push_back(b.begin() + i);
  }
  const auto by_key = [](const JsonObject::Member* x, const JsonObject::Member* y) { return x->key < y->key; };
  std::sort(rest_a.begin(), rest_a.end(), by_key);
  std::sort(rest_b.begin(), rest_b.end(), by_key);
  for (size_t i = 0; i < rest_a.size(); ++i) {
    if (rest_a[i]->key != rest_b[i]->key || !(rest_a[i]->value == rest_b[i]->value)) return false;
  }
  return true;
}

bool operator==(const JsonValue& a, const JsonValue& b) { return a.v_ == b.v_; }

}  // namespace korvane::json
