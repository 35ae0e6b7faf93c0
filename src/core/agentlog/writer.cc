#include "core/agentlog/writer.h"

#include "core/json/writer.h"

namespace korvane::agentlog {

void append_record(std::string& out, const Record& record) {
  out += "{\"version\":";
  json::append_json_string(out, record.version);
  out += ",\"id\":";
  json::append_json_string(out, record.id);
  out += ",\"kind\":\"";
  out += kind_name(record.kind);
  out += "\",\"ts\":";
  json::append_json_string(out, record.ts);
  out += ",\"parent\":";
  if (record.parent) {
    json::append_json_string(out, *record.parent);
  } else {
    out += "null";
  }
  if (record.meta) {
    out += ",\"meta\":";
    json::append_json(out, *record.meta);
  }
  out += ",\"payload\":";
  json::append_json(out, record.payload);
  out += "}\n";
}

std::string write_records(std::span<const Record> records) {
  std::string out;
  for (const Record& record : records) append_record(out, record);
  return out;
}

}  // namespace korvane::agentlog
