// The .agentlog writer: records to JSON Lines bytes.
//
// Each record becomes one compact JSON object ("version", "id", "kind", "ts",
// "parent" — null when absent —, "meta" only when present, "payload") and a
// line feed. Texts are written as stored, in the compact form of
// json::append_json. Writing cannot fail.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/agentlog/record.h"

namespace korvane::agentlog {

void append_record(std::string& out, const Record& record);

// The part of a record line before its meta and payload: from the opening
// brace through the parent ("parent":null when absent). A writer holding
// the meta and payload in another form finishes the line itself with
// ,"meta":{...} (only when present), ,"payload":... and "}\n".
struct EnvelopeHead {
  std::string_view version;
  std::string_view id;
  Kind kind;
  std::string_view ts;
  std::optional<std::string_view> parent;
};
void append_envelope_head(std::string& out, const EnvelopeHead& head);

std::string write_records(std::span<const Record> records);

}  // namespace korvane::agentlog
