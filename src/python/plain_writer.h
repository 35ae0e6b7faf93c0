// Writing records straight from plain Python data.
//
// write_agentlog's general road converts each record dict into a JsonValue
// tree, decodes the envelope and writes it. Almost every record is plain
// data: exact dicts, lists, tuples, strs, ints, floats, bools and None. For
// those, write_plain_record() writes the record's line directly, without the
// intermediate tree, and the result is byte for byte the general road's.
// Anything it does not handle (another type, a subclass, a key that is not
// an exact str, an integer out of range, a missing or mistyped envelope
// field, too deep a nesting) makes it return false with out unchanged; the
// caller then takes the general road for that record, which produces the
// output or the exact error.
//
// Plain data runs no Python code while it is read, so trying this first and
// falling back has no effect the general road would not have.
#pragma once

#include "python/python_api.h"

#include <string>

namespace korvane::python {

bool write_plain_record(std::string& out, PyObject* record);

}  // namespace korvane::python
