#include "core/agentlog/canonical.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/agentlog/content_id.h"
#include "core/json/number_format.h"
#include "core/json/writer.h"
#include "core/unicode/normalize.h"

namespace korvane::agentlog {
namespace {

using json::JsonObject;
using json::JsonValue;

// Escaping itself is the compact writer's (hardening_test checks it byte by
// byte). The two forms of e-acute are canonically equivalent; the precomposed one
// is the NFC form.
constexpr const char* kEAcuteDecomposed = "e\u0301";
constexpr const char* kEAcute = "\u00e9";

JsonValue n(uint64_t u) { return JsonValue(u); }

JsonValue object(std::vector<std::pair<std::string, JsonValue>> members) {
  JsonObject o;
  for (auto& [key, value] : members) o.insert_or_assign(key, std::move(value));
  return JsonValue(std::move(o));
}

struct Case {
  const char* name;
  JsonValue value;
  std::string expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class CanonicalForm : public testing::TestWithParam<Case> {};

TEST_P(CanonicalForm, Encodes) { EXPECT_EQ(canonical_bytes(GetParam().value), GetParam().expected); }

const std::string e_acute = kEAcute;

INSTANTIATE_TEST_SUITE_P(
    Values, CanonicalForm,
    testing::Values(
        Case{"u64_max", n(std::numeric_limits<uint64_t>::max()), "18446744073709551615"},
        Case{"i64_min", JsonValue(std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
        Case{"controls", JsonValue(std::string("\0\x01\x1f", 3)), R"("\u0000\u0001\u001f")"},
        Case{"normalized_then_escaped", JsonValue(std::string("caf") + kEAcuteDecomposed + "\n\x01"),
             "\"caf" + e_acute + "\\n\\u0001\""},
        Case{"empty_containers", JsonValue(JsonValue::Array{JsonValue(JsonObject()), JsonValue(JsonValue::Array{})}),
             "[{},[]]"},
        Case{"array_order_kept", JsonValue(JsonValue::Array{JsonValue("b"), JsonValue("a"), n(2), n(1)}),
             R"(["b","a",2,1])"},
        Case{"byte_order", object({{kEAcute, n(5)}, {"z", n(4)}, {"aa", n(3)}, {"a", n(2)}, {"B", n(1)}}),
             R"({"B":1,"a":2,"aa":3,"z":4,")" + e_acute + "\":5}"},
        // Above U+FFFF, code point order differs from UTF-16 order.
        Case{"code_point_order", object({{"\U0001F600", n(1)}, {"\uFF5E", n(2)}}), "{\"\uFF5E\":2,\"\U0001F600\":1}"},
        // Keys equal once normalized are both written, ordered by their
        // stored bytes (e 0x65 before 0xc3), whatever their stored order.
        Case{"equivalent_keys", object({{kEAcute, n(2)}, {kEAcuteDecomposed, n(1)}}),
             "{\"" + e_acute + "\":1,\"" + e_acute + "\":2}"},
        Case{"key_escaped", object({{"a\"\x01", JsonValue()}}), R"({"a\"\u0001":null})"},
        Case{"nested",
             object({{"z", JsonValue(JsonValue::Array{object({{"y", JsonValue(1.0)}, {"x", JsonValue(-0.0)}}),
                                                      JsonValue(3.5)})},
                     {"m", object({{"n", object({{"q", JsonValue()}, {"p", JsonValue(JsonValue::Array{})}})}})}}),
             R"({"m":{"n":{"p":[],"q":null}},"z":[{"x":0,"y":1},3.5]})"}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// Doubles are written positionally. An integral double encodes like the
// integer of that value as long as its shortest digits are all its digits;
// past that the shortest digits are padded with zeros.
struct DoubleCase {
  double value;
  std::string expected;
};

void PrintTo(const DoubleCase& c, std::ostream* os) { *os << c.expected.substr(0, 30); }

class CanonicalDouble : public testing::TestWithParam<DoubleCase> {};

TEST_P(CanonicalDouble, Encodes) { EXPECT_EQ(canonical_bytes(JsonValue(GetParam().value)), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, CanonicalDouble,
    testing::Values(
        DoubleCase{1.0, "1"}, DoubleCase{-0.0, "0"}, DoubleCase{0.1, "0.1"}, DoubleCase{-2.25, "-2.25"},
        DoubleCase{123456.789, "123456.789"}, DoubleCase{1e-7, "0.0000001"}, DoubleCase{1.5e-7, "0.00000015"},
        DoubleCase{-1.25e-10, "-0.000000000125"}, DoubleCase{-1000.0, "-1000"},
        DoubleCase{9007199254740992.0, "9007199254740992"}, DoubleCase{1e16, "10000000000000000"},
        DoubleCase{1e19, "10000000000000000000"}, DoubleCase{0x1p62, "4611686018427388000"},
        DoubleCase{1.2345678901234568e20, "123456789012345680000"}, DoubleCase{1e21, "1" + std::string(21, '0')},
        DoubleCase{1.5e300, "15" + std::string(299, '0')},
        DoubleCase{std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
        DoubleCase{std::numeric_limits<double>::denorm_min(), "0." + std::string(323, '0') + "5"}));

TEST(Canonical, WriteStringNormalizesAndAppends) {
  std::string out = "x";
  write_canonical_string(out, std::string(kEAcuteDecomposed) + "\t");
  EXPECT_EQ(out, "x\"" + e_acute + "\\t\"");
}

// An independent, plainly written encoder: each object copies its
// normalized keys into its own list and sorts it with std::stable_sort.
void reference(std::string& out, const JsonValue& v) {
  if (const auto* s = v.if_string()) {
    json::append_json_string(out, unicode::to_nfc(*s));
  } else if (const auto* d = v.if_double()) {
    json::append_canonical_double(out, *d);
  } else if (const auto* a = v.if_array()) {
    out += '[';
    for (size_t i = 0; i < a->size(); ++i) {
      if (i > 0) out += ',';
      reference(out, (*a)[i]);
    }
    out += ']';
  } else if (const auto* o = v.if_object()) {
    std::vector<std::pair<std::string, const JsonObject::Member*>> members;
    for (const auto& m : *o) members.emplace_back(unicode::to_nfc(m.key), &m);
    const auto bytes_less = [](std::string_view p, std::string_view q) {
      return std::lexicographical_compare(p.begin(), p.end(), q.begin(), q.end(),
                                          [](char a, char b) { return uint8_t(a) < uint8_t(b); });
    };
    std::stable_sort(members.begin(), members.end(), [&](const auto& x, const auto& y) {
      if (x.first != y.first) return bytes_less(x.first, y.first);
      return bytes_less(x.second->key, y.second->key);
    });
    out += '{';
    for (size_t i = 0; i < members.size(); ++i) {
      if (i > 0) out += ',';
      json::append_json_string(out, members[i].first);
      out += ':';
      reference(out, members[i].second->value);
    }
    out += '}';
  } else {
    json::append_json(out, v);  // null, booleans and integers have one form
  }
}

// Random trees with objects of every size around the switch between the two
// sorts, keys drawn from a small pool so that canonically equivalent keys
// meet in one object, and non-ASCII keys at every depth.
class RandomTree {
 public:
  explicit RandomTree(uint32_t seed) : rng_(seed) {}

  JsonValue value(int depth) {
    switch (pick(depth > 0 ? 9 : 6)) {
      case 0: return JsonValue();
      case 1: return JsonValue(pick(2) == 1);
      case 2: return JsonValue(static_cast<int64_t>(rng_()) - (1 << 30));
      case 3: return JsonValue(std::ldexp(static_cast<double>(rng_()), pick(80) - 60) * (pick(2) ? 1 : -1));
      case 4:
      case 5: return JsonValue(text());
      case 6: {
        JsonValue::Array elements(pick(5));
        for (auto& e : elements) e = value(depth - 1);
        return JsonValue(std::move(elements));
      }
      default: {
        JsonObject o;
        const int size = pick(4) == 0 ? pick(45) : pick(6);
        for (int i = 0; i < size; ++i) o.insert_or_assign(text(), value(depth - 1));
        return JsonValue(std::move(o));
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

  std::string text() {
    static const char* const kPieces[] = {"a", "B", "z", "aa", "\x01", "\"", kEAcute, kEAcuteDecomposed, "\u00c5",
                                          "A\u030a", "\U0001F600", "\uFF5E", "k"};
    std::string t;
    for (int n = pick(3) + 1; n > 0; --n) t += kPieces[pick(std::size(kPieces))];
    return t;
  }

  std::mt19937 rng_;
};

TEST(Canonical, MatchesReferenceEncoderOnRandomTrees) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    const JsonValue v = RandomTree(seed).value(6);
    std::string expected;
    reference(expected, v);
    ASSERT_EQ(canonical_bytes(v), expected) << "seed " << seed;
  }
}

TEST(ContentId, IsTheDigestOfTheCanonicalBytes) {
  EXPECT_EQ(content_id(JsonValue()), "sha256:74234e98afe7498fb5daf1f36ac2d78acc339464f950703b8c019892f982b90b");
  const std::string id = "sha256:d3626ac30a87e6f7a6428233b3c68299976865fa5508e4267c5415c76af7a772";
  EXPECT_EQ(content_id(object({{"b", n(1)}, {"a", n(2)}})), id);
  EXPECT_EQ(content_id(object({{"a", JsonValue(2.0)}, {"b", JsonValue(1.0)}})), id);
  EXPECT_EQ(content_id(JsonValue(kEAcuteDecomposed)), content_id(JsonValue(kEAcute)));
  EXPECT_NE(content_id(JsonValue("1")), content_id(n(1)));
  EXPECT_EQ(content_id(JsonValue(JsonValue::Array{})).size(), kContentIdSize);
}

}  // namespace
}  // namespace korvane::agentlog
