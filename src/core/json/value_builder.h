// JsonValueBuilder: the reader's builder for JsonValue trees.
//
// It holds no state, and the values it builds own their storage (see
// value.h). Objects keep their members in input order; a key met
// again keeps its first position and takes the last value. Small objects are
// kept free of repeated keys as they grow; past kLinearMembers members, keys
// are appended and repeats are collapsed once when the object is complete, so
// a large object costs O(k log k) rather than O(k^2).
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "core/json/value.h"

namespace korvane::json {

class JsonValueBuilder {
 public:
  using Value = JsonValue;
  using Array = JsonValue::Array;
  struct Object {
    JsonObject members;
    bool appended = false;  // members past kLinearMembers may repeat a key
  };

  Value make_null() { return Value(); }
  Value make_bool(bool b) { return Value(b); }
  Value make_uint(uint64_t u) { return Value(u); }
  Value make_int(int64_t i) { return Value(i); }
  Value make_double(double d) { return Value(d); }
  Value make_string(std::string_view text) { return Value(text); }

  Array begin_array() { return Array(); }
  void push(Array& array, Value&& value) { array.push_back(std::move(value)); }
  Value end_array(Array&& array) { return Value(std::move(array)); }

  Object begin_object() { return Object(); }
  void set(Object& object, std::string_view key, Value&& value) {
    if (object.members.size() < kLinearMembers) {
      object.members.insert_or_assign(key, std::move(value));
    } else {
      object.members.append(key, std::move(value));
      object.appended = true;
    }
  }
  Value end_object(Object&& object) {
    if (object.appended) object.members.collapse_duplicates();
    return Value(std::move(object.members));
  }

 private:
  // Objects up to this many members look for a repeated key at each insertion.
  static constexpr size_t kLinearMembers = 16;
};

}  // namespace korvane::json
