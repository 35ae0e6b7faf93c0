#include "python/plain_writer.h"

#include <array>
#include <cmath>
#include <optional>
#include <string_view>

#include "core/agentlog/record.h"
#include "core/agentlog/writer.h"
#include "core/json/number_format.h"
#include "core/json/writer.h"
#include "python/to_json_value.h"

namespace korvane::python {
namespace {

// The UTF-8 text of an exact str, or false (a lone surrogate).
bool text_of(PyObject* str, std::string_view& text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  text = std::string_view(data, static_cast<size_t>(size));
  return true;
}

class PlainWriter {
 public:
  explicit PlainWriter(std::string& out) : out_(out) {}

  // Writes value as the general road would, or returns false.
  bool value(PyObject* value);

  // Counts one container level as the general conversion does: the
  // module's own cap and the interpreter's recursion limit.
  bool enter() {
    if (depth_ >= kMaxDepth) return false;
    if (Py_EnterRecursiveCall("") != 0) {
      PyErr_Clear();
      return false;
    }
    ++depth_;
    return true;
  }
  void leave() {
    --depth_;
    Py_LeaveRecursiveCall();
  }

 private:
  bool sequence(PyObject* object, bool is_list);
  bool dict(PyObject* object);

  std::string& out_;
  int depth_ = 0;
};

bool PlainWriter::value(PyObject* value) {
  if (value == Py_None) {
    out_ += "null";
    return true;
  }
  if (value == Py_True || value == Py_False) {
    out_ += value == Py_True ? "true" : "false";
    return true;
  }
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
      json::append_integer(out_, i);
      return true;
    }
    if (overflow < 0) return false;
    const unsigned long long u = PyLong_AsUnsignedLongLong(value);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    json::append_integer(out_, u);
    return true;
  }
  if (PyFloat_CheckExact(value)) {
    const double d = PyFloat_AsDouble(value);
    if (std::isfinite(d)) {
      json::append_double(out_, d);
    } else {
      out_ += "null";
    }
    return true;
  }
  if (PyUnicode_CheckExact(value)) {
    std::string_view text;
    if (!text_of(value, text)) return false;
    json::append_json_string(out_, text);
    return true;
  }
  if (PyList_CheckExact(value)) return sequence(value, true);
  if (PyTuple_CheckExact(value)) return sequence(value, false);
  if (PyDict_CheckExact(value)) return dict(value);
  return false;
}

bool PlainWriter::sequence(PyObject* object, bool is_list) {
  if (!enter()) return false;
  const Py_ssize_t size = is_list ? PyList_Size(object) : PyTuple_Size(object);
  out_ += '[';
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < size; ++i) {
    if (i > 0) out_ += ',';
    ok = value(is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i));
  }
  out_ += ']';
  leave();
  return ok;
}

bool PlainWriter::dict(PyObject* object) {
  if (!enter()) return false;
  out_ += '{';
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* member = nullptr;
  bool ok = true;
  bool first = true;
  while (ok && PyDict_Next(object, &position, &key, &member)) {
    std::string_view text;
    // Only exact str keys are sure to have distinct texts.
    ok = PyUnicode_CheckExact(key) && text_of(key, text);
    if (!ok) break;
    if (!first) out_ += ',';
    first = false;
    json::append_json_string(out_, text);
    out_ += ':';
    ok = value(member);
  }
  out_ += '}';
  leave();
  return ok;
}

}  // namespace

bool write_plain_record(std::string& out, PyObject* record) {
  using agentlog::Field;
  using enum agentlog::Field;
  if (!PyDict_CheckExact(record)) return false;
  const size_t start = out.size();
  PlainWriter writer(out);
  if (!writer.enter()) return false;
  struct Leave {
    PlainWriter& writer;
    ~Leave() { writer.leave(); }
  } leave{writer};

  std::array<PyObject*, agentlog::kFieldNames.size()> fields{};
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(record, &position, &key, &value)) {
    std::string_view name;
    if (!PyUnicode_CheckExact(key) || !text_of(key, name)) return false;
    if (const Field field = agentlog::field_named(name); field != kUnknown) {
      fields[field] = value;
      continue;
    }
    // An unknown key is ignored, but its value must still convert.
    const bool converts = writer.value(value);
    out.resize(start);
    if (!converts) return false;
  }

  std::array<std::string_view, agentlog::kFieldNames.size()> texts;
  for (Field field : {kVersion, kId, kTs}) {
    if (fields[field] == nullptr || !PyUnicode_CheckExact(fields[field]) || !text_of(fields[field], texts[field])) {
      return false;
    }
  }
  std::optional<agentlog::Kind> kind;
  if (fields[kKind] == nullptr || !PyUnicode_CheckExact(fields[kKind]) || !text_of(fields[kKind], texts[kKind]) ||
      !(kind = agentlog::kind_from_name(texts[kKind]))) {
    return false;
  }
  const bool has_parent = fields[kParent] != nullptr && fields[kParent] != Py_None;
  if (has_parent && (!PyUnicode_CheckExact(fields[kParent]) || !text_of(fields[kParent], texts[kParent]))) {
    return false;
  }
  const bool has_meta = fields[kMeta] != nullptr && fields[kMeta] != Py_None;
  if ((has_meta && !PyDict_CheckExact(fields[kMeta])) || fields[kPayload] == nullptr) return false;

  agentlog::append_envelope_head(
      out, {texts[kVersion], texts[kId], *kind, texts[kTs],
            has_parent ? std::optional<std::string_view>(texts[kParent]) : std::nullopt});
  bool ok = true;
  if (has_meta) {
    out += ",\"meta\":";
    ok = writer.value(fields[kMeta]);
  }
  if (ok) {
    out += ",\"payload\":";
    ok = writer.value(fields[kPayload]);
  }
  if (!ok) {
    out.resize(start);
    return false;
  }
  out += "}\n";
  return true;
}

}  // namespace korvane::python
