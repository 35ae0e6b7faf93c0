#include "python/errors.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

#include "core/error.h"
#include "python/object.h"

namespace korvane::python {
namespace {

constexpr char kNoneSet[] = "attempted to fetch exception but none was set";

// The internal failure type; created once and kept for the life of the
// process, like the built-in exception types.
PyObject* g_internal_error = nullptr;

// The UTF-8 text of a str object; invalid characters (lone surrogates) are
// written as backslash escapes so that a message is never lost.
bool append_text(std::string& out, PyObject* str) {
  PyRef bytes(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
  if (!bytes) return false;
  out.append(PyBytes_AsString(bytes.get()), static_cast<size_t>(PyBytes_Size(bytes.get())));
  return true;
}

void raise_with_text(PyObject* type, std::string_view message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

void raise_internal(std::string_view message) {
  if (g_internal_error == nullptr) {
    // The module failed to initialise, yet one of its functions runs: no
    // Python exception can carry the failure.
    std::fprintf(stderr, "korvane: internal failure with no way to report it: %.*s\n",
                 static_cast<int>(message.size()), message.data());
    std::abort();
  }
  raise_with_text(g_internal_error, message);
}

}  // namespace

std::string take_exception_message() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return std::string("SystemError: ") + kNoneSet;
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type), owned_value(value), owned_traceback(traceback);

  std::string message;
  PyRef name(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
  if (!name || !append_text(message, name.get())) {
    PyErr_Clear();
    message = "<unknown>";
  }
  message += ": ";
  const size_t prefix = message.size();
  PyRef text(PyObject_Str(value));
  if (!text || !append_text(message, text.get())) {
    PyErr_Clear();
    message.resize(prefix);
    message += "<exception str() failed>";
  }
  return message;
}

bool interrupt_pending() {
  return PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception);
}

void throw_pending_as_error() {
  if (interrupt_pending()) throw_pending();
  throw Error(take_exception_message());
}

bool create_internal_error_type() {
  if (g_internal_error != nullptr) return true;
  g_internal_error = PyErr_NewExceptionWithDoc(
      "korvane._core.InternalError",
      "An internal invariant of korvane failed, or the environment failed it\n"
      "(no entropy from the operating system). Derived from BaseException so\n"
      "that ordinary `except Exception` handlers do not swallow it.",
      PyExc_BaseException, nullptr);
  return g_internal_error != nullptr;
}

void set_exception_from_current() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoneSet);
  } catch (const Error& e) {
    raise_with_text(PyExc_ValueError, e.message());
  } catch (const InternalError& e) {
    raise_internal(e.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal("unknown C++ exception");
  }
}

}  // namespace korvane::python
