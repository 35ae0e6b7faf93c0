#include "python/to_python.h"

#include <string_view>
#include <vector>

#include "python/errors.h"

namespace korvane::python {
namespace {

// A list or dict being filled: its value and the index of the next element
// or member to put in.
struct Filling {
  const json::JsonValue* value;
  PyRef object;
  size_t next;
};

// The Python object of a scalar or string, or an empty container (to be
// filled when the value has elements).
PyRef shallow(const json::JsonValue& value) {
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
      return new_str(*value.if_string());
    case Type::kArray:
      return checked(PyList_New(static_cast<Py_ssize_t>(value.if_array()->size())));
    case Type::kObject:
      return checked(PyDict_New());
  }
  throw_pending();
}

size_t size_of(const json::JsonValue& value) {
  if (const json::JsonArray* array = value.if_array()) return array->size();
  if (const json::JsonObject* object = value.if_object()) return object->size();
  return 0;
}

}  // namespace

PyRef to_python(const json::JsonValue& root) {
  std::vector<Filling> filling;
  const json::JsonValue* value = &root;
  for (;;) {
    PyRef made = shallow(*value);
    if (size_of(*value) > 0) {
      filling.push_back({value, std::move(made), 0});
    } else {
      // made is complete: put it into its container, and every container
      // it completes into the next one out.
      for (;;) {
        if (filling.empty()) return made;
        Filling& f = filling.back();
        if (const json::JsonArray* array = f.value->if_array()) {
          // PyList_SetItem takes over the reference; it cannot fail on a
          // fresh list of the right size.
          PyList_SetItem(f.object.get(), static_cast<Py_ssize_t>(f.next), made.release());
          if (++f.next < array->size()) break;
        } else {
          const json::JsonObject& object = *f.value->if_object();
          PyRef key = new_str(object.begin()[f.next].key);
          if (PyDict_SetItem(f.object.get(), key.get(), made.get()) != 0) throw_pending();
          if (++f.next < object.size()) break;
        }
        made = std::move(f.object);
        filling.pop_back();
      }
    }
    const Filling& f = filling.back();
    value = f.value->if_array() != nullptr ? &(*f.value->if_array())[f.next] : &f.value->if_object()->begin()[f.next].value;
  }
}

}  // namespace korvane::python
