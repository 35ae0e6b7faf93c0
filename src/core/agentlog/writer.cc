#include "core/agentlog/writer.h"

#include <string>

#include "core/json/writer.h"

namespace korvane::agentlog {

void append_record(json::Output& out, const RecordView& record) {
  out.put("{\"version\":");
  json::append_json_string(out, record.version);
  out.put(",\"id\":");
  json::append_json_string(out, record.id);
  out.put(",\"kind\":\"");
  out.put(kind_name(record.kind));
  out.put("\",\"ts\":");
  json::append_json_string(out, record.ts);
  out.put(",\"parent\":");
  if (record.parent) {
    json::append_json_string(out, *record.parent);
  } else {
    out.put("null");
  }
  if (record.meta != nullptr) {
    out.put(",\"meta\":");
    json::append_json(out, *record.meta);
  }
  out.put(",\"payload\":");
  json::append_json(out, *record.payload);
  out.put("}\n");
}

void append_record(std::string& out, const Record& record) {
  json::Output o;
  append_record(o, view_of(record));
  out += o.view();
}

std::string write_records(std::span<const Record> records) {
  json::Output out;
  for (const Record& record : records) append_record(out, view_of(record));
  return std::string(out.view());
}

}  // namespace korvane::agentlog
