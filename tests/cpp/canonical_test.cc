#include "core/agentlog/canonical.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
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

// Texts used across the tests. The two forms of e-acute are canonically
// equivalent; the precomposed one is the NFC form.
constexpr const char* kEAcuteDecomposed = "e\u0301";
constexpr const char* kEAcute = "\u00e9";

JsonValue object(std::vector<std::pair<std::string, JsonValue>> members) {
  JsonObject o;
  for (auto& [key, value] : members) o.insert_or_assign(key, std::move(value));
  return JsonValue(std::move(o));
}

JsonValue array(std::vector<JsonValue> elements) { return JsonValue(std::move(elements)); }

struct Case {
  const char* name;
  std::function<JsonValue()> value;
  std::string expected;
};

class CanonicalForm : public testing::TestWithParam<Case> {};

TEST_P(CanonicalForm, Encodes) { EXPECT_EQ(canonical_bytes(GetParam().value()), GetParam().expected); }

std::string case_name(const testing::TestParamInfo<Case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Scalars, CanonicalForm,
    testing::Values(
        Case{"null", [] { return JsonValue(); }, "null"},
        Case{"true", [] { return JsonValue(true); }, "true"},
        Case{"false", [] { return JsonValue(false); }, "false"},
        Case{"zero", [] { return JsonValue(uint64_t{0}); }, "0"},
        Case{"u64_max", [] { return JsonValue(std::numeric_limits<uint64_t>::max()); }, "18446744073709551615"},
        Case{"minus_one", [] { return JsonValue(int64_t{-1}); }, "-1"},
        Case{"i64_min", [] { return JsonValue(std::numeric_limits<int64_t>::min()); }, "-9223372036854775808"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Doubles, CanonicalForm,
    testing::Values(
        Case{"one", [] { return JsonValue(1.0); }, "1"},
        Case{"zero", [] { return JsonValue(0.0); }, "0"},
        Case{"negative_zero", [] { return JsonValue(-0.0); }, "0"},
        Case{"tenth", [] { return JsonValue(0.1); }, "0.1"},
        Case{"thousandth", [] { return JsonValue(0.001); }, "0.001"},
        Case{"small", [] { return JsonValue(1e-7); }, "0.0000001"},
        Case{"one_and_half", [] { return JsonValue(1.5); }, "1.5"},
        Case{"negative", [] { return JsonValue(-2.25); }, "-2.25"},
        Case{"mixed", [] { return JsonValue(123456.789); }, "123456.789"},
        Case{"e16", [] { return JsonValue(1e16); }, "10000000000000000"},
        Case{"e21", [] { return JsonValue(1e21); }, "1" + std::string(21, '0')},
        Case{"huge", [] { return JsonValue(1.5e300); }, "15" + std::string(299, '0')},
        Case{"max", [] { return JsonValue(std::numeric_limits<double>::max()); },
             "17976931348623157" + std::string(292, '0')},
        Case{"min_subnormal", [] { return JsonValue(std::numeric_limits<double>::denorm_min()); },
             "0." + std::string(323, '0') + "5"},
        Case{"negative_tiny", [] { return JsonValue(-1.25e-10); }, "-0.000000000125"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Strings, CanonicalForm,
    testing::Values(
        Case{"empty", [] { return JsonValue(""); }, R"("")"},
        Case{"short_escapes", [] { return JsonValue("\b\t\n\f\r\"\\"); }, R"("\b\t\n\f\r\"\\")"},
        Case{"control_u0001", [] { return JsonValue("\x01"); }, R"("\u0001")"},
        Case{"control_u001f", [] { return JsonValue("a\x1f"); }, R"("a\u001f")"},
        Case{"control_nul", [] { return JsonValue(std::string("\0", 1)); }, R"("\u0000")"},
        Case{"delete_unescaped", [] { return JsonValue("\x7f"); }, "\"\x7f\""},
        Case{"solidus_and_separators", [] { return JsonValue("/\u2028\u2029"); }, "\"/\u2028\u2029\""},
        Case{"normalized", [] { return JsonValue(std::string("caf") + kEAcuteDecomposed); },
             std::string("\"caf") + kEAcute + "\""},
        Case{"normalized_then_escaped", [] { return JsonValue(std::string(kEAcuteDecomposed) + "\n\x01"); },
             std::string("\"") + kEAcute + "\\n\\u0001\""}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Containers, CanonicalForm,
    testing::Values(
        Case{"empty_object", [] { return JsonValue(JsonObject()); }, "{}"},
        Case{"empty_array", [] { return array({}); }, "[]"},
        Case{"ten_bytes", [] { return object({{"k", JsonValue(true)}}); }, R"({"k":true})"},
        Case{"sorted_b_a", [] { return object({{"b", JsonValue(uint64_t{1})}, {"a", JsonValue(uint64_t{2})}}); },
             R"({"a":2,"b":1})"},
        Case{"sorted_a_b", [] { return object({{"a", JsonValue(uint64_t{2})}, {"b", JsonValue(uint64_t{1})}}); },
             R"({"a":2,"b":1})"},
        Case{"byte_order",
             [] {
               return object({{kEAcute, JsonValue(uint64_t{5})},
                              {"z", JsonValue(uint64_t{4})},
                              {"aa", JsonValue(uint64_t{3})},
                              {"a", JsonValue(uint64_t{2})},
                              {"B", JsonValue(uint64_t{1})}});
             },
             std::string(R"({"B":1,"a":2,"aa":3,"z":4,")") + kEAcute + "\":5}"},
        // Above U+FFFF, code point order differs from UTF-16 order.
        Case{"code_point_order",
             [] { return object({{"\U0001F600", JsonValue(uint64_t{1})}, {"\uFF5E", JsonValue(uint64_t{2})}}); },
             "{\"\uFF5E\":2,\"\U0001F600\":1}"},
        Case{"equivalent_keys_in_stored_order",
             [] { return object({{kEAcuteDecomposed, JsonValue(uint64_t{1})}, {kEAcute, JsonValue(uint64_t{2})}}); },
             std::string("{\"") + kEAcute + "\":1,\"" + kEAcute + "\":2}"},
        Case{"equivalent_keys_reversed",
             [] { return object({{kEAcute, JsonValue(uint64_t{2})}, {kEAcuteDecomposed, JsonValue(uint64_t{1})}}); },
             std::string("{\"") + kEAcute + "\":2,\"" + kEAcute + "\":1}"},
        Case{"key_escaped", [] { return object({{"a\"\x01", JsonValue()}}); }, R"({"a\"\u0001":null})"},
        Case{"nested",
             [] {
               return object({{"z", array({object({{"y", JsonValue(1.0)}, {"x", JsonValue(-0.0)}}), JsonValue(3.5)})},
                              {"m", object({{"n", object({{"q", JsonValue()}, {"p", array({})}})}})}});
             },
             R"({"m":{"n":{"p":[],"q":null}},"z":[{"x":0,"y":1},3.5]})"},
        Case{"array_order_kept",
             [] { return array({JsonValue("b"), JsonValue("a"), JsonValue(uint64_t{2}), JsonValue(uint64_t{1})}); },
             R"(["b","a",2,1])"}),
    case_name);

// A double with an integral value encodes like the integer of that value as
// long as its shortest digits are all its digits (up to 2^53, and beyond for
// values such as 1e19); past that the shortest digits are padded with zeros.
TEST(Canonical, IntegralDoublesEncodeLikeIntegers) {
  const int64_t values[] = {-9007199254740992, -1000, -1, 1, 7, 1000000, 9007199254740992};
  for (int64_t v : values) {
    EXPECT_EQ(canonical_bytes(JsonValue(static_cast<double>(v))), canonical_bytes(JsonValue(v))) << v;
  }
  EXPECT_EQ(canonical_bytes(JsonValue(1e19)), canonical_bytes(JsonValue(uint64_t{10000000000000000000u})));
  EXPECT_EQ(canonical_bytes(JsonValue(0x1p62)), "4611686018427388000");
}

TEST(Canonical, WriteStringNormalizesAndAppends) {
  std::string out = "x";
  write_canonical_string(out, std::string(kEAcuteDecomposed) + "\t");
  EXPECT_EQ(out, std::string("x\"") + kEAcute + "\\t\"");
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
    std::vector<std::pair<std::string, const JsonValue*>> members;
    for (const auto& m : *o) members.emplace_back(unicode::to_nfc(m.key), &m.value);
    std::stable_sort(members.begin(), members.end(), [](const auto& x, const auto& y) {
      return std::lexicographical_compare(x.first.begin(), x.first.end(), y.first.begin(), y.first.end(),
                                          [](char p, char q) { return uint8_t(p) < uint8_t(q); });
    });
    out += '{';
    for (size_t i = 0; i < members.size(); ++i) {
      if (i > 0) out += ',';
      json::append_json_string(out, members[i].first);
      out += ':';
      reference(out, *members[i].second);
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
    const int kind = pick(depth > 0 ? 9 : 6);
    switch (kind) {
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
  EXPECT_EQ(content_id(object({{"b", JsonValue(uint64_t{1})}, {"a", JsonValue(uint64_t{2})}})), id);
  EXPECT_EQ(content_id(object({{"a", JsonValue(2.0)}, {"b", JsonValue(1.0)}})), id);
  EXPECT_EQ(content_id(JsonValue(kEAcuteDecomposed)), content_id(JsonValue(kEAcute)));
  EXPECT_NE(content_id(JsonValue("1")), content_id(JsonValue(uint64_t{1})));
  EXPECT_EQ(content_id(array({})).size(), kContentIdSize);
}

}  // namespace
}  // namespace korvane::agentlog
