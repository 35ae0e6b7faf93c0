// Throughput of the Unicode layer: to_nfc, to_lower and a tokenizer-like
// per-character pass (lower-case mapping and alphanumeric test of every
// scalar), on four texts:
//   - ascii: 4 MiB of ASCII prose;
//   - trace: an .agentlog file given on the command line (mostly ASCII with
//     scattered punctuation and symbols), when one is given;
//   - mixed: 4 MiB of NFC prose in ten scripts (Latin with accents, Greek,
//     Cyrillic, Vietnamese, Hangul, Han, Devanagari, Arabic, emoji);
//   - decomposed: the same prose with every character canonically
//     decomposed, so that NFC has to recompose almost everything.
//
// usage: unicode_bench [trace.agentlog] [repeats]
// Prints the median MB/s (1 MB = 10^6 bytes of input) over the repeats, timed
// in thread CPU time so that other load on the machine matters less.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/unicode/case.h"
#include "core/unicode/normalize.h"
#include "core/unicode/properties.h"
#include "core/unicode/tables.h"
#include "core/unicode/utf8.h"

namespace {

using namespace korvane::unicode;

const char* const kAsciiProse =
    "The agent looked up the reservation, confirmed the passenger's identity and offered a refund "
    "of 120 USD for the cancelled flight; the user accepted. ";

const char* const kMixedProse[] = {
    "Le réservé café à côté de l'hôtel était déjà fermé. ",
    "Größere Änderungen müssen überprüft werden, sagte die Ärztin. ",
    "Η ΚΡΆΤΗΣΗ ΑΚΥΡΏΘΗΚΕ· ο πελάτης ζήτησε επιστροφή χρημάτων. ",
    "Пользователь ПОДТВЕРДИЛ бронирование и запросил возврат. ",
    "Người dùng đã xác nhận việc đặt chỗ và yêu cầu hoàn tiền. ",
    "사용자가 예약을 확인하고 환불을 요청했습니다. ",
    "用户确认了预订并要求退款。",
    "उपयोगकर्ता ने आरक्षण की पुष्टि की। ",
    "أكد المستخدم الحجز وطلب استرداد المبلغ. ",
    "Flight ✈️ confirmed ✅ → refund issued 🎉. ",
};

std::string repeat_to(const std::string& unit, size_t bytes) {
  std::string out;
  while (out.size() < bytes) out += unit;
  return out;
}

// Every scalar replaced by its full canonical decomposition (Hangul included).
std::string decomposed(std::string_view text) {
  using namespace tables;
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const char32_t c = decode(text, i);
    if (c - kHangulSBase < kHangulSCount) {
      const char32_t s = c - kHangulSBase;
      append_utf8(out, kHangulLBase + s / kHangulNCount);
      append_utf8(out, kHangulVBase + (s % kHangulNCount) / kHangulTCount);
      if (s % kHangulTCount) append_utf8(out, kHangulTBase + s % kHangulTCount);
    } else if (const auto d = canonical_decomposition(c); !d.empty()) {
      for (const char32_t x : d) append_utf8(out, x);
    } else {
      append_utf8(out, c);
    }
  }
  return out;
}

size_t sink = 0;

double median_mb_per_s(const std::string& text, int repeats, const std::function<size_t(const std::string&)>& work) {
  return static_cast<double>(text.size()) / 1e6 / korvane::bench::median_seconds(repeats, [&] { sink += work(text); });
}

size_t per_character(const std::string& text) {
  std::string lowered;
  lowered.reserve(text.size());
  size_t alphanumeric = 0;
  for (size_t i = 0; i < text.size();) {
    const char32_t c = decode(text, i);
    append_lower_char(lowered, c);
    alphanumeric += is_alphanumeric(c);
  }
  return lowered.size() + alphanumeric;
}

}  // namespace

int main(int argc, char** argv) {
  const char* trace_path = argc > 1 ? argv[1] : nullptr;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 15;
  constexpr size_t kBytes = 4 << 20;

  std::vector<std::pair<std::string, std::string>> texts;
  texts.emplace_back("ascii", repeat_to(kAsciiProse, kBytes));
  if (trace_path) {
    texts.emplace_back("trace", korvane::bench::read_file(trace_path));
  }
  std::string mixed_unit;
  for (const char* sentence : kMixedProse) mixed_unit += sentence;
  texts.emplace_back("mixed", repeat_to(mixed_unit, kBytes));
  texts.emplace_back("decomposed", decomposed(texts.back().second));

  std::printf("tables: Unicode %s, %zu bytes\n", tables::kUnicodeVersion, tables::kTotalBytes);
  std::printf("%-11s %10s %10s %10s %12s\n", "text", "MB", "to_nfc", "to_lower", "per-char");
  for (const auto& [name, text] : texts) {
    const double nfc = median_mb_per_s(text, repeats, [](const std::string& t) { return to_nfc(t).size(); });
    const double lower = median_mb_per_s(text, repeats, [](const std::string& t) { return to_lower(t).size(); });
    const double chars = median_mb_per_s(text, repeats, per_character);
    std::printf("%-11s %10.2f %10.0f %10.0f %12.0f\n", name.c_str(), text.size() / 1e6, nfc, lower, chars);
  }
  return sink == 0;
}
