#include "core/json/number_format.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace korvane::json {
namespace {

// The shortest round-trip digits of a finite, non-zero magnitude.
struct Digits {
  char d[17];
  int n;   // number of digits, 1..17
  int kk;  // value = 0.d1..dn x 10^kk
};

Digits shortest_digits(double magnitude) {
  // Scientific form "d[.ddd]e[+-]x": the shortest round-trip digits.
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
  (void)ec;  // 32 bytes always suffice for a double
  Digits out{};
  const char* p = buf;
  out.d[out.n++] = *p++;
  if (*p == '.') {
    ++p;
    while (*p != 'e') out.d[out.n++] = *p++;
  }
  ++p;  // 'e'
  int exponent = 0;
  std::from_chars(*p == '+' ? p + 1 : p, end, exponent);
  out.kk = exponent + 1;
  return out;
}

char* copy(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

char* zeros(char* out, int count) {
  std::memset(out, '0', static_cast<size_t>(count));
  return out + count;
}

}  // namespace

char* write_double(char* out, double value) {
  if (!std::isfinite(value)) return copy(out, "null");
  if (std::signbit(value)) *out++ = '-';
  if (value == 0) return copy(out, "0.0");
  const Digits g = shortest_digits(std::fabs(value));
  const int n = g.n;
  const int kk = g.kk;
  if (0 < kk && kk <= kPositionalExponentCeiling) {
    if (kk >= n) {
      out = copy(out, {g.d, static_cast<size_t>(n)});
      out = zeros(out, kk - n);
      return copy(out, ".0");
    }
    out = copy(out, {g.d, static_cast<size_t>(kk)});
    *out++ = '.';
    return copy(out, {g.d + kk, static_cast<size_t>(n - kk)});
  }
  if (kPositionalExponentFloor < kk && kk <= 0) {
    out = copy(out, "0.");
    out = zeros(out, -kk);
    return copy(out, {g.d, static_cast<size_t>(n)});
  }
  *out++ = g.d[0];
  if (n > 1) {
    *out++ = '.';
    out = copy(out, {g.d + 1, static_cast<size_t>(n - 1)});
  }
  *out++ = 'e';
  return std::to_chars(out, out + 8, kk - 1).ptr;
}

char* write_canonical_double(char* out, double value) {
  if (!std::isfinite(value)) return copy(out, "null");
  if (value == 0) {
    *out++ = '0';
    return out;
  }
  if (value < 0) *out++ = '-';
  const Digits g = shortest_digits(std::fabs(value));
  const int n = g.n;
  const int kk = g.kk;
  if (kk <= 0) {
    out = copy(out, "0.");
    out = zeros(out, -kk);
    return copy(out, {g.d, static_cast<size_t>(n)});
  }
  if (kk < n) {
    out = copy(out, {g.d, static_cast<size_t>(kk)});
    *out++ = '.';
    return copy(out, {g.d + kk, static_cast<size_t>(n - kk)});
  }
  out = copy(out, {g.d, static_cast<size_t>(n)});
  return zeros(out, kk - n);
}

std::string format_double(double value) {
  char text[kMaxNumberChars];
  return std::string(text, write_double(text, value));
}

}  // namespace korvane::json
