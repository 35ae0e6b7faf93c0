#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/unicode/case.h"
#include "core/unicode/normalize.h"
#include "core/unicode/properties.h"
#include "core/unicode/tables.h"
#include "core/unicode/utf8.h"

namespace korvane::unicode {
namespace {

std::string utf8(std::u32string_view scalars) {
  std::string out;
  for (const char32_t c : scalars) append_utf8(out, c);
  return out;
}

bool is_scalar(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

// ---------------------------------------------------------------------------
// The conformance file of the Unicode Character Database, read as plain text
// or through bzip2 (Debian ships it compressed).

std::string read_normalization_test(std::string& error) {
  const std::string plain = std::string(KORVANE_UCD_DIR) + "/NormalizationTest.txt";
  const std::string packed = plain + ".bz2";
  std::stringstream text;
  if (std::ifstream in{plain}; in) {
    text << in.rdbuf();
    return text.str();
  }
  if (!std::ifstream{packed}) {
    error = "neither " + plain + " nor " + packed + " exists; install the unicode-data package";
    return {};
  }
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("bzip2 -dc '" + packed + "'").c_str(), "r"), pclose);
  char buffer[1 << 16];
  for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) text.write(buffer, n);
  if (text.str().empty()) error = "bzip2 produced nothing from " + packed;
  return text.str();
}

std::string parse_scalars(const std::string& field) {
  std::string out;
  std::istringstream in(field);
  std::string hex;
  while (in >> hex) append_utf8(out, static_cast<char32_t>(std::stoul(hex, nullptr, 16)));
  return out;
}

TEST(Nfc, MatchesEveryLineOfTheConformanceFile) {
  std::string error;
  const std::string text = read_normalization_test(error);
  ASSERT_TRUE(error.empty()) << error;
  const std::string version_tag = std::string("NormalizationTest-") + tables::kUnicodeVersion + ".txt";
  ASSERT_NE(text.find(version_tag), std::string::npos)
      << "the conformance file is not of Unicode " << tables::kUnicodeVersion
      << ", the version of the tables; regenerate them with tools/gen_unicode_tables.py";

  std::unordered_set<char32_t> part1;
  std::istringstream lines(text);
  std::string line;
  bool in_part1 = false;
  int checked = 0, failures = 0;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '@') {
      in_part1 = line.rfind("@Part1", 0) == 0;
      continue;
    }
    std::vector<std::string> c;
    std::istringstream fields(line.substr(0, line.find('#')));
    for (std::string field; c.size() < 5 && std::getline(fields, field, ';');) c.push_back(parse_scalars(field));
    ASSERT_EQ(c.size(), 5u) << "line " << number << ": " << line;
    if (in_part1) {
      size_t i = 0;
      part1.insert(decode(c[0], i));
    }
    const bool ok = c[1] == to_nfc(c[0]) && c[1] == to_nfc(c[1]) && c[1] == to_nfc(c[2]) &&
                    c[3] == to_nfc(c[3]) && c[3] == to_nfc(c[4]);
    if (!ok && ++failures <= 20) ADD_FAILURE() << "line " << number << ": " << line;
    ++checked;
  }
  EXPECT_GT(checked, 15000);
  EXPECT_GT(part1.size(), 10000u);

  // Every scalar the file does not list in part 1 is its own NFC.
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (!is_scalar(c) || part1.count(c)) continue;
    const std::string s = utf8(std::u32string(1, c));
    if (to_nfc(s) != s && ++failures <= 20) ADD_FAILURE() << "U+" << std::hex << uint32_t(c) << " changed";
  }
  EXPECT_EQ(failures, 0);
}

// ---------------------------------------------------------------------------
// NFC around the quick-check shortcut: what is copied, what is rebuilt. The
// conformance file above and the comparison with Python's unicodedata cover
// the composition rules themselves.

struct NfcCase {
  const char* name;
  std::u32string input;
  std::u32string expected;
};

void PrintTo(const NfcCase& c, std::ostream* os) { *os << c.name; }

class NfcCases : public testing::TestWithParam<NfcCase> {};

TEST_P(NfcCases, ProducesTheExpectedForm) {
  const std::string input = utf8(GetParam().input);
  const std::string expected = utf8(GetParam().expected);
  EXPECT_EQ(to_nfc(input), expected);
  std::string appended = "prefix\u0301";  // appending never touches what is already there
  append_nfc(appended, input);
  EXPECT_EQ(appended, "prefix\u0301" + expected);
  EXPECT_EQ(to_nfc(expected), expected);
}

std::u32string repeat(std::u32string_view unit, int count) {
  std::u32string out;
  for (int k = 0; k < count; ++k) out += unit;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Unicode, NfcCases,
    testing::Values(
        NfcCase{"AsciiLongerThanAWord", U"The quick brown fox jumps over the lazy dog.", U"The quick brown fox jumps over the lazy dog."},
        NfcCase{"ComposesAfterAsciiWord", U"abcdefghe\u0301", U"abcdefgh\u00e9"},
        NfcCase{"LeadingMarkThenComposable", U"\u0323\u0301e\u0301", U"\u0323\u0301\u00e9"},
        NfcCase{"QuickCheckYesMarksOutOfOrder", U"x\u0315\u0316", U"x\u0316\u0315"},
        NfcCase{"HangulTBaseIsNotATrailingConsonant", U"\uac00\u11a7", U"\uac00\u11a7"},
        NfcCase{"LongRunOfMarksSortsStably",
                repeat(U"\u0315\u0316\u0317", 40) + U"\u00e9",
                repeat(U"\u0316\u0317", 40) + repeat(U"\u0315", 40) + U"\u00e9"},
        NfcCase{"UnassignedAndPrivateUse", U"\U000E0400\U0010FFFF\U000F0000\u0378", U"\U000E0400\U0010FFFF\U000F0000\u0378"}),
    [](const testing::TestParamInfo<NfcCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Lower-casing: representatives of the final-sigma context, output growth,
// and what Python's unicodedata cannot check (unassigned and non-scalar
// values).

struct LowerCase {
  const char* name;
  std::u32string input;
  std::u32string whole;     // to_lower
  std::u32string per_char;  // lower_mapping of each scalar, no context
};

void PrintTo(const LowerCase& c, std::ostream* os) { *os << c.name; }

class LowerCases : public testing::TestWithParam<LowerCase> {};

TEST_P(LowerCases, WholeStringAndPerCharacter) {
  const LowerCase& p = GetParam();
  EXPECT_EQ(to_lower(utf8(p.input)), utf8(p.whole));
  std::string per_char;
  for (const char32_t c : p.input) append_lower_char(per_char, c);
  EXPECT_EQ(per_char, utf8(p.per_char));
}

INSTANTIATE_TEST_SUITE_P(
    Unicode, LowerCases,
    testing::Values(
        LowerCase{"SigmaEndsWord", U"\u039f\u0394\u039f\u03a3 x", U"\u03bf\u03b4\u03bf\u03c2 x", U"\u03bf\u03b4\u03bf\u03c3 x"},
        LowerCase{"SigmaBeforeDigit", U"\u0391\u03a31", U"\u03b1\u03c21", U"\u03b1\u03c31"},
        LowerCase{"CaseIgnorableSkippedBefore", U"\u0391\u0301.\u03a3", U"\u03b1\u0301.\u03c2", U"\u03b1\u0301.\u03c3"},
        LowerCase{"CasedAndIgnorableIsSkipped", U"\u02b0\u03a3", U"\u02b0\u03c3", U"\u02b0\u03c3"},
        LowerCase{"TwoSigmas", U"\u03a3\u03a3", U"\u03c3\u03c2", U"\u03c3\u03c3"},
        LowerCase{"GrowsByHalfThroughout", repeat(U"\u0130\u023a", 50), repeat(U"i\u0307\u2c65", 50),
                  repeat(U"i\u0307\u2c65", 50)},
        LowerCase{"NoMapping", U"\u4e00\U0010FFFF\u0378", U"\u4e00\U0010FFFF\u0378", U"\u4e00\U0010FFFF\u0378"}),
    [](const testing::TestParamInfo<LowerCase>& info) { return info.param.name; });

TEST(LowerMapping, NonScalarsMapToThemselvesAndAreWrittenAsReplacement) {
  for (const char32_t c : {char32_t{0xD800}, char32_t{0xDFFF}, char32_t{0x110000}, char32_t{0xFFFFFFFF}}) {
    char32_t out[3];
    ASSERT_EQ(lower_mapping(c, out), 1u);
    EXPECT_EQ(out[0], c);
    std::string written;
    append_lower_char(written, c);
    EXPECT_EQ(written, "\xEF\xBF\xBD");
  }
}

TEST(LowerMapping, EveryScalarMapsToScalarsAndAgreesWithToLower) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (!is_scalar(c)) continue;
    char32_t out[3] = {0, 0, 0};
    const size_t n = lower_mapping(c, out);
    ASSERT_TRUE(n >= 1 && n <= 3) << std::hex << uint32_t(c);
    for (size_t k = 0; k < n; ++k) ASSERT_TRUE(is_scalar(out[k])) << std::hex << uint32_t(c);
    if (c == 0x03A3) continue;  // the only character with context
    std::string one;
    append_lower_char(one, c);
    ASSERT_EQ(to_lower(utf8(std::u32string(1, c))), one) << std::hex << uint32_t(c);
  }
}

// ---------------------------------------------------------------------------
// Properties: a few representatives, and the unassigned and non-scalar
// values the comparison with unicodedata leaves out.

TEST(Properties, RepresentativesAndValuesOutsideTheTables) {
  struct {
    char32_t c;
    bool white_space, alphabetic, alphanumeric;
  } const cases[] = {{0x3000, true, false, false},   {0x0345, false, true, true},    {0x0661, false, false, true},
                     {0x0378, false, false, false},  {0xD800, false, false, false},  {0x10FFFF, false, false, false},
                     {0x110000, false, false, false}, {0xFFFFFFFF, false, false, false}};
  for (const auto& p : cases) {
    EXPECT_EQ(is_white_space(p.c), p.white_space) << std::hex << uint32_t(p.c);
    EXPECT_EQ(is_alphabetic(p.c), p.alphabetic) << std::hex << uint32_t(p.c);
    EXPECT_EQ(is_alphanumeric(p.c), p.alphanumeric) << std::hex << uint32_t(p.c);
  }
}

TEST(Properties, AlphabeticImpliesAlphanumericAndNeverWhiteSpace) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (is_alphabetic(c)) {
      ASSERT_TRUE(is_alphanumeric(c)) << std::hex << uint32_t(c);
      ASSERT_FALSE(is_white_space(c)) << std::hex << uint32_t(c);
    }
  }
}

}  // namespace
}  // namespace korvane::unicode
