#include "core/agentlog/writer.h"

#include "core/json/writer.h"

namespace korvane::agentlog {

void append_envelope_head(std::string& out, const EnvelopeHead& head) {
  out += "{\"version\":";
  json::append_json_string(out, head.version);
  out += ",\"id\":";
  json::append_json_string(out, head.id);
  out += ",\"kind\":\"";
  out += kind_name(head.kind);
  out += "\",\"ts\":";
  json::append_json_string(out, head.ts);
  out += ",\"parent\":";
  if (head.parent) {
    json::append_json_string(out, *head.parent);
  } else {
    out += "null";
  }
}

void append_record(std::string& out, const Record& record) {
  append_envelope_head(out, {record.version, record.id, record.kind, record.ts,
                             record.parent ? std::optional<std::string_view>(*record.parent) : std::nullopt});
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
