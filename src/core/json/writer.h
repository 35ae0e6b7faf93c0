// The compact interchange form of JSON values.
//
// No whitespace between tokens, object members in stored order, strings
// copied byte for byte except for the quotation mark, the reverse solidus and
// the characters below U+0020 (\b \t \n \f \r, others as \u00XX with lowercase
// hex digits), integers in plain decimal and doubles in the interchange form
// of number_format.h. It is the form of every line of a written trace and of
// values quoted inside divergence messages.
//
// append_compact() is the walk this form shares with the canonical form
// (agentlog/canonical.h), which differs only in its strings, its doubles and
// the order of object members. It keeps the open arrays and objects on a heap
// stack, so the depth of a value costs no machine stack.
#pragma once

#include <array>
#include <cstddef>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/number_format.h"
#include "core/json/output.h"
#include "core/json/value.h"

namespace korvane::json {

void append_json(Output& out, const JsonValue& value);
void append_json_string(Output& out, std::string_view text);
// The same, returning whether text holds a byte 0x80 or above (a non-ASCII
// scalar), seen on the way.
bool append_json_string_seeing_non_ascii(Output& out, std::string_view text);
// A member's key: the string, then the colon.
void append_json_key(Output& out, std::string_view text);

// The same forms as a std::string: a string appended, a value's text new.
void append_json_string(std::string& out, std::string_view text);
std::string to_json_text(const JsonValue& value);

// One member of an object as a form writes it: the key's text in that form's
// terms, and the member.
struct FormMember {
  std::string_view key;
  const JsonObject::Member* member;
};

// Appends the compact text of value, with the choices of form:
//
//   void string(Output& out, std::string_view text);  // a string, quoted
//   void key(Output& out, std::string_view text);     // a key from open_object(), quoted, and ':' 
//   void number(Output& out, double value);           // a finite double
//   // Appends the members of object in writing order; their keys are valid
//   // until close_object() is given the mark open_object() returned.
//   size_t open_object(const JsonObject& object, std::pmr::vector<FormMember>& members);
//   void close_object(size_t mark);
template <typename Form>
void append_compact(Output& out, const JsonValue& root, Form& form);

// A quoted string takes at most kMaxEscapedBytesPerByte bytes per byte of
// text (\u00XX), and kQuotedSlackBytes more of room while it is written.
inline constexpr size_t kMaxEscapedBytesPerByte = 6;
inline constexpr size_t kQuotedSlackBytes = 96;

// The walk's stacks start in a buffer of this many bytes on the machine
// stack, so that a typical value is written without allocating.
inline constexpr size_t kWalkBufferBytes = 2048;

// ---- implementation

template <typename Form>
void append_compact(Output& out, const JsonValue& root, Form& form) {
  // An open array walks [next, end) of its elements; an open object walks
  // [member, members_end) of `members`, from `first` on.
  struct Open {
    const JsonValue* next;
    const JsonValue* end;
    size_t first, member, members_end, mark;
  };
  alignas(std::max_align_t) std::array<std::byte, kWalkBufferBytes> buffer;
  std::pmr::monotonic_buffer_resource memory(buffer.data(), buffer.size());
  std::pmr::vector<Open> open(&memory);
  std::pmr::vector<FormMember> members(&memory);
  open.reserve(8);
  members.reserve(32);
  const JsonValue* v = &root;
  for (;;) {
    switch (v->type()) {
      case JsonValue::Type::kNull:
        out.put("null");
        break;
      case JsonValue::Type::kBool:
        out.put(*v->if_bool() ? std::string_view("true") : std::string_view("false"));
        break;
      case JsonValue::Type::kUInt:
        out.commit(write_integer(out.room(kMaxNumberChars), *v->if_uint()));
        break;
      case JsonValue::Type::kInt:
        out.commit(write_integer(out.room(kMaxNumberChars), *v->if_int()));
        break;
      case JsonValue::Type::kDouble:
        form.number(out, *v->if_double());
        break;
      case JsonValue::Type::kString:
        form.string(out, *v->if_string());
        break;
      case JsonValue::Type::kArray: {
        const JsonArray& array = *v->if_array();
        out.put('[');
        if (!array.empty()) {
          open.push_back({array.begin() + 1, array.end(), 0, 0, 0, 0});
          v = array.begin();
          continue;
        }
        out.put(']');
        break;
      }
      case JsonValue::Type::kObject: {
        const size_t first = members.size();
        const size_t mark = form.open_object(*v->if_object(), members);
        out.put('{');
        if (members.size() != first) {
          open.push_back({nullptr, nullptr, first, first, members.size(), mark});
          form.key(out, members[first].key);
          v = &members[first].member->value;
          continue;
        }
        form.close_object(mark);
        out.put('}');
        break;
      }
    }
    // v is complete: close what it completes, then go on to the next value.
    for (;;) {
      if (open.empty()) return;
      Open& o = open.back();
      if (o.end != nullptr) {
        if (o.next != o.end) {
          out.put(',');
          v = o.next++;
          break;
        }
        out.put(']');
      } else {
        if (++o.member != o.members_end) {
          out.put(',');
          form.key(out, members[o.member].key);
          v = &members[o.member].member->value;
          break;
        }
        members.resize(o.first);
        form.close_object(o.mark);
        out.put('}');
      }
      open.pop_back();
    }
  }
}

}  // namespace korvane::json
