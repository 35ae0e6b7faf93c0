#include "python/to_json_value.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/error.h"
#include "python/errors.h"
#include "python/object.h"

namespace korvane::python {

using json::JsonArray;
using json::JsonObject;
using json::JsonValue;
using Member = JsonObject::Member;

// The 128-bit reads of wide integers split the value at bit 64 and read the
// upper half as a C long.
static_assert(sizeof(long) == 8, "the wide integer reads need a 64-bit long");

namespace {

constexpr char kOutOfRange[] = "JSON number out of range";

// Texts are asked from memory ahead of the writer up to this many bytes, a
// cache line at a time; the processor's own prefetching takes longer ones.
constexpr Py_ssize_t kPrefetchedTextBytes = 2048;
constexpr Py_ssize_t kCacheLine = 64;

// A Sequence's length is its own claim: elements are gathered as they come
// rather than allocated up front beyond this many.
constexpr Py_ssize_t kTrustedSequenceLength = 4096;

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

// The interpreter's own RecursionError text, for the nesting cap.
[[noreturn, gnu::noinline, gnu::cold]] void throw_too_deep() {
  throw Error("RecursionError: maximum recursion depth exceeded while converting a Python object to JSON");
}

[[noreturn, gnu::noinline, gnu::cold]] void throw_unexpected_type(PyObject* object, const char* target) {
  throw Error("unexpected type: '" + type_name_of(object) + "' object cannot be converted to '" +
              target + "'");
}

JsonValue convert_float(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw_pending();
  return JsonValue(value);  // NaN and the infinities give null
}

// An integer outside the signed 64-bit range, read as the core's 128-bit
// reads do: unsigned first (fails below zero and from 2**128), then signed
// (fails beyond the signed 128-bit range, with the interpreter's overflow
// text). Only values of 2**63 to 2**64 - 1 fit a JsonValue.
[[gnu::noinline]] JsonValue convert_wide_int(PyObject* object, bool positive) {
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

JsonValue convert_int(PyObject* object) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow != 0) return convert_wide_int(object, overflow > 0);
  if (value == -1 && PyErr_Occurred()) throw_pending();
  return JsonValue(static_cast<int64_t>(value));
}

}  // namespace

Conversion::Conversion()
    : arena_(arena_block_.data(), arena_block_.size()),
      stack_memory_(stack_block_.data(), stack_block_.size()),
      open_(&stack_memory_),
      entries_(&stack_memory_),
      viewed_(&stack_memory_) {
  open_.reserve(8);
  entries_.reserve(64);
  viewed_.reserve(64);
}

Conversion::~Conversion() {
  close_all();
  for (size_t i = 0; i < pinned_; ++i) Py_DECREF(viewed_[i]);
}

void Conversion::clear() {
  close_all();
  for (size_t i = 0; i < pinned_; ++i) Py_DECREF(viewed_[i]);
  pinned_ = 0;
  pinning_ = false;
  viewed_.clear();
  arena_.release();
}

void Conversion::pin() {
  if (pinning_) return;
  pinning_ = true;
  for (; pinned_ < viewed_.size(); ++pinned_) Py_INCREF(viewed_[pinned_]);
  for (Open& open : open_) {
    if (open.kind == Open::Kind::kDict) {
      for (size_t i = open.base + 2 * static_cast<size_t>(open.read); i < open.base + 2 * static_cast<size_t>(open.size); ++i) {
        Py_INCREF(entries_[i]);
      }
      open.owned_from = open.read;
      continue;
    }
    // Unchanged so far, the list is read where it lies from here on.
    open.live = true;
    if (!open.owned) {
      Py_INCREF(open.object);
      open.owned = true;
    }
  }
}

inline std::string_view Conversion::text(PyObject* str) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) throw_pending();
  // The writer reads the text soon: have its first lines on their way.
  for (Py_ssize_t at = kCacheLine; at < size && at < kPrefetchedTextBytes; at += kCacheLine) {
    __builtin_prefetch(utf8 + at);
  }
  viewed_.push_back(str);
  if (pinning_) {
    Py_INCREF(str);
    pinned_ = viewed_.size();
  }
  return {utf8, static_cast<size_t>(size)};
}

// The text of a dict key, which must be a str (or subclass).
inline std::string_view Conversion::key_text(PyObject* key) {
  if (Py_TYPE(key) != &PyUnicode_Type && !PyUnicode_Check(key)) throw_unexpected_type(key, "PyString");
  return text(key);
}

Conversion::Open& Conversion::push(Open&& open) {
  if (open_.size() >= kMaxConvertDepth) {
    if (open.owned) Py_DECREF(open.object);
    Py_XDECREF(open.values);
    throw_too_deep();
  }
  if (pinning_ && !open.owned && open.object != nullptr) {
    Py_INCREF(open.object);
    open.owned = true;
  }
  return open_.emplace_back(open);
}

// Converts a scalar into slot (raw storage) and returns true, or opens a
// container whose value will go there and returns false. The exact built-in
// types, which make up nearly every payload, are told apart by a pointer
// comparison; then the rules in their order, by the type's flags.
inline bool Conversion::visit(PyObject* object, JsonValue* slot) {
  PyTypeObject* const type = Py_TYPE(object);
  if (type == &PyUnicode_Type) {
    new (slot) JsonValue(JsonValue::borrowing(text(object)));
    return true;
  }
  if (type == &PyDict_Type) {
    open_dict(object, slot);
    return false;
  }
  if (type == &PyList_Type) {
    open_sequence(object, true, slot);
    return false;
  }
  if (object == Py_None) {
    new (slot) JsonValue();
    return true;
  }
  if (object == Py_True || object == Py_False) {
    new (slot) JsonValue(object == Py_True);
    return true;
  }
  if (type == &PyLong_Type) {
    new (slot) JsonValue(convert_int(object));
    return true;
  }
  if (type == &PyFloat_Type) {
    new (slot) JsonValue(convert_float(object));
    return true;
  }
  return visit_other(object, slot);
}

// The rules for every other object, in their order.
bool Conversion::visit_other(PyObject* object, JsonValue* slot) {
  const unsigned long flags = PyType_GetFlags(Py_TYPE(object));
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) {
    new (slot) JsonValue(convert_int(object));
    return true;
  }
  if (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) {
    open_sequence(object, (flags & Py_TPFLAGS_LIST_SUBCLASS) != 0, slot);
    return false;
  }
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
    new (slot) JsonValue(JsonValue::borrowing(text(object)));
    return true;
  }
  if (flags & Py_TPFLAGS_BYTES_SUBCLASS) throw Error("invalid type: byte array, expected any valid JSON value");
  if (PyByteArray_Check(object)) throw_unexpected_type(object, "PyBytes");
  if (PyFloat_Check(object)) {
    new (slot) JsonValue(convert_float(object));
    return true;
  }
  // What follows may run Python code (a dict subclass's keys() too), which
  // may drop the last reference to object held elsewhere. No type is both a
  // dict and one of the types tested above, so the rules keep their order.
  pin();
  const PyRef keep = PyRef::borrow(object);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
    open_mapping(object, slot);
    return false;
  }
  if (PyAnySet_Check(object)) {
    open_iterable(object, slot);
    return false;
  }
  if (is_instance_of(object, Abc::kSequence)) {
    open_abc_sequence(object, slot);
    return false;
  }
  if (is_instance_of(object, Abc::kMapping)) {
    open_mapping(object, slot);
    return false;
  }
  throw Error("unsupported type " + type_name_of(object));
}

void Conversion::open_sequence(PyObject* object, bool is_list, JsonValue* slot) {
  const Py_ssize_t size = is_list ? PyList_Size(object) : PyTuple_Size(object);
  if (size < 0) throw_pending();
  Open& open = push({.kind = is_list ? Open::Kind::kList : Open::Kind::kTuple, .live = pinning_, .object = object,
                     .size = size, .base = entries_.size()});
  open.elements = allocate<JsonValue>(static_cast<size_t>(size));
  open.out = slot;
  if (is_list && !pinning_) {
    entries_.resize(open.base + static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* element = PyList_GetItem(object, i);
      __builtin_prefetch(element);
      entries_[open.base + static_cast<size_t>(i)] = element;
    }
  }
}

void Conversion::open_dict(PyObject* dict, JsonValue* slot) {
  const Py_ssize_t size = PyDict_Size(dict);
  Open& open = push({.kind = Open::Kind::kDict, .size = size, .base = entries_.size(),
                     .owned_from = pinning_ ? 0 : size});
  open.members = allocate<Member>(static_cast<size_t>(size));
  open.out = slot;
  entries_.resize(open.base + 2 * static_cast<size_t>(size));
  PyObject** pair = entries_.data() + open.base;
  Py_ssize_t position = 0;
  for (Py_ssize_t i = 0; i < size && PyDict_Next(dict, &position, &pair[0], &pair[1]); ++i, pair += 2) {
    __builtin_prefetch(pair[0]);
    __builtin_prefetch(pair[1]);
    if (pinning_) {
      Py_INCREF(pair[0]);
      Py_INCREF(pair[1]);
    }
  }
}

// A dict subclass or a Mapping: keys() and values() are called once each,
// then len(); entry i pairs key i with value i, for i below the length. The
// caller has pinned the values made so far and holds object.
void Conversion::open_mapping(PyObject* object, JsonValue* slot) {
  PyRef keys = checked(PyMapping_Keys(object));
  PyRef values = checked(PyMapping_Values(object));
  const Py_ssize_t size = PyMapping_Size(object);
  if (size < 0) throw_pending();
  // keys() may hold str subclasses, or repeat a key.
  Open& open = push({.kind = Open::Kind::kMapping, .owned = true, .repeats = true, .object = keys.release(),
                     .values = values.release(), .size = size, .base = entries_.size()});
  open.members = allocate<Member>(static_cast<size_t>(std::min(size, PyList_Size(open.object))));
  open.out = slot;
}

void Conversion::open_iterable(PyObject* object, JsonValue* slot) {
  PyRef iterator = checked(PyObject_GetIter(object));
  Open& open = push({.kind = Open::Kind::kIterable, .owned = true, .object = iterator.release(),
                     .base = entries_.size()});
  open.out = slot;
}

void Conversion::open_abc_sequence(PyObject* object, JsonValue* slot) {
  const Py_ssize_t size = PyObject_Size(object);
  if (size < 0) throw_pending();
  Open& open = push({.kind = Open::Kind::kSequence, .object = object, .size = size, .base = entries_.size()});
  open.capacity = static_cast<size_t>(std::min(size, kTrustedSequenceLength));
  open.elements = allocate<JsonValue>(open.capacity);
  open.out = slot;
}

// The next slot of an iterable's or a Sequence's growing array.
JsonValue* Conversion::growing_slot(Open& open) {
  if (open.count == open.capacity) {
    const size_t capacity = std::max<size_t>(2 * open.capacity, 8);
    JsonValue* elements = allocate<JsonValue>(capacity);
    for (size_t i = 0; i < open.count; ++i) new (elements + i) JsonValue(std::move(open.elements[i]));
    open.elements = elements;
    open.capacity = capacity;
  }
  return open.elements + open.count;
}

// Converts the children of open in order, each into its place, until one
// is a container, which is opened (false: it is to be filled first), or open
// is complete (true). A child that opens a container may move open_ and
// entries_: nothing of them is touched after that. For dicts and mappings
// the member's key is stored first: a bad key fails before its value is
// converted.
bool Conversion::fill(Open& open) {
  switch (open.kind) {
    case Open::Kind::kDict:
      while (open.read < open.size) {
        PyObject* const* pair = entries_.data() + open.base + 2 * static_cast<size_t>(open.read++);
        open.repeats |= Py_TYPE(pair[0]) != &PyUnicode_Type;
        Member* member = new (open.members + open.count) Member{key_text(pair[0]), JsonValue()};
        if (!visit(pair[1], &member->value)) return false;
        ++open.count;
      }
      return true;
    case Open::Kind::kList:
      if (!open.live) {
        while (open.read < open.size) {
          if (!visit(entries_[open.base + static_cast<size_t>(open.read++)], open.elements + open.count)) return false;
          ++open.count;
        }
        return true;
      }
      // Python code run by an element may have shortened the list.
      while (open.read < open.size && open.read < PyList_Size(open.object)) {
        if (!visit(PyList_GetItem(open.object, open.read++), open.elements + open.count)) return false;
        ++open.count;
      }
      return true;
    case Open::Kind::kTuple:
      while (open.read < open.size) {
        if (!visit(PyTuple_GetItem(open.object, open.read++), open.elements + open.count)) return false;
        ++open.count;
      }
      return true;
    case Open::Kind::kMapping:
      while (open.read < open.size) {
        const Py_ssize_t i = open.read++;
        PyObject* key = PyList_GetItem(open.object, i);
        if (key == nullptr) throw_pending();
        Member* member = new (open.members + open.count) Member{key_text(key), JsonValue()};
        PyObject* value = PyList_GetItem(open.values, i);
        if (value == nullptr) throw_pending();
        if (!visit(value, &member->value)) return false;
        ++open.count;
      }
      return true;
    case Open::Kind::kIterable:
    case Open::Kind::kSequence:
      for (;;) {
        PyObject* child = nullptr;
        if (open.kind == Open::Kind::kIterable) {
          child = PyIter_Next(open.object);
          if (child == nullptr && !PyErr_Occurred()) return true;
        } else {
          if (open.read >= open.size) return true;
          child = PySequence_GetItem(open.object, open.read++);
        }
        if (child == nullptr) throw_pending();
        // A new reference: kept until the container is closed.
        entries_.push_back(child);
        if (!visit(child, growing_slot(open))) return false;
        ++open.count;
      }
  }
  return true;
}

// Writes the value of a complete container where it goes.
void Conversion::finish(Open& open) {
  switch (open.kind) {
    case Open::Kind::kList:
    case Open::Kind::kTuple:
    case Open::Kind::kIterable:
    case Open::Kind::kSequence:
      new (open.out) JsonValue(JsonArray::borrowing(open.elements, open.count));
      break;
    case Open::Kind::kDict:
    case Open::Kind::kMapping: {
      // A str subclass can make two keys with the same text.
      const size_t count = open.repeats ? json::collapse_repeated_keys(open.members, open.count) : open.count;
      new (open.out) JsonValue(JsonObject::borrowing(open.members, count));
      break;
    }
  }
}

// Drops the references of open, the innermost open container, and its part
// of entries_.
void Conversion::close(Open& open) {
  if (open.owned) Py_DECREF(open.object);
  Py_XDECREF(open.values);
  size_t owned_from = entries_.size();
  if (open.kind == Open::Kind::kDict) {
    owned_from = open.base + 2 * static_cast<size_t>(open.owned_from);
  } else if (open.kind == Open::Kind::kIterable || open.kind == Open::Kind::kSequence) {
    owned_from = open.base;
  }
  for (size_t i = owned_from; i < entries_.size(); ++i) Py_DECREF(entries_[i]);
  entries_.resize(open.base);
}

void Conversion::close_all() {
  while (!open_.empty()) {
    close(open_.back());
    open_.pop_back();
  }
}

JsonValue Conversion::convert(PyObject* object) {
  try {
    JsonValue root;
    if (visit(object, &root)) return root;
    for (;;) {
      Open& top = open_.back();
      if (!fill(top)) continue;
      finish(top);
      close(top);
      open_.pop_back();
      if (open_.empty()) return root;
      ++open_.back().count;
    }
  } catch (const PythonError&) {
    // The message is taken before any reference is dropped: dropping one can
    // run a finalizer.
    if (interrupt_pending()) {
      close_all();
      throw;
    }
    Error error(take_exception_message());
    close_all();
    throw error;
  } catch (...) {
    close_all();
    throw;
  }
}

std::string type_name_of(PyObject* object) {
  PyRef name(PyType_GetQualName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (text == nullptr) throw_pending_as_error();
  return std::string(text, static_cast<size_t>(size));
}

std::vector<agentlog::Record> pylist_to_records(PyObject* list, Conversion& conversion) {
  const Py_ssize_t start_size = PyList_Size(list);
  std::vector<agentlog::Record> records;
  records.reserve(static_cast<size_t>(std::max<Py_ssize_t>(start_size, 0)));
  for (Py_ssize_t i = 0; i < start_size && i < PyList_Size(list); ++i) {
    PyObject* element = PyList_GetItem(list, i);
    if (element == nullptr) throw_pending_as_error();
    records.push_back(agentlog::record_from_value(conversion.convert(element)));
  }
  return records;
}

}  // namespace korvane::python
