// The five functions of korvane._core, with the calling convention of
// METH_VARARGS | METH_KEYWORDS functions. Each binds and checks its
// arguments, converts them, runs the work and returns a new object, or
// returns nullptr with an exception set (errors.h).
#pragma once

#include "python/python_api.h"

namespace korvane::python {

PyObject* parse_agentlog(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* write_agentlog(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* canonical_bytes(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* content_id(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compute_diff_report(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace korvane::python
