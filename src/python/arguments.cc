#include "python/arguments.h"

#include <string>
#include <vector>

#include "python/errors.h"
#include "python/object.h"

namespace korvane::python {
namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw_pending();
}

const char* was_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
std::string quoted_list(std::span<const char* const> names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Raises TypeError "argument '{name}': '{qualified type name}' object cannot
// be converted to '{target}'".
[[noreturn]] void raise_wrong_type(PyObject* arg, const char* name, const char* target) {
  PyRef type_name(PyType_GetQualName(Py_TYPE(arg)));
  if (type_name) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", name,
                 type_name.get(), target);
  }
  throw_pending();
}

// Replaces the pending TypeError by one whose message starts with
// "argument '{name}': " and whose cause is the original's cause.
void prefix_type_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  PyRef text(PyObject_Str(value));
  if (!text) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef error(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!error) return;
  // Setting a cause also suppresses the context, as "raise ... from" does:
  // done only when there is a cause to carry over.
  if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(error.get(), cause);
  PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace

void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out) {
  const auto& names = signature.parameters;
  const size_t count = names.size();
  // The function as binding errors name it: "name()".
  const auto f = [&] { return std::string(signature.function) + "()"; };

  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) throw_pending();
  if (static_cast<size_t>(given) > count) {
    if (signature.required == count) {
      raise_type_error(f() + " takes " + std::to_string(count) + " positional arguments but " +
                       std::to_string(given) + " " + was_were(given) + " given");
    }
    raise_type_error(f() + " takes from " + std::to_string(signature.required) + " to " +
                     std::to_string(count) + " positional arguments but " + std::to_string(given) +
                     " " + was_were(given) + " given");
  }
  for (size_t i = 0; i < count; ++i) {
    out[i] = i < static_cast<size_t>(given) ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)) : nullptr;
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_ssize_t length = 0;
      const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &length) : nullptr;
      if (text == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", f().c_str(), key);
        throw_pending();
      }
      const std::string_view keyword(text, static_cast<size_t>(length));
      size_t i = 0;
      while (i < count && keyword != names[i]) ++i;
      if (i == count) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", f().c_str(), key);
        throw_pending();
      }
      if (out[i] != nullptr) {
        raise_type_error(f() + " got multiple values for argument '" + names[i] + "'");
      }
      out[i] = value;
    }
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    raise_type_error(f() + " missing " + std::to_string(missing.size()) + " required positional " +
                     (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
  }
}

void check_bytes(PyObject* arg, const char* name) {
  if (!PyBytes_Check(arg)) raise_wrong_type(arg, name, "PyBytes");
}

void check_list(PyObject* arg, const char* name) {
  if (!PyList_Check(arg)) raise_wrong_type(arg, name, "PyList");
}

void check_dict(PyObject* arg, const char* name) {
  if (!PyDict_Check(arg)) raise_wrong_type(arg, name, "PyDict");
}

std::optional<uint64_t> read_optional_u64(PyObject* arg, const char* name) {
  if (arg == nullptr) return std::nullopt;
  PyRef index(PyNumber_Index(arg));
  if (index) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return value;
  }
  if (PyErr_ExceptionMatches(PyExc_TypeError)) prefix_type_error(name);
  throw_pending();
}

}  // namespace korvane::python
