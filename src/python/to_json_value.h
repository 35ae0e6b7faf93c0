// Conversion of Python objects into the core's values.
//
// Conversion::convert() turns plain Python data into a JsonValue. The first
// rule that matches decides, tested on the object's type (subclasses of the
// built-in types match too): None; bool; int (64-bit range only); list and
// tuple; dict; str (as UTF-8); bytes and bytearray (rejected); float (NaN and
// the infinities become null); set and frozenset (iteration order); then any
// instance of collections.abc.Sequence (by index) or Mapping (as a dict); any
// other object is rejected. Dicts and mappings are read as the lists of their
// keys and of their values, fetched once; keys must be str.
//
// Every failure throws korvane::Error with the user-visible message; an
// exception raised by the interpreter or by user code (a failing __len__,
// keys() or __getitem__, a str without UTF-8 form) becomes the message
// "{exception type name}: {exception text}". Input objects are only read.
// Containers that change while they are read never make the conversion
// read out of bounds.
//
// Nothing is copied and nothing is allocated per value: the values a
// Conversion makes borrow their storage (see core/json/value.h). A string is
// a view of the interpreter's own UTF-8 form of the str object; arrays and
// objects lie in the conversion's arena, freed at once when the Conversion
// is destroyed or cleared. The values must not outlive it.
//
// The views stay valid because the str objects stay alive. Plain data (None,
// bool, and int, float, str, list, tuple, dict and their subclasses but dict's)
// is read without running any Python code, so nothing can free what has been
// viewed. Before the conversion first calls into Python code (an instance
// test, a mapping's keys(), a set's iterator, ...), and before its caller
// does while values are in use (pin()), it takes a strong reference to every
// str it has viewed and to every container it is reading, and copies the
// remaining entries of the dicts it is reading; from then on it takes them
// as it goes. The references are dropped by clear() and the destructor.
//
// Nesting is bounded: more than kMaxConvertDepth nested containers fail with
// the interpreter's RecursionError text, so a value that contains itself or
// is nested arbitrarily deep ends cleanly. The open containers are kept on a
// heap stack: depth costs no machine stack. Every JsonValue made here is
// therefore at most kMaxConvertDepth deep.
#pragma once

#include "python/python_api.h"

#include <array>
#include <cstddef>
#include <memory_resource>
#include <string>
#include <vector>

#include "core/agentlog/record.h"
#include "core/json/value.h"

namespace korvane::python {

// The deepest nesting of containers a Python value may have.
inline constexpr size_t kMaxConvertDepth = 1000;

// The bytes a Conversion holds for values, and for its working stacks,
// before it first allocates.
inline constexpr size_t kFirstArenaBytes = 4096;
inline constexpr size_t kFirstStackBytes = 2048;

class Conversion {
 public:
  Conversion();
  ~Conversion();
  Conversion(const Conversion&) = delete;
  Conversion& operator=(const Conversion&) = delete;

  // The value of object, valid until clear() or the destructor.
  json::JsonValue convert(PyObject* object);

  // Makes the values made so far independent of Python code the caller is
  // about to run (see above).
  void pin();

  // Forgets every value made so far: frees the arena, drops the references.
  void clear();

 private:
  // A container being read. Its elements or members go into an arena array
  // of the container's length (for iterables and Sequences, whose number is
  // known only at the end, one that grows); each is converted in place.
  //
  // The entries of a dict and the elements of a list are gathered on
  // entries_ when the container is opened, which also asks the memory for
  // all of them at once: converting is mostly waiting for objects to arrive.
  // A list read while Python code may run is read where it lies instead,
  // for it may shrink under the conversion.
  struct Open {
    enum class Kind : uint8_t {
      kList,      // object: the list; elements on entries_ unless live
      kTuple,     // object: the tuple, read by index
      kDict,      // key and value pairs on entries_
      kMapping,   // object: the keys() list, values: the values() list
      kIterable,  // object: the iterator; elements taken on entries_ (owned)
      kSequence,  // object: the Sequence, read by index; elements on entries_ (owned)
    };

    Kind kind;
    bool owned = false;    // object holds a strong reference of this frame
    bool repeats = false;  // two keys may have the same text (not all are exact str)
    bool live = false;     // kList: read from the list, not from entries_
    PyObject* object = nullptr;
    PyObject* values = nullptr;  // kMapping: owned
    Py_ssize_t read = 0;         // elements or entries taken
    Py_ssize_t size = 0;         // elements or entries to take
    size_t base = 0;             // where this container's part of entries_ starts
    Py_ssize_t owned_from = 0;   // kDict: the pairs from this one on hold references
    size_t count = 0;            // elements or members complete
    size_t capacity = 0;         // kIterable, kSequence: room in elements
    json::JsonValue* elements = nullptr;
    json::JsonObject::Member* members = nullptr;
    json::JsonValue* out = nullptr;  // where the container's value goes
  };

  bool visit(PyObject* object, json::JsonValue* slot);
  [[gnu::noinline]] bool visit_other(PyObject* object, json::JsonValue* slot);
  bool fill(Open& open);
  void finish(Open& open);
  void close(Open& open);
  void close_all();

  Open& push(Open&& open);
  void open_sequence(PyObject* object, bool is_list, json::JsonValue* slot);
  void open_dict(PyObject* dict, json::JsonValue* slot);
  void open_mapping(PyObject* object, json::JsonValue* slot);
  void open_iterable(PyObject* object, json::JsonValue* slot);
  void open_abc_sequence(PyObject* object, json::JsonValue* slot);
  json::JsonValue* growing_slot(Open& open);
  std::string_view text(PyObject* str);
  std::string_view key_text(PyObject* key);

  template <typename T>
  T* allocate(size_t n) {
    return static_cast<T*>(arena_.allocate(n * sizeof(T), alignof(T)));
  }

  // The first blocks of the arena and of the working stacks, enough for a
  // typical payload: a call converting one makes no allocation of its own.
  // The arena is released by clear(); the stacks keep their memory.
  alignas(std::max_align_t) std::array<std::byte, kFirstArenaBytes> arena_block_;
  alignas(std::max_align_t) std::array<std::byte, kFirstStackBytes> stack_block_;
  std::pmr::monotonic_buffer_resource arena_;
  std::pmr::monotonic_buffer_resource stack_memory_;
  std::pmr::vector<Open> open_;          // the containers being read, innermost last
  std::pmr::vector<PyObject*> entries_;  // the gathered entries and elements of the open containers
  std::pmr::vector<PyObject*> viewed_;   // the str objects viewed, pinned ones first
  size_t pinned_ = 0;                                // viewed_[0, pinned_) hold a strong reference
  bool pinning_ = false;                             // every reference taken as it goes
};

// Converts each element of a list (or subclass) with conversion and decodes
// it as a record, in list order. The list is walked by index while the index
// is below both its length at the start and its current length. The first
// failing element stops the conversion with its message. The records borrow
// from conversion.
std::vector<agentlog::Record> pylist_to_records(PyObject* list, Conversion& conversion);

// The qualified name of an object's type, for messages.
std::string type_name_of(PyObject* object);

}  // namespace korvane::python
