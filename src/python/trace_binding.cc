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
#include "python/errors.h"
#include "python/functions.h"
#include "python/object.h"
#include "python/py_builder.h"
#include "python/to_json_value.h"

namespace korvane::python {
namespace {

PyObject* new_bytes(const std::string& bytes) {
  PyObject* result = PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  if (result == nullptr) throw_pending();
  return result;
}

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
    // Every record is converted before the first byte is written.
    const std::vector<agentlog::Record> converted = pylist_to_records(records);
    return new_bytes(agentlog::write_records(converted));
  });
}

PyObject* canonical_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    PyObject* payload = bind_one("canonical_bytes", "payload", args, kwargs);
    return new_bytes(agentlog::canonical_bytes(to_json_value(payload)));
  });
}

PyObject* content_id(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    PyObject* payload = bind_one("content_id", "payload", args, kwargs);
    const std::string id = agentlog::content_id(to_json_value(payload));
    PyObject* result = PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size()));
    if (result == nullptr) throw_pending();
    return result;
  });
}

}  // namespace korvane::python
