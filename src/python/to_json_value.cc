#include "python/to_json_value.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/error.h"
#include "python/errors.h"
#include "python/object.h"

namespace korvane::python {

using json::JsonObject;
using json::JsonValue;

// The 128-bit reads of wide integers split the value at bit 64 and read the
// upper half as a C long.
static_assert(sizeof(long) == 8, "the wide integer reads need a 64-bit long");

namespace {

constexpr char kRecursionWhere[] = " while converting a Python object to JSON";
constexpr char kOutOfRange[] = "JSON number out of range";

// collections.abc.Sequence and Mapping, imported on first need and kept for
// the life of the process.
PyObject* g_sequence_abc = nullptr;
PyObject* g_mapping_abc = nullptr;

bool load_abcs() {
  if (g_mapping_abc != nullptr) return true;
  PyRef name(PyUnicode_FromString("collections.abc"));
  PyRef module(name ? PyImport_Import(name.get()) : nullptr);
  PyRef sequence(module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr);
  PyRef mapping(sequence ? PyObject_GetAttrString(module.get(), "Mapping") : nullptr);
  if (!mapping) {
    PyErr_WriteUnraisable(nullptr);
    return false;
  }
  g_sequence_abc = sequence.release();
  g_mapping_abc = mapping.release();
  return true;
}

enum class Abc { kSequence, kMapping };

// isinstance(object, collections.abc.Sequence or Mapping); an error in the
// import or in the test is reported as unraisable and counts as false, except
// KeyboardInterrupt and SystemExit, which pass through.
bool is_instance_of(PyObject* object, Abc abc) {
  if (!load_abcs()) return false;
  const int result = PyObject_IsInstance(object, abc == Abc::kSequence ? g_sequence_abc : g_mapping_abc);
  if (result < 0) {
    if (interrupt_pending()) throw_pending();
    PyErr_WriteUnraisable(object);
    return false;
  }
  return result == 1;
}

// The interpreter's own RecursionError text, for the module's own cap.
[[noreturn, gnu::noinline, gnu::cold]] void throw_too_deep() {
  throw Error(std::string("RecursionError: maximum recursion depth exceeded") + kRecursionWhere);
}

[[noreturn, gnu::noinline, gnu::cold]] void throw_unexpected_type(PyObject* object, const char* target) {
  throw Error("unexpected type: '" + type_name_of(object) + "' object cannot be converted to '" +
              target + "'");
}

// The text of a dict key, which must be a str (or subclass).
std::string key_text(PyObject* key) {
  if (!PyUnicode_Check(key)) throw_unexpected_type(key, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) throw_pending();
  return std::string(text, static_cast<size_t>(size));
}

class Converter {
 public:
  JsonValue convert(PyObject* object);

 private:
  // Counts one level of container nesting for as long as it lives.
  class Nested {
   public:
    explicit Nested(int& depth) : depth_(depth) {
      if (depth_ >= kMaxDepth) throw_too_deep();
      if (Py_EnterRecursiveCall(kRecursionWhere) != 0) throw_pending();
      ++depth_;
    }
    ~Nested() {
      --depth_;
      Py_LeaveRecursiveCall();
    }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;

   private:
    int& depth_;
  };

  [[gnu::noinline]] JsonValue convert_other(PyObject* object, PyTypeObject* type);
  JsonValue convert_str(PyObject* object);
  JsonValue convert_float(PyObject* object);
  JsonValue convert_int(PyObject* object);
  JsonValue convert_wide_int(PyObject* object, bool positive);
  [[gnu::noinline]] JsonValue convert_list_or_tuple(PyObject* object, bool is_list);
  [[gnu::noinline]] JsonValue convert_dict(PyObject* dict);
  JsonValue convert_mapping(PyObject* object);
  JsonValue convert_iterable(PyObject* object);
  JsonValue convert_sequence(PyObject* object);

  int depth_ = 0;
  // Owned references to the entries of the dicts being converted, innermost
  // last (see convert_dict).
  std::vector<PyObject*> entries_;
};

JsonValue Converter::convert(PyObject* object) {
  if (object == Py_None) return JsonValue();
  if (object == Py_True) return JsonValue(true);
  if (object == Py_False) return JsonValue(false);
  // The exact built-in types, which make up nearly every payload, by a
  // pointer comparison; then the rules in their order, by the type's flags.
  PyTypeObject* const type = Py_TYPE(object);
  if (type == &PyUnicode_Type) return convert_str(object);
  if (type == &PyDict_Type) return convert_dict(object);
  if (type == &PyList_Type) return convert_list_or_tuple(object, true);
  if (type == &PyLong_Type) return convert_int(object);
  if (type == &PyFloat_Type) return convert_float(object);

  return convert_other(object, type);
}

// The rules for every other object, in their order. Kept out of convert()
// so that the frame of the recursion stays small.
JsonValue Converter::convert_other(PyObject* object, PyTypeObject* type) {
  const unsigned long flags = PyType_GetFlags(type);
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) return convert_int(object);
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) return convert_list_or_tuple(object, true);
  if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) return convert_list_or_tuple(object, false);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return convert_mapping(object);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return convert_str(object);
  if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
    throw Error("invalid type: byte array, expected any valid JSON value");
  }
  if (PyByteArray_Check(object)) throw_unexpected_type(object, "PyBytes");
  if (PyFloat_Check(object)) return convert_float(object);
  if (PyAnySet_Check(object)) return convert_iterable(object);
  if (is_instance_of(object, Abc::kSequence)) return convert_sequence(object);
  if (is_instance_of(object, Abc::kMapping)) return convert_mapping(object);
  throw Error("unsupported type " + type_name_of(object));
}

JsonValue Converter::convert_str(PyObject* object) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) throw_pending();
  return JsonValue(std::string(text, static_cast<size_t>(size)));
}

JsonValue Converter::convert_float(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw_pending();
  return JsonValue(value);  // NaN and the infinities give null
}

JsonValue Converter::convert_int(PyObject* object) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow != 0) return convert_wide_int(object, overflow > 0);
  if (value == -1 && PyErr_Occurred()) throw_pending();
  return JsonValue(static_cast<int64_t>(value));
}

// An integer outside the signed 64-bit range, read as the core's 128-bit
// reads do: unsigned first (fails below zero and from 2**128), then signed
// (fails beyond the signed 128-bit range, with the interpreter's overflow
// text). Only values of 2**63 to 2**64 - 1 fit a JsonValue.
JsonValue Converter::convert_wide_int(PyObject* object, bool positive) {
  if (positive) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
      return JsonValue(static_cast<uint64_t>(value));
    }
    PyErr_Clear();
  }
  // The exact int, so that no __rshift__ of a subclass runs.
  PyRef exact(PyNumber_Index(object));
  PyRef shift(exact ? PyLong_FromLong(64) : nullptr);
  PyRef upper(shift ? PyNumber_Rshift(exact.get(), shift.get()) : nullptr);
  if (!upper) throw_pending();
  if (positive) {
    const unsigned long long high = PyLong_AsUnsignedLongLong(upper.get());
    if (high != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) throw Error(kOutOfRange);
    PyErr_Clear();
  }
  const long high = PyLong_AsLong(upper.get());
  if (high == -1 && PyErr_Occurred()) throw_pending();
  throw Error(kOutOfRange);
}

JsonValue Converter::convert_list_or_tuple(PyObject* object, bool is_list) {
  Nested nested(depth_);
  const Py_ssize_t size = is_list ? PyList_Size(object) : PyTuple_Size(object);
  if (size < 0) throw_pending();
  JsonValue::Array elements;
  elements.reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    // Converting an element can run user code that shrinks the list.
    if (is_list && i >= PyList_Size(object)) break;
    PyRef element = PyRef::borrow(is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i));
    if (!element) throw_pending();
    elements.push_back(convert(element.get()));
  }
  return JsonValue(std::move(elements));
}

// An exact dict: its keys and values are taken as they are when the
// conversion starts (what keys() and values() would return), as owned
// references kept on entries_ rather than in two new lists, which would cost
// allocations and, through them, garbage collections.
JsonValue Converter::convert_dict(PyObject* dict) {
  Nested nested(depth_);
  const size_t base = entries_.size();
  const size_t count = static_cast<size_t>(PyDict_Size(dict));
  entries_.resize(base + 2 * count, nullptr);
  struct Release {
    std::vector<PyObject*>& entries;
    size_t base;
    ~Release() {
      for (size_t i = base; i < entries.size(); ++i) Py_XDECREF(entries[i]);
      entries.resize(base);
    }
  } release{entries_, base};
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (size_t i = 0; i < count && PyDict_Next(dict, &position, &key, &value); ++i) {
    entries_[base + i] = Py_NewRef(key);
    entries_[base + count + i] = Py_NewRef(value);
  }
  // Nested conversions push their own entries: index from base, not by pointer.
  JsonObject members;
  members.reserve(count);
  bool unique_keys = true;
  for (size_t i = 0; i < count; ++i) {
    PyObject* const entry_key = entries_[base + i];
    PyObject* const entry_value = entries_[base + count + i];
    if (entry_key == nullptr) break;  // unreachable: the dict cannot change while it is copied
    unique_keys = unique_keys && PyUnicode_CheckExact(entry_key);
    // The key first: a bad key fails before its value is converted.
    std::string text = key_text(entry_key);
    members.append(std::move(text), convert(entry_value));
  }
  if (!unique_keys) members.collapse_duplicates();
  return JsonValue(std::move(members));
}

// A dict subclass or a Mapping: keys() and values() are called once each,
// then len(); entry i pairs key i with value i, for i below the length.
JsonValue Converter::convert_mapping(PyObject* object) {
  Nested nested(depth_);
  PyRef keys(PyMapping_Keys(object));
  if (!keys) throw_pending();
  PyRef values(PyMapping_Values(object));
  if (!values) throw_pending();
  const Py_ssize_t size = PyMapping_Size(object);
  if (size < 0) throw_pending();

  JsonObject members;
  members.reserve(static_cast<size_t>(std::min(size, PyList_Size(keys.get()))));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* key = PyList_GetItem(keys.get(), i);
    if (key == nullptr) throw_pending();
    std::string text = key_text(key);
    PyRef value = PyRef::borrow(PyList_GetItem(values.get(), i));
    if (!value) throw_pending();
    members.append(std::move(text), convert(value.get()));
  }
  // A str subclass can make two keys with the same text.
  members.collapse_duplicates();
  return JsonValue(std::move(members));
}

JsonValue Converter::convert_iterable(PyObject* object) {
  Nested nested(depth_);
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) throw_pending();
  JsonValue::Array elements;
  while (PyRef element{PyIter_Next(iterator.get())}) elements.push_back(convert(element.get()));
  if (PyErr_Occurred()) throw_pending();
  return JsonValue(std::move(elements));
}

JsonValue Converter::convert_sequence(PyObject* object) {
  Nested nested(depth_);
  const Py_ssize_t size = PyObject_Size(object);
  if (size < 0) throw_pending();
  JsonValue::Array elements;
  // The length is the object's own claim: do not trust it for memory.
  elements.reserve(static_cast<size_t>(std::min<Py_ssize_t>(size, 4096)));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef element(PySequence_GetItem(object, i));
    if (!element) throw_pending();
    elements.push_back(convert(element.get()));
  }
  return JsonValue(std::move(elements));
}

}  // namespace

std::string type_name_of(PyObject* object) {
  PyRef name(PyType_GetQualName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (text == nullptr) throw_pending_as_error();
  return std::string(text, static_cast<size_t>(size));
}

JsonValue to_json_value(PyObject* object) {
  try {
    return Converter().convert(object);
  } catch (const PythonError&) {
    // Formatted only now that the conversion's recursion has unwound: at
    // the depth where a RecursionError was raised, even str() of it fails.
    throw_pending_as_error();
  }
}

std::vector<agentlog::Record> pylist_to_records(PyObject* list) {
  const Py_ssize_t start_size = PyList_Size(list);
  std::vector<agentlog::Record> records;
  records.reserve(static_cast<size_t>(std::max<Py_ssize_t>(start_size, 0)));
  for (Py_ssize_t i = 0; i < start_size && i < PyList_Size(list); ++i) {
    PyRef element = PyRef::borrow(PyList_GetItem(list, i));
    if (!element) throw_pending_as_error();
    records.push_back(agentlog::record_from_value(to_json_value(element.get())));
  }
  return records;
}

}  // namespace korvane::python
