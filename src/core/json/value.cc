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
  if (a.size() != b.size()) return false;
  for (const JsonObject::Member& m : a) {
    const JsonValue* other = b.find(m.key);
    if (other == nullptr || !(*other == m.value)) return false;
  }
  return true;
}

bool operator==(const JsonValue& a, const JsonValue& b) { return a.v_ == b.v_; }

}  // namespace korvane::json
