// The trace functions: parse_agentlog, write_agentlog, canonical_bytes and
// content_id.

#include "python/python_api.h"

#include <array>
#include <string>
#include <vector>

#include "core/agentlog/canonical.h"
#include "core/agentlog/content_id.h"
#include "core/agentlog/writer.h"
#include "python/arguments.h"
#include "python/bytes_builder.h"
#include "python/errors.h"
#include "python/functions.h"
#include "python/object.h"
#include "python/py_builder.h"
#include "python/to_json_value.h"

namespace korvane::python {
namespace {

// The single argument of a one-parameter function.
PyObject* bind_one(const char* function, const char* parameter, PyObject* args, PyObject* kwargs) {
  const std::array<const char*, 1> parameters = {parameter};
  return bind_call(function, parameters, 1, args, kwargs)[0];
}

}  // namespace

PyObject* parse_agentlog(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    PyObject* data = bind_one("parse_agentlog", "data", args, kwargs);
    check_bytes(data, "data");
    // The bytes object stays alive for the whole call (the arguments own it)
    // and is immutable, so its buffer is read in place.
    const std::string_view input(PyBytes_AsString(data), static_cast<size_t>(PyBytes_Size(data)));
    return parse_records(input).release();
  });
}

PyObject* write_agentlog(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    PyObject* records = bind_one("write_agentlog", "records", args, kwargs);
    check_list(records, "records");
    // The list is walked as pylist_to_records() walks it. Each record is
    // written as soon as it is converted, then its values are dropped; the
    // bytes leave only when every record has converted.
    Conversion conversion;
    BytesBuilder out;
    const Py_ssize_t start_size = PyList_Size(records);
    for (Py_ssize_t i = 0; i < start_size && i < PyList_Size(records); ++i) {
      const json::JsonValue record = conversion.convert(PyList_GetItem(records, i));
      agentlog::append_record(out.output(), agentlog::record_view_from_value(record));
      conversion.clear();
    }
    return out.bytes().release();
  });
}

PyObject* canonical_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    PyObject* payload = bind_one("canonical_bytes", "payload", args, kwargs);
    Conversion conversion;
    BytesBuilder out;
    agentlog::write_canonical(out.output(), conversion.convert(payload));
    return out.bytes().release();
  });
}

PyObject* content_id(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    PyObject* payload = bind_one("content_id", "payload", args, kwargs);
    Conversion conversion;
    return new_str(agentlog::content_id(conversion.convert(payload))).release();
  });
}

}  // namespace korvane::python
