#define Py_LIMITED_API 0x030B0000
#include <Python.h>

static PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_core", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__core() { return PyModule_Create(&kModule); }
