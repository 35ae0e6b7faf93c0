// Conversion of Python objects into the core's values.
//
// to_json_value() turns plain Python data into a JsonValue. The first rule
// that matches decides, tested on the object's type (subclasses of the
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
// Nesting is bounded: more than kMaxDepth nested containers, or more than
// the interpreter's own recursion limit allows, fail with the interpreter's
// RecursionError text, so a value that contains itself or is nested
// arbitrarily deep never exhausts the C stack. Every JsonValue built here is
// therefore at most kMaxDepth deep.
#pragma once

#include "python/python_api.h"

#include <vector>

#include "core/agentlog/record.h"
#include "core/json/value.h"

namespace korvane::python {

inline constexpr int kMaxDepth = 1000;

json::JsonValue to_json_value(PyObject* object);

// Converts each element of a list (or subclass) with to_json_value() and
// decodes it as a record, in list order. The list is walked by index while
// the index is below both its length at the start and its current length.
// The first failing element stops the conversion with its message.
std::vector<agentlog::Record> pylist_to_records(PyObject* list);

// The qualified name of an object's type, for messages.
std::string type_name_of(PyObject* object);

}  // namespace korvane::python
