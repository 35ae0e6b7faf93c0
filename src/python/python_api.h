// The one way the binding includes the interpreter's headers.
//
// The module is built once against the stable ABI of CPython 3.11 and loads
// in every later interpreter, so only the limited API is visible. Every file
// of the binding includes this header first, before any standard header.
// (The build defines Py_LIMITED_API too; both must agree.)
#pragma once

#define PY_SSIZE_T_CLEAN
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#include <Python.h>

static_assert(Py_LIMITED_API == 0x030B0000, "the module targets the stable ABI of CPython 3.11");
