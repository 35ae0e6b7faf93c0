// The Unicode layer where unicodedata (unicode_vs_unicodedata.py) cannot judge
// it: the conformance file of the tables' own version, every scalar, values
// beyond the tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_set>

#include "core/unicode/case.h"
#include "core/unicode/normalize.h"
#include "core/unicode/properties.h"
#include "core/unicode/tables.h"
#include "core/unicode/utf8.h"

namespace korvane::unicode {
namespace {

bool is_scalar(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

std::string utf8_of(char32_t c) {
  std::string out;
  append_utf8(out, c);
  return out;
}

// NormalizationTest.txt, as Debian ships it (bzip2) in the UCD directory.
std::string normalization_test() {
  const std::string path = std::string(KORVANE_UCD_DIR) + "/NormalizationTest.txt.bz2";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("bzip2 -dc '" + path + "'").c_str(), "r"), pclose);
  std::string text;
  char buffer[1 << 16];
  for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) text.append(buffer, n);
  return text;
}

TEST(Nfc, MatchesEveryLineOfTheConformanceFile) {
  const std::string text = normalization_test();
  ASSERT_NE(text.find(std::string("NormalizationTest-") + tables::kUnicodeVersion + ".txt"), std::string::npos)
      << "no NormalizationTest.txt.bz2 of Unicode " << tables::kUnicodeVersion << " in " << KORVANE_UCD_DIR;
  std::unordered_set<char32_t> part1;  // the scalars part 1 lists alone
  std::istringstream lines(text);
  int failures = 0;
  bool in_part1 = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("@Part", 0) == 0) in_part1 = line.rfind("@Part1", 0) == 0;
    if (line.empty() || line[0] == '#' || line[0] == '@') continue;
    std::string c[5];  // c1;c2;c3;c4;c5, each a list of hexadecimal scalars
    std::istringstream fields(line);
    for (std::string& column : c) {
      std::string field, hex;
      std::getline(fields, field, ';');
      for (std::istringstream scalars(field); scalars >> hex;) append_utf8(column, std::stoul(hex, nullptr, 16));
    }
    if (in_part1) part1.insert(static_cast<char32_t>(std::stoul(line, nullptr, 16)));
    if (!(c[1] == to_nfc(c[0]) && c[1] == to_nfc(c[1]) && c[1] == to_nfc(c[2]) && c[3] == to_nfc(c[3]) &&
          c[3] == to_nfc(c[4])) && ++failures <= 20) {
      ADD_FAILURE() << line;
    }
  }
  EXPECT_GT(part1.size(), 10000u);
  // Every scalar the file does not list in part 1 is its own NFC.
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (is_scalar(c) && !part1.count(c) && to_nfc(utf8_of(c)) != utf8_of(c) && ++failures <= 20) {
      ADD_FAILURE() << "U+" << std::hex << uint32_t(c);
    }
  }
  EXPECT_EQ(failures, 0);
}

TEST(Nfc, AppendingLeavesTheTextBeforeAlone) {
  // The e and its accent compose; the accent already in out does not join them.
  std::string out = "prefix\u0301";
  append_nfc(out, "e\u0301 x\u0315\u0316");
  EXPECT_EQ(out, "prefix\u0301\u00e9 x\u0316\u0315");
}

TEST(EveryScalar, LowersToScalarsAsToLowerDoesAndAlphabeticImpliesAlphanumeric) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (!is_scalar(c)) continue;
    char32_t out[3] = {0, 0, 0};
    const size_t n = lower_mapping(c, out);
    ASSERT_TRUE(n >= 1 && n <= 3 && std::all_of(out, out + n, is_scalar)) << std::hex << uint32_t(c);
    std::string one;
    append_lower_char(one, c);
    ASSERT_TRUE(c == 0x03A3 || to_lower(utf8_of(c)) == one) << std::hex << uint32_t(c);  // sigma has context
    ASSERT_TRUE(!is_alphabetic(c) || (is_alphanumeric(c) && !is_white_space(c))) << std::hex << uint32_t(c);
  }
}

TEST(Properties, ValuesOutsideTheTablesHaveNoneAndLowerToThemselves) {
  for (const char32_t c : {0x0378u, 0x10FFFFu, 0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(is_white_space(c) || is_alphabetic(c) || is_alphanumeric(c)) << std::hex << uint32_t(c);
    char32_t out[3];
    ASSERT_EQ(lower_mapping(c, out), 1u);
    EXPECT_EQ(out[0], c);
    std::string written;
    append_lower_char(written, c);
    EXPECT_EQ(written, is_scalar(c) ? utf8_of(c) : "\xEF\xBF\xBD");  // a non-scalar is written as U+FFFD
  }
}

}  // namespace
}  // namespace korvane::unicode
