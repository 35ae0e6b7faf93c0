// How failures cross from C++ into the interpreter.
//
// Every function of the module runs its body through guarded(), which turns
// whatever the body throws into a pending Python exception and returns
// nullptr; no C++ exception ever reaches the interpreter:
//
//  - PythonError: an interpreter call failed and its exception is pending;
//    it reaches the caller unchanged. If none is pending, SystemError
//    "attempted to fetch exception but none was set" is raised instead.
//  - korvane::Error: ValueError whose only argument is the message.
//  - korvane::InternalError and any other C++ exception: the module's
//    internal failure type, derived directly from BaseException.
//  - std::bad_alloc: MemoryError.
#pragma once

#include "python/python_api.h"

#include <string>
#include <string_view>

#include "python/object.h"

namespace korvane::python {

// Thrown after an interpreter call has failed; the exception it set is
// still pending.
struct PythonError {};

[[noreturn]] inline void throw_pending() { throw PythonError{}; }

// The new reference an interpreter call returned; throws PythonError when
// the call failed (returned nullptr).
inline PyRef checked(PyObject* result) {
  if (result == nullptr) throw_pending();
  return PyRef(result);
}

// A new str of UTF-8 text; throws PythonError.
inline PyRef new_str(std::string_view utf8) {
  return checked(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

// Takes the pending exception and returns it as "{type name}: {text}";
// "{type name}: <exception str() failed>" when its text cannot be produced,
// and "SystemError: attempted to fetch exception but none was set" when no
// exception is pending. Clears the exception.
std::string take_exception_message();

// True when the pending exception is not an Exception: KeyboardInterrupt,
// SystemExit and their kind ask the program to stop, and are never turned
// into a data error or discarded.
bool interrupt_pending();

// Throws korvane::Error carrying take_exception_message(): how value
// conversion reports an exception raised by the interpreter or user code.
// An interrupt (see above) is left pending and thrown as PythonError.
[[noreturn]] void throw_pending_as_error();

// Creates the internal failure type korvane._core.InternalError. Called once
// per process, by the module initialisation; false with an exception set on
// failure.
bool create_internal_error_type();

// Sets the Python exception matching the C++ exception being handled (see
// above). Must be called inside a catch block.
void set_exception_from_current() noexcept;

template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_exception_from_current();
    return nullptr;
  }
}

}  // namespace korvane::python
