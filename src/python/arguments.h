// Binding of a call's positional and keyword arguments to the parameters of
// a module function, and the type checks of the bound arguments.
//
// Every parameter is positional-or-keyword; the required ones come first.
// bind_arguments() follows the interpreter's own rules and messages:
// positional arguments fill the parameters from the left, each keyword must
// name a parameter not already filled, then every required parameter must be
// filled. Failures raise TypeError and throw PythonError.
//
// The checks take a bound argument (borrowed) and either accept it or raise
// TypeError "argument '{name}': '{type}' object cannot be converted to
// '{target}'" with the qualified name of the argument's type.
#pragma once

#include "python/python_api.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace korvane::python {

struct Signature {
  const char* function;              // the function's name, without "()"
  std::span<const char* const> parameters;
  size_t required;                   // the first `required` parameters
};

// Fills out[i] with the argument bound to parameter i (borrowed), or nullptr
// when it is not given. out.size() == signature.parameters.size().
void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out);

template <size_t N>
std::array<PyObject*, N> bind_call(const char* function, const std::array<const char*, N>& parameters,
                              size_t required, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> out{};
  bind_arguments(Signature{function, parameters, required}, args, kwargs, out);
  return out;
}

// An optional argument given as None counts as not given.
inline PyObject* none_as_absent(PyObject* arg) { return arg == Py_None ? nullptr : arg; }

// Accepts instances of bytes, list and dict (subclasses included).
void check_bytes(PyObject* arg, const char* name);
void check_list(PyObject* arg, const char* name);
void check_dict(PyObject* arg, const char* name);

// Reads an optional unsigned 64-bit integer through the index protocol
// (bool and objects with __index__ pass). A TypeError is re-raised with
// "argument '{name}': " before its message and the original's cause; any
// other exception (OverflowError for a negative value or one of 2**64 or
// more) passes unchanged. nullopt for a missing argument.
std::optional<uint64_t> read_optional_u64(PyObject* arg, const char* name);

}  // namespace korvane::python
