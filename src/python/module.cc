// PyInit__core: the module object korvane._core.
//
// The module is created once per process (single-phase initialisation) and
// the same object is returned when the interpreter asks again. It holds the
// version constants and the five functions, in that order, each also named
// in __all__; it keeps no other state. A second interpreter cannot load it.

#include "python/python_api.h"

#include <cstdint>

#include "python/errors.h"
#include "python/functions.h"
#include "python/object.h"

namespace korvane::python {
namespace {

constexpr char kModuleDoc[] =
    "The entry point the Python interpreter calls when `korvane._core` is\n"
    "imported. Registers every function above.";

// Each doc starts with the signature in the interpreter's text-signature
// form, which becomes __text_signature__ (and so inspect.signature()).
PyMethodDef kFunctions[] = {
    {"parse_agentlog", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_agentlog)),
     METH_VARARGS | METH_KEYWORDS,
     "parse_agentlog(data)\n--\n\n"
     "Parse a `.agentlog` byte blob into a list of record dicts."},
    {"write_agentlog", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_agentlog)),
     METH_VARARGS | METH_KEYWORDS,
     "write_agentlog(records)\n--\n\n"
     "Serialize a list of record dicts into `.agentlog` bytes."},
    {"canonical_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(canonical_bytes)),
     METH_VARARGS | METH_KEYWORDS,
     "canonical_bytes(payload)\n--\n\n"
     "Canonical-JSON byte sequence for a payload (SPEC §5)."},
    {"content_id", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(content_id)),
     METH_VARARGS | METH_KEYWORDS,
     "content_id(payload)\n--\n\n"
     "Content id for a payload dict (SPEC §6)."},
    {"compute_diff_report", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_diff_report)),
     METH_VARARGS | METH_KEYWORDS,
     "compute_diff_report(baseline, candidate, pricing=None, seed=None)\n--\n\n"
     "Compute a nine-axis diff between two traces.\n\n"
     "`baseline` and `candidate` are lists of record dicts (as produced by\n"
     "[`parse_agentlog`]). `pricing` is a `dict[str, tuple[float, float]]`\n"
     "mapping model name → (price_per_input_token, price_per_output_token).\n"
     "`seed` is an optional RNG seed for reproducible bootstrap CIs."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_core", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module of this process and the interpreter that created it.
PyObject* g_module = nullptr;
int64_t g_interpreter_id = -1;

// Sets module.name = value and appends name to module.__all__.
void add_attribute(PyObject* module, PyObject* all, const char* name, PyRef value) {
  if (!value) throw_pending();
  PyRef key(PyUnicode_InternFromString(name));
  if (!key || PyList_Append(all, key.get()) != 0 || PyObject_SetAttr(module, key.get(), value.get()) != 0) {
    throw_pending();
  }
}

PyObject* create_module() {
  if (!create_internal_error_type()) throw_pending();
  PyRef module = checked(PyModule_Create(&kModule));
  PyRef all(PyList_New(0));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) throw_pending();
  PyRef module_name = checked(PyModule_GetNameObject(module.get()));

  add_attribute(module.get(), all.get(), "__version__", PyRef(PyUnicode_FromString("1.7.3")));
  add_attribute(module.get(), all.get(), "SPEC_VERSION", PyRef(PyUnicode_FromString("0.1")));
  for (PyMethodDef* def = kFunctions; def->ml_name != nullptr; ++def) {
    add_attribute(module.get(), all.get(), def->ml_name,
                  PyRef(PyCMethod_New(def, module.get(), module_name.get(), nullptr)));
  }
  return module.release();
}

}  // namespace
}  // namespace korvane::python

PyMODINIT_FUNC PyInit__core() {
  using namespace korvane::python;
  return guarded([]() -> PyObject* {
    const int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id < 0) throw_pending();
    if (g_module == nullptr) {
      g_module = create_module();
      g_interpreter_id = interpreter_id;
    } else if (interpreter_id != g_interpreter_id) {
      PyErr_SetString(PyExc_ImportError,
                      "korvane._core is already loaded in another interpreter; "
                      "sub-interpreters are not supported");
      throw_pending();
    }
    return PyRef::borrow(g_module).release();
  });
}
