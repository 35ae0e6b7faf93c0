// JsonValue construction and strict equality. Repeated keys are checked
// through the reader (reader_test), the writer's and the canonical number
// forms by their vectors and tables (reader_test, canonical_test).
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "core/json/value.h"

namespace korvane::json {
namespace {

TEST(JsonValue, NonFiniteDoublesBecomeNullAndNonNegativeIntegersUnsigned) {
  for (const double d : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity()}) {
    EXPECT_TRUE(JsonValue(d).is_null()) << d;
  }
  EXPECT_EQ(JsonValue(int64_t{5}).type(), JsonValue::Type::kUInt);
  EXPECT_EQ(JsonValue(int64_t{-5}).type(), JsonValue::Type::kInt);
}

TEST(JsonValue, EqualityIsStrictAboutNumberKindsAndIgnoresMemberOrder) {
  EXPECT_FALSE(JsonValue(uint64_t{1}) == JsonValue(1.0));
  EXPECT_TRUE(JsonValue(0.0) == JsonValue(-0.0));
  const auto key = [](int k) { return "k" + std::to_string(k); };
  // Large objects: one in order, one with a common prefix then reversed.
  JsonObject a, b, c;
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
  JsonObject e;  // same size, one key differs
  for (int k = 1; k < 2000; ++k) e.append(key(k), JsonValue(uint64_t(k)));
  e.append("other", JsonValue(uint64_t{0}));
  EXPECT_FALSE(JsonValue(a) == JsonValue(e));
}

}  // namespace
}  // namespace korvane::json
