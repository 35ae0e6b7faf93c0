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
  const JsonValue array(JsonArray::borrowing(elements, 2)), object(JsonObject::borrowing(members, 1));
  JsonValue array_copy = array, object_copy = object;
  EXPECT_EQ(std::as_const(array_copy).if_array()->begin(), elements);
  text[0] = 'x';
  EXPECT_EQ(*(*array.if_array())[0].if_string(), "xbc");
  array_copy.if_array()->push_back(JsonValue("d"));
  object_copy.if_object()->append("k2", JsonValue(true));
  EXPECT_TRUE(std::as_const(array_copy).if_array()->begin() != elements && object_copy.if_object()->begin() != members);
  key[0] = 'z';  // the owned copy holds its own key bytes
  EXPECT_EQ(array.if_array()->size() + object.if_object()->size(), 3u);
  EXPECT_EQ(array_copy.if_array()->size(), 3u);
  ASSERT_NE(object_copy.if_object()->find("k"), nullptr);
  EXPECT_EQ(*object_copy.if_object()->find("k")->if_string(), "xbc");  // the value still views text
}

TEST(JsonValue, EqualityIsStrictAboutNumberKindsAndIgnoresMemberOrder) {
  EXPECT_FALSE(JsonValue(uint64_t{1}) == JsonValue(1.0));
  EXPECT_TRUE(JsonValue(0.0) == JsonValue(-0.0));
  // Large objects in the same order, then from a common prefix reversed.
  JsonObject a, b, c;
  for (uint64_t k = 0; k < 2000; ++k) a.append("k" + std::to_string(k), JsonValue(k));
  for (uint64_t k = 0; k < 10; ++k) b.append("k" + std::to_string(k), JsonValue(k));
  for (uint64_t k = 1999; k >= 10; --k) b.append("k" + std::to_string(k), JsonValue(k));
  for (uint64_t k = 0; k < 2000; ++k) c.append(k == 1500 ? "other" : "k" + std::to_string(k), JsonValue(k));
  EXPECT_TRUE(JsonValue(a) == JsonValue(b));
  EXPECT_FALSE(JsonValue(a) == JsonValue(c));  // one key differs
  b.insert_or_assign("k1500", JsonValue(1500.0));  // a value differs past the common prefix
  EXPECT_FALSE(JsonValue(a) == JsonValue(b));
  b.insert_or_assign("k1500", JsonValue(uint64_t{1500}));
  b.insert_or_assign("k3", JsonValue(uint64_t{4}));  // and inside it
  EXPECT_FALSE(JsonValue(a) == JsonValue(b));
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
