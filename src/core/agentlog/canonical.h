// Canonical JSON: the one byte sequence of a JSON value.
//
// Equal payloads must hash equally (see content_id.h), so the canonical form
// leaves no choice open. It differs from the compact interchange form of
// json/writer.h in four ways:
//  - every string and object key, at every depth, is put into Unicode
//    Normalization Form C;
//  - object members are sorted by the unsigned UTF-8 bytes of their
//    normalized keys (a key sorts before any longer key it is a prefix of);
//    two stored keys with the same normalized form are both written, ordered
//    by their stored bytes, so that objects equal as Python dicts get one
//    text whatever their insertion order;
//  - doubles are written in plain positional notation, without an exponent
//    or a trailing ".0", so a double with an integral value is written like
//    the integer of the same value; zero of either sign is "0";
//  - nothing else varies: no whitespace, array order kept, the escapes of the
//    interchange writer (\" \\ \b \t \n \f \r, other controls as \u00XX).
//
// The encoder keeps the open arrays and objects on a heap stack: the depth
// of a value costs no machine stack.
#pragma once

#include <cstddef>
#include <string>

#include "core/json/output.h"
#include "core/json/value.h"

namespace korvane::agentlog {

// Objects with at most this many members are sorted by insertion sort,
// larger ones by a merge sort (both stable).
inline constexpr size_t kInsertionSortMembers = 20;

// Strings of at most this many bytes are checked for NFC while they are
// written (the output holding room for the longest escaped form), longer ones
// before.
inline constexpr size_t kCheckedWhileWrittenBytes = 256;

// Appends the canonical form of value to out.
void write_canonical(json::Output& out, const json::JsonValue& value);

// The canonical form of value as a new byte string.
[[nodiscard]] std::string canonical_bytes(const json::JsonValue& value);

}  // namespace korvane::agentlog
