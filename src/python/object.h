// PyRef: the owner of one strong reference to a Python object.
//
// A PyRef releases its reference when it is destroyed; moving transfers it.
// The constructor takes over a new reference (the result of an interpreter
// call that returns one, possibly nullptr); borrow() adds a reference of its
// own to a borrowed pointer. release() hands the reference to the caller,
// typically the interpreter as a function's result.
#pragma once

#include "python/python_api.h"

#include <utility>

namespace korvane::python {

class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : p_(owned) {}
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* get() const { return p_; }
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace korvane::python
