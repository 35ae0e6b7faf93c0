// The .agentlog writer: records to JSON Lines bytes.
//
// Each record becomes one compact JSON object ("version", "id", "kind", "ts",
// "parent" — null when absent —, "meta" only when present, "payload") and a
// line feed. Texts are written as stored, in the compact form of
// json::append_json. Writing cannot fail.
#pragma once

#include <span>
#include <string>

#include "core/agentlog/record.h"
#include "core/json/output.h"

namespace korvane::agentlog {

void append_record(json::Output& out, const RecordView& record);
void append_record(std::string& out, const Record& record);

std::string write_records(std::span<const Record> records);

}  // namespace korvane::agentlog
