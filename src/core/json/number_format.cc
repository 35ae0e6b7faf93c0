#include "core/json/number_format.h"

#include <charconv>
#include <cmath>
#include <cstring>

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

}  // namespace

void append_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (std::signbit(value)) out += '-';
  if (value == 0) {
    out += "0.0";
    return;
  }
  const Digits g = shortest_digits(std::fabs(value));
  const int n = g.n;
  const int kk = g.kk;
  if (0 < kk && kk <= 16) {
    if (kk >= n) {
      out.append(g.d, n);
      out.append(kk - n, '0');
      out += ".0";
    } else {
      out.append(g.d, kk);
      out += '.';
      out.append(g.d + kk, n - kk);
    }
  } else if (-5 < kk && kk <= 0) {
    out += "0.";
    out.append(-kk, '0');
    out.append(g.d, n);
  } else {
    out += g.d[0];
    if (n > 1) {
      out += '.';
      out.append(g.d + 1, n - 1);
    }
    out += 'e';
    char exp[8];
    auto [end, ec] = std::to_chars(exp, exp + sizeof exp, kk - 1);
    (void)ec;
    out.append(exp, end);
  }
}

void append_canonical_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (value == 0) {
    out += '0';
    return;
  }
  if (value < 0) out += '-';
  const Digits g = shortest_digits(std::fabs(value));
  const int n = g.n;
  const int kk = g.kk;
  if (kk <= 0) {
    out += "0.";
    out.append(-kk, '0');
    out.append(g.d, n);
  } else if (kk < n) {
    out.append(g.d, kk);
    out += '.';
    out.append(g.d + kk, n - kk);
  } else {
    out.append(g.d, n);
    out.append(kk - n, '0');
  }
}

std::string format_double(double value) {
  std::string out;
  append_double(out, value);
  return out;
}

}  // namespace korvane::json
