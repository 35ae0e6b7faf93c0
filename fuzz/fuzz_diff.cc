// The diff over pairs of arbitrary small traces.
//
// Input layout: 8 bytes of seed, then the baseline trace, a 0xFF byte (never
// part of UTF-8 text) and the candidate trace. Each trace keeps the records
// read before its first bad line, at most kMaxRecords. Every model named by a
// response is priced from the seed's bits, with ordinary, zero, negative,
// huge and non-finite prices. Checked: the report is computed without any
// failure, has the documented shape, and the same seed gives the same
// serialized report twice.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/agentlog/parser.h"
#include "core/diff/compute_report.h"
#include "core/diff/cost.h"
#include "core/diff/report.h"
#include "core/error.h"
#include "core/json/writer.h"
#include "fuzz_check.h"

namespace {

using korvane::agentlog::Record;
using korvane::diff::ModelPricing;
using korvane::diff::PricingTable;

constexpr size_t kMaxRecords = 64;

std::vector<Record> read_trace(std::string_view text) {
  std::vector<Record> records;
  korvane::agentlog::Parser parser(text);
  try {
    while (records.size() < kMaxRecords) {
      std::optional<Record> record = parser.next();
      if (!record) break;
      records.push_back(std::move(*record));
    }
  } catch (const korvane::Error&) {
  }
  return records;
}

double price(uint64_t& bits) {
  static constexpr double kPrices[] = {
      3e-6, 1.5e-5, 0.0, -1.0, 1e300, 2.5, -0.0,
      std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(), 5e-324, 1.0,
  };
  const double p = kPrices[bits % std::size(kPrices)];
  bits = bits / std::size(kPrices) + 0x9E3779B97F4A7C15ull * (bits & 1);
  return p;
}

void add_prices(PricingTable& table, const std::vector<Record>& trace, uint64_t& bits) {
  for (const Record& record : trace) {
    const korvane::json::JsonValue* model = record.payload.find("model");
    const std::string_view* name = model == nullptr ? nullptr : model->if_string();
    if (name == nullptr || table.contains(*name)) continue;
    ModelPricing prices;
    prices.input = price(bits);
    prices.output = price(bits);
    prices.cached_input = price(bits);
    prices.cached_write_5m = price(bits);
    prices.cached_write_1h = price(bits);
    prices.reasoning = price(bits);
    prices.batch_discount = price(bits);
    table.emplace(*name, prices);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint64_t seed;
  std::memcpy(&seed, data, 8);
  const std::string_view rest(reinterpret_cast<const char*>(data) + 8, size - 8);
  const size_t split = rest.find('\xFF');
  const std::vector<Record> baseline = read_trace(rest.substr(0, split));
  const std::vector<Record> candidate =
      read_trace(split == std::string_view::npos ? std::string_view() : rest.substr(split + 1));

  PricingTable pricing;
  uint64_t bits = seed;
  if ((seed & 3) != 0) {  // one input in four runs without prices
    add_prices(pricing, baseline, bits);
    add_prices(pricing, candidate, bits);
  }

  const korvane::diff::DiffReport report = korvane::diff::compute_report(baseline, candidate, pricing, seed);
  FUZZ_CHECK(report.rows.size() == 9);
  FUZZ_CHECK(report.divergences.size() <= 5);
  FUZZ_CHECK(report.recommendations.size() <= 8);
  FUZZ_CHECK(report.drill_down.size() <= 5);
  const std::string text = korvane::json::to_json_text(korvane::diff::report_to_json(report));

  const korvane::diff::DiffReport again = korvane::diff::compute_report(baseline, candidate, pricing, seed);
  FUZZ_CHECK(korvane::json::to_json_text(korvane::diff::report_to_json(again)) == text);
  return 0;
}
