#include <gtest/gtest.h>

#include <limits>

#include "core/json/number_format.h"
#include "core/json/value.h"
#include "core/json/writer.h"

namespace korvane::json {
namespace {

TEST(JsonValue, NonFiniteDoublesBecomeNull) {
  EXPECT_TRUE(JsonValue(std::numeric_limits<double>::quiet_NaN()).is_null());
  EXPECT_TRUE(JsonValue(std::numeric_limits<double>::infinity()).is_null());
  EXPECT_TRUE(JsonValue(-std::numeric_limits<double>::infinity()).is_null());
}

TEST(JsonValue, NonNegativeSignedIntegersAreStoredUnsigned) {
  EXPECT_EQ(JsonValue(int64_t{5}).type(), JsonValue::Type::kUInt);
  EXPECT_EQ(JsonValue(int64_t{-5}).type(), JsonValue::Type::kInt);
}

TEST(JsonValue, EqualityIsStrictAboutNumberKindsAndIgnoresMemberOrder) {
  EXPECT_FALSE(JsonValue(uint64_t{1}) == JsonValue(1.0));
  EXPECT_TRUE(JsonValue(0.0) == JsonValue(-0.0));
  JsonObject a, b;
  a.append("x", JsonValue(uint64_t{1}));
  a.append("y", JsonValue("s"));
  b.append("y", JsonValue("s"));
  b.append("x", JsonValue(uint64_t{1}));
  EXPECT_TRUE(JsonValue(a) == JsonValue(b));
  b.insert_or_assign("x", JsonValue(1.0));
  EXPECT_FALSE(JsonValue(a) == JsonValue(b));
}

TEST(JsonValue, ObjectEqualityMatchesMembersInAnyOrder) {
  // Large objects, partly in the same order, then shuffled.
  JsonObject a, b, c;
  for (int k = 0; k < 2000; ++k) a.append("k" + std::to_string(k), JsonValue(uint64_t(k)));
  for (int k = 0; k < 10; ++k) b.append("k" + std::to_string(k), JsonValue(uint64_t(k)));
  for (int k = 1999; k >= 10; --k) b.append("k" + std::to_string(k), JsonValue(uint64_t(k)));
  for (int k = 1999; k >= 0; --k) c.append("k" + std::to_string(k), JsonValue(k == 5 ? 5.0 : double(k)));
  EXPECT_TRUE(JsonValue(a) == JsonValue(b));
  EXPECT_FALSE(JsonValue(a) == JsonValue(c));  // integers never equal doubles
  b.insert_or_assign("k1500", JsonValue("x"));
  EXPECT_FALSE(JsonValue(a) == JsonValue(b));
  JsonObject d = a;
  d.insert_or_assign("k3", JsonValue(uint64_t{4}));
  EXPECT_FALSE(JsonValue(a) == JsonValue(d));
  JsonObject e;
  for (int k = 1; k < 2000; ++k) e.append("k" + std::to_string(k), JsonValue(uint64_t(k)));
  e.append("other", JsonValue(uint64_t{0}));
  EXPECT_FALSE(JsonValue(a) == JsonValue(e));
}

TEST(JsonObject, RepeatedKeysKeepFirstPositionAndLastValue) {
  JsonObject o;
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k < 20; ++k) o.append("k" + std::to_string(k), JsonValue(uint64_t(round * 100 + k)));
  }
  o.append("k3", JsonValue("last"));
  o.collapse_duplicates();
  ASSERT_EQ(o.size(), 20u);
  int k = 0;
  for (const JsonObject::Member& m : o) {
    EXPECT_EQ(m.key, "k" + std::to_string(k));
    if (k == 3) {
      EXPECT_EQ(*m.value.if_string(), "last");
    } else {
      EXPECT_EQ(*m.value.if_uint(), uint64_t(200 + k));
    }
    ++k;
  }
}

TEST(Writer, EscapesOnlyQuoteBackslashAndControls) {
  EXPECT_EQ(to_json_text(JsonValue("a\"b\\c\b\f\n\r\t\x01\x1f\x7f/\u00e9\u2028")),
            "\"a\\\"b\\\\c\\b\\f\\n\\r\\t\\u0001\\u001f\x7f/\u00e9\u2028\"");
}

TEST(Writer, CompactArraysAndObjectsInStoredOrder) {
  JsonObject o;
  o.append("b", JsonValue(uint64_t{1}));
  o.append("a", JsonValue(JsonValue::Array{JsonValue(), JsonValue(true), JsonValue(int64_t{-2}), JsonValue(1.0)}));
  EXPECT_EQ(to_json_text(JsonValue(std::move(o))), "{\"b\":1,\"a\":[null,true,-2,1.0]}");
}

struct DoubleCase {
  double value;
  const char* writer;
  const char* canonical;
};

class DoubleForms : public testing::TestWithParam<DoubleCase> {};

TEST_P(DoubleForms, WriterAndCanonical) {
  std::string canonical;
  append_canonical_double(canonical, GetParam().value);
  EXPECT_EQ(format_double(GetParam().value), GetParam().writer);
  EXPECT_EQ(canonical, GetParam().canonical);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DoubleForms,
    testing::Values(DoubleCase{0.0, "0.0", "0"}, DoubleCase{-0.0, "-0.0", "0"},
                    DoubleCase{1.0, "1.0", "1"}, DoubleCase{0.1, "0.1", "0.1"},
                    DoubleCase{1e16, "1e16", "10000000000000000"},
                    DoubleCase{1e15, "1000000000000000.0", "1000000000000000"},
                    DoubleCase{1e-6, "1e-6", "0.000001"}, DoubleCase{1.5e-7, "1.5e-7", "0.00000015"},
                    DoubleCase{0.00001, "0.00001", "0.00001"}, DoubleCase{12.34, "12.34", "12.34"},
                    DoubleCase{1.2345678901234568e20, "1.2345678901234568e20", "123456789012345680000"},
                    DoubleCase{1e21, "1e21", "1000000000000000000000"},
                    DoubleCase{-1.5, "-1.5", "-1.5"}, DoubleCase{1e-7, "1e-7", "0.0000001"}));

TEST(DoubleForms, SmallestSubnormalIsWrittenInFull) {
  std::string canonical;
  append_canonical_double(canonical, 5e-324);
  EXPECT_EQ(canonical, "0." + std::string(323, '0') + "5");
}

}  // namespace
}  // namespace korvane::json
