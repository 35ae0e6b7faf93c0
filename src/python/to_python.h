// Conversion of the core's values into new Python objects.
//
// null -> None, booleans -> bool, integers -> int, doubles -> float,
// strings -> str, arrays -> new list, objects -> new dict with the keys
// inserted in stored order. The result is a new reference owned by the
// caller; an interpreter failure (memory) throws PythonError. The walk keeps
// the containers being filled on a heap stack: depth costs no machine stack.
#pragma once

#include "python/python_api.h"

#include "core/json/value.h"
#include "python/object.h"

namespace korvane::python {

PyRef to_python(const json::JsonValue& value);

}  // namespace korvane::python
