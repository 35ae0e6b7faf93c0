#include "python/to_python.h"

#include "python/errors.h"

namespace korvane::python {
namespace {

PyRef checked(PyObject* object) {
  if (object == nullptr) throw_pending();
  return PyRef(object);
}

PyRef text(const std::string& s) {
  return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

}  // namespace

PyRef to_python(const json::JsonValue& value) {
  using Type = json::JsonValue::Type;
  switch (value.type()) {
    case Type::kNull:
      return PyRef::borrow(Py_None);
    case Type::kBool:
      return PyRef::borrow(*value.if_bool() ? Py_True : Py_False);
    case Type::kUInt:
      return checked(PyLong_FromUnsignedLongLong(*value.if_uint()));
    case Type::kInt:
      return checked(PyLong_FromLongLong(*value.if_int()));
    case Type::kDouble:
      return checked(PyFloat_FromDouble(*value.if_double()));
    case Type::kString:
      return text(*value.if_string());
    case Type::kArray: {
      const json::JsonValue::Array& elements = *value.if_array();
      PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(elements.size())));
      for (size_t i = 0; i < elements.size(); ++i) {
        // PyList_SetItem takes over the element's reference, even on failure.
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_python(elements[i]).release()) != 0) {
          throw_pending();
        }
      }
      return list;
    }
    case Type::kObject: {
      PyRef dict = checked(PyDict_New());
      for (const json::JsonObject::Member& member : *value.if_object()) {
        PyRef key = text(member.key);
        if (PyDict_SetItem(dict.get(), key.get(), to_python(member.value).get()) != 0) throw_pending();
      }
      return dict;
    }
  }
  throw_pending();
}

}  // namespace korvane::python
