// JsonValue storage and strict equality. Construction rules are checked
// through the conversion (test_conversion.py) and the reader (reader_test),
// repeated keys through both.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/json/value.h"

namespace korvane::json {
namespace {

// Borrowed values are views: copies view the same storage, and a write first
// moves the elements into storage of the container's own, keys included.
TEST(JsonValue, BorrowedStorageIsNeverWrittenThrough) {
  std::string text = "abc", key = "k";
  const JsonValue elements[] = {JsonValue::borrowing(text), JsonValue(uint64_t{1})};
  const JsonObject::Member members[] = {{key, JsonValue::borrowing(text)}};
  const JsonValue array(JsonArray::borrowing(elements, 2));
  const JsonValue object(JsonObject::borrowing(members, 1));
  JsonValue array_copy = array, object_copy = object;
  EXPECT_EQ(std::as_const(array_copy).if_array()->begin(), elements);
  text[0] = 'x';
  EXPECT_EQ(*(*array.if_array())[0].if_string(), "xbc");
  array_copy.if_array()->push_back(JsonValue("d"));
  object_copy.if_object()->insert_or_assign("k2", JsonValue(true));
  key[0] = 'z';  // the owned copy holds its own key bytes
  EXPECT_EQ(array.if_array()->size(), 2u);
  EXPECT_EQ(object.if_object()->size(), 1u);
  EXPECT_EQ(array_copy.if_array()->size(), 3u);
  EXPECT_NE(object_copy.if_object()->find("k"), nullptr);
  EXPECT_EQ(*object_copy.if_object()->begin()[0].value.if_string(), "xbc");  // the value still views text
}

TEST(JsonValue, EqualityIsStrictAboutNumberKindsAndIgnoresMemberOrder) {
  EXPECT_FALSE(JsonValue(uint64_t{1}) == JsonValue(1.0));
  EXPECT_TRUE(JsonValue(0.0) == JsonValue(-0.0));
  const auto key = [](int k) { return "k" + std::to_string(k); };
  // Large objects: one in order, one with a common prefix then reversed.
  JsonObject a, b, c, e;
  for (int k = 0; k < 2000; ++k) a.append(key(k), JsonValue(uint64_t(k)));
  for (int k = 0; k < 10; ++k) b.append(key(k), JsonValue(uint64_t(k)));
  for (int k = 1999; k >= 10; --k) b.append(key(k), JsonValue(uint64_t(k)));
  for (int k = 1999; k >= 0; --k) c.append(key(k), JsonValue(double(k)));
  EXPECT_TRUE(JsonValue(a) == JsonValue(b));
  EXPECT_FALSE(JsonValue(a) == JsonValue(c));  // integers never equal doubles
  b.insert_or_assign("k1500", JsonValue("x"));  // a value differs past the common prefix
  EXPECT_FALSE(JsonValue(a) == JsonValue(b));
  JsonObject d = a;
  d.insert_or_assign("k3", JsonValue(uint64_t{4}));  // a value differs inside the common prefix
  EXPECT_FALSE(JsonValue(a) == JsonValue(d));
  for (int k = 1; k < 2000; ++k) e.append(key(k), JsonValue(uint64_t(k)));
  e.append("other", JsonValue(uint64_t{0}));  // same size, one key differs
  EXPECT_FALSE(JsonValue(a) == JsonValue(e));
  // Nesting costs no machine stack: chains of 100,000 arrays compare.
  std::vector<JsonValue> deep(100000), deeper(100000);
  for (size_t i = deep.size() - 1; i-- > 0;) {
    deep[i] = JsonValue(JsonArray::borrowing(&deep[i + 1], 1));
    deeper[i] = JsonValue(JsonArray::borrowing(&deeper[i + 1], 1));
  }
  EXPECT_TRUE(deep[0] == deeper[0]);
  deeper.back() = JsonValue(false);
  EXPECT_FALSE(deep[0] == deeper[0]);
}

}  // namespace
}  // namespace korvane::json
