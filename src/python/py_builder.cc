#include "python/py_builder.h"

#include <optional>
#include <utility>

#include "core/agentlog/parser.h"
#include "python/errors.h"

namespace korvane::python {

static_assert(json::Builder<PyBuilder>);
namespace {

PyObject* interned(std::string_view text) {
  PyObject* object = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (object == nullptr) throw_pending();
  PyUnicode_InternInPlace(&object);
  return object;
}

}  // namespace

PyBuilder::PyBuilder() {
  try {
    for (size_t i = 0; i < field_keys_.size(); ++i) field_keys_[i] = interned(agentlog::kFieldNames[i]);
    for (size_t i = 0; i < kind_names_.size(); ++i) kind_names_[i] = interned(agentlog::kKindNames[i]);
  } catch (...) {
    for (PyObject* object : field_keys_) Py_XDECREF(object);
    for (PyObject* object : kind_names_) Py_XDECREF(object);
    throw;
  }
}

PyBuilder::~PyBuilder() {
  for (PyObject* object : stack_) Py_XDECREF(object);
  for (auto& [view, object] : keys_) Py_DECREF(object);
  for (PyObject* object : field_keys_) Py_DECREF(object);
  for (PyObject* object : kind_names_) Py_DECREF(object);
}

PyBuilder::Value PyBuilder::end_array(Array&& array) {
  const size_t count = stack_.size() - array.start;
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
  PyObject** elements = stack_.data() + array.start;
  for (size_t i = 0; i < count; ++i) {
    // PyList_SetItem takes the element's reference; it cannot fail on a
    // fresh list of the right size.
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), elements[i]);
  }
  stack_.resize(array.start);
  return list;
}

PyObject* PyBuilder::key_object(std::string_view key) {
  if (key.size() > kMaxCachedKeySize) return nullptr;
  if (auto found = keys_.find(key); found != keys_.end()) return found->second;
  if (keys_.size() >= kMaxCachedKeys) return nullptr;
  PyObject* object = PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
  if (object == nullptr) throw_pending();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) {
    Py_DECREF(object);
    throw_pending();
  }
  try {
    keys_.emplace(std::string_view(utf8, static_cast<size_t>(size)), object);
  } catch (...) {
    Py_DECREF(object);
    throw;
  }
  return object;
}

void PyBuilder::set(Object& object, std::string_view key, Value&& value) {
  PyObject* cached = key_object(key);
  PyRef fresh = cached == nullptr ? new_str(key) : PyRef();
  if (PyDict_SetItem(object.get(), cached != nullptr ? cached : fresh.get(), value.get()) != 0) {
    throw_pending();
  }
}

PyRef PyBuilder::record_dict(agentlog::BasicRecord<Value>&& record) {
  PyRef dict = checked(PyDict_New());
  const auto put = [&](size_t field, PyObject* value) {
    if (PyDict_SetItem(dict.get(), field_keys_[field], value) != 0) throw_pending();
  };
  put(0, new_str(record.version).get());
  put(1, new_str(record.id).get());
  put(2, kind_names_[static_cast<size_t>(record.kind)]);
  put(3, new_str(record.ts).get());
  put(4, record.parent ? new_str(*record.parent).get() : Py_None);
  if (record.meta) put(5, record.meta->get());
  put(6, record.payload.get());
  return dict;
}

namespace {

// Holds the cyclic garbage collector off while a trace is read. The reader
// runs no Python code and makes only new containers, so no garbage can
// arise; yet every few hundred new containers would start a collection that
// walks all the records built so far, which makes reading a large trace
// cost more than the reading itself.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

}  // namespace

PyRef parse_records(std::string_view input) {
  CollectorPause pause;
  PyBuilder builder;
  agentlog::BasicParser<PyBuilder> parser(input, builder);
  PyRef list = checked(PyList_New(0));
  while (std::optional<agentlog::BasicRecord<PyRef>> record = parser.next()) {
    PyRef dict = builder.record_dict(std::move(*record));
    if (PyList_Append(list.get(), dict.get()) != 0) throw_pending();
  }
  return list;
}

}  // namespace korvane::python
