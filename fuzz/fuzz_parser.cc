// The trace reader over arbitrary bytes.
//
// Each input is read twice: with the default limits and with small line and
// total limits taken from its first two bytes. Checked: a parse either
// yields records or one message with its hint line, after which the parser
// yields nothing; a line-limit message reports limit + 1 bytes read; a trace
// read under the small limits reads the same under the defaults; and the
// records of a successful read, written and read back, write the same bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/agentlog/parser.h"
#include "core/agentlog/writer.h"
#include "core/error.h"
#include "fuzz_check.h"

namespace {

using korvane::Error;
using korvane::agentlog::Parser;
using korvane::agentlog::Record;
using korvane::agentlog::write_records;

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The records of input, or nothing with the message in *error.
std::optional<std::vector<Record>> read_all(Parser parser, std::string* error) {
  std::vector<Record> records;
  try {
    while (std::optional<Record> record = parser.next()) records.push_back(std::move(*record));
  } catch (const Error& e) {
    *error = e.message();  // what() would stop at a U+0000 quoted from the trace
    FUZZ_CHECK(!parser.next().has_value());  // finished after the first error
    FUZZ_CHECK(error->find("\nhint: ") != std::string::npos);
    FUZZ_CHECK(starts_with(*error, "io error on line ") || starts_with(*error, "parse error on line ") ||
               starts_with(*error, "line ") || starts_with(*error, "trace exceeds total byte limit ("));
    return std::nullopt;
  }
  FUZZ_CHECK(!parser.next().has_value());
  return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  std::string error;
  const std::optional<std::vector<Record>> records = read_all(Parser(input), &error);
  std::string written;
  if (records) {
    written = write_records(*records);
    std::string again_error;
    const auto again = read_all(Parser(written), &again_error);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(write_records(*again) == written);
  }

  if (size >= 2) {
    const uint64_t max_line = data[0];
    const uint64_t max_total = uint64_t{data[1]} * 16;
    std::string limited_error;
    const auto limited =
        read_all(Parser(input).with_max_line_bytes(max_line).with_max_total_bytes(max_total), &limited_error);
    if (limited) {
      FUZZ_CHECK(records.has_value());
      FUZZ_CHECK(write_records(*limited) == written);
    } else if (starts_with(limited_error, "line ")) {
      const std::string expected = "(" + std::to_string(max_line + 1) + " > " + std::to_string(max_line) + ")";
      FUZZ_CHECK(limited_error.find(expected) != std::string::npos);
    }
  }
  return 0;
}
