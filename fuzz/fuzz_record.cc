// Record decoding from JSON text and from JSON values.
//
// The input is decoded as one record straight from its text (the reader's
// path) and, when it is a JSON text, as a value handed to record_from_value
// (the path of Python data). Checked: a record that decodes writes a line that
// decodes to the same record; when both paths succeed they agree; failures
// are Error, never a crash or another exception.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/agentlog/record.h"
#include "core/agentlog/record_reader.h"
#include "core/agentlog/writer.h"
#include "core/error.h"
#include "core/json/reader.h"
#include "core/json/value_builder.h"
#include "fuzz_check.h"

namespace {

using korvane::Error;
using korvane::agentlog::Record;

std::optional<Record> decode_text(std::string_view text) {
  korvane::json::JsonValueBuilder builder;
  try {
    return korvane::agentlog::read_record(text, builder);
  } catch (const Error&) {
    return std::nullopt;
  }
}

// The written line of record, checked to decode back to the same line.
std::string written_line(const Record& record) {
  std::string line;
  korvane::agentlog::append_record(line, record);
  FUZZ_CHECK(!line.empty() && line.back() == '\n');
  const std::string_view body(line.data(), line.size() - 1);
  const std::optional<Record> again = decode_text(body);
  FUZZ_CHECK(again.has_value());
  std::string again_line;
  korvane::agentlog::append_record(again_line, *again);
  FUZZ_CHECK(again_line == line);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::optional<std::string> from_text;
  if (const std::optional<Record> record = decode_text(text)) from_text = written_line(*record);

  korvane::json::JsonValue value;
  try {
    value = korvane::json::parse_json(text);
  } catch (const Error&) {
    return 0;
  }
  std::optional<std::string> from_value;
  try {
    from_value = written_line(korvane::agentlog::record_from_value(std::move(value)));
  } catch (const Error&) {
  }
  if (from_text && from_value) FUZZ_CHECK(*from_text == *from_value);
  return 0;
}
