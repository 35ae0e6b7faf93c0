// PyBuilder: builds Python objects directly from the strict JSON reader, and
// parse_records(), the body of parse_agentlog.
//
// The reader calls the builder for every value it reads, so a trace becomes
// dicts, lists and strs without an intermediate JsonValue tree. A builder
// lives for one call: it caches the str objects of object keys (which repeat
// on every line of a trace) and, interned, the record dicts' own keys and
// kind names. Payload keys are not interned: an interned str can outlive
// every reference to it (some interpreters make them immortal), and keys
// read from traces are unbounded in number. Values are owned references
// (PyRef); an interpreter failure throws PythonError. Array elements wait on
// one shared stack until their array is complete; whatever a failed parse
// leaves there is released by the builder's destructor.
#pragma once

#include "python/python_api.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/agentlog/record.h"
#include "python/errors.h"
#include "python/object.h"

namespace korvane::python {

class PyBuilder {
 public:
  using Value = PyRef;
  struct Array {
    size_t start;  // position of the first element on the builder's stack
  };
  using Object = PyRef;

  PyBuilder();
  ~PyBuilder();
  PyBuilder(const PyBuilder&) = delete;
  PyBuilder& operator=(const PyBuilder&) = delete;

  Value make_null() { return PyRef::borrow(Py_None); }
  Value make_bool(bool b) { return PyRef::borrow(b ? Py_True : Py_False); }
  Value make_uint(uint64_t u) { return checked(PyLong_FromUnsignedLongLong(u)); }
  Value make_int(int64_t i) { return checked(PyLong_FromLongLong(i)); }
  Value make_double(double d) { return checked(PyFloat_FromDouble(d)); }
  Value make_string(std::string_view utf8) { return new_str(utf8); }

  Array begin_array() { return Array{stack_.size()}; }
  void push(Array&, Value&& value) {
    stack_.push_back(nullptr);
    stack_.back() = value.release();
  }
  Value end_array(Array&& array);

  Object begin_object() { return checked(PyDict_New()); }
  // A repeated key keeps its first position and takes the last value.
  void set(Object& object, std::string_view key, Value&& value);
  Value end_object(Object&& object) { return std::move(object); }

  // The record as a dict: "version", "id", "kind", "ts", "parent" (None
  // when absent), "meta" only when present, "payload".
  PyRef record_dict(agentlog::BasicRecord<Value>&& record);

 private:
  PyObject* key_object(std::string_view key);  // borrowed from the cache, or nullptr

  // The key cache is for the few names a trace repeats: longer keys, and
  // keys met once it is full, are made afresh each time.
  static constexpr size_t kMaxCachedKeySize = 64;  // bytes of the longest key cached
  static constexpr size_t kMaxCachedKeys = 4096;   // keys cached per call at most

  // The elements of the arrays being read, innermost array last; each entry
  // holds a reference (nullptr only while push() is storing it).
  std::vector<PyObject*> stack_;
  std::unordered_map<std::string_view, PyObject*> keys_;  // views into the keys' own UTF-8; each holds a reference
  // Interned, each holding a reference: kFieldNames and kKindNames as str.
  std::array<PyObject*, agentlog::kFieldNames.size()> field_keys_{};
  std::array<PyObject*, agentlog::kKindNames.size()> kind_names_{};
};

// Reads a whole trace into a new list of record dicts, with the reader's
// default limits. Throws korvane::Error with the reader's message on the
// first bad line; no partial list is returned.
PyRef parse_records(std::string_view input);

}  // namespace korvane::python
