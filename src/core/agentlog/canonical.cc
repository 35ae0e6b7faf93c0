#include "core/agentlog/canonical.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "core/json/number_format.h"
#include "core/json/writer.h"
#include "core/unicode/normalize.h"
#include "core/unicode/utf8.h"

namespace korvane::agentlog {
namespace {

using json::JsonObject;
using json::JsonValue;

struct Member {
  std::string_view key;  // normalized
  const JsonValue* value;
};

bool key_less(const Member& a, const Member& b) { return a.key < b.key; }

// Stable sort by key bytes. Objects are mostly small, and an insertion sort
// needs no buffer; larger ones go to a stable merge sort.
void sort_members(Member* first, Member* last) {
  if (last - first >= 21) {
    std::stable_sort(first, last, key_less);
    return;
  }
  for (Member* i = first + 1; i < last; ++i) {
    const Member m = *i;
    Member* j = i;
    for (; j > first && key_less(m, j[-1]); --j) *j = j[-1];
    *j = m;
  }
}

// Appends text quoted, normalized and escaped. scratch receives the NFC form
// of non-ASCII text; ASCII text is its own NFC and is escaped directly.
void append_string(std::string& out, std::string_view text, std::string& scratch) {
  if (unicode::is_ascii(text)) {
    json::append_json_string(out, text);
    return;
  }
  scratch.clear();
  unicode::append_nfc(scratch, text);
  json::append_json_string(out, scratch);
}

// Writes one value tree. The scratch space is shared by the whole tree so
// that objects cost no allocations of their own once it has grown: members_
// is a stack holding, for each object being written, its members in sorted
// order, and nfc_keys_ holds the normalized forms of its non-ASCII keys
// (each string in its own allocation, so that the views into it stay valid
// while the pool grows).
class Encoder {
 public:
  // 32 members cover the open objects of a typical payload in one allocation.
  explicit Encoder(std::string& out) : out_(out) { members_.reserve(32); }

  void value(const JsonValue& v) {
    switch (v.type()) {
      case JsonValue::Type::kNull:
        out_ += "null";
        return;
      case JsonValue::Type::kBool:
        out_ += *v.if_bool() ? "true" : "false";
        return;
      case JsonValue::Type::kUInt:
        json::append_integer(out_, *v.if_uint());
        return;
      case JsonValue::Type::kInt:
        json::append_integer(out_, *v.if_int());
        return;
      case JsonValue::Type::kDouble:
        json::append_canonical_double(out_, *v.if_double());
        return;
      case JsonValue::Type::kString:
        append_string(out_, *v.if_string(), nfc_text_);
        return;
      case JsonValue::Type::kArray:
        array(*v.if_array());
        return;
      case JsonValue::Type::kObject:
        object(*v.if_object());
        return;
    }
  }

 private:
  void array(const JsonValue::Array& elements) {
    out_ += '[';
    for (size_t i = 0; i < elements.size(); ++i) {
      if (i > 0) out_ += ',';
      value(elements[i]);
    }
    out_ += ']';
  }

  void object(const JsonObject& members) {
    const size_t begin = members_.size();
    const size_t keys_mark = nfc_used_;
    for (const JsonObject::Member& m : members) members_.push_back({normalized_key(m.key), &m.value});
    const size_t end = members_.size();
    sort_members(members_.data() + begin, members_.data() + end);

    out_ += '{';
    for (size_t i = begin; i < end; ++i) {
      const Member m = members_[i];  // by value: nested objects grow members_
      if (i > begin) out_ += ',';
      json::append_json_string(out_, m.key);
      out_ += ':';
      value(*m.value);
    }
    out_ += '}';
    members_.resize(begin);
    nfc_used_ = keys_mark;
  }

  std::string_view normalized_key(std::string_view key) {
    if (unicode::is_ascii(key)) return key;
    if (nfc_used_ == nfc_keys_.size()) nfc_keys_.push_back(std::make_unique<std::string>());
    std::string& nfc = *nfc_keys_[nfc_used_++];
    nfc.clear();
    unicode::append_nfc(nfc, key);
    return nfc;
  }

  std::string& out_;
  std::vector<Member> members_;
  std::vector<std::unique_ptr<std::string>> nfc_keys_;
  size_t nfc_used_ = 0;  // entries of nfc_keys_ in use by the open objects
  std::string nfc_text_;  // scratch of append_string()
};

}  // namespace

void write_canonical(std::string& out, const JsonValue& value) { Encoder(out).value(value); }

void write_canonical_string(std::string& out, std::string_view text) {
  std::string scratch;
  append_string(out, text, scratch);
}

std::string canonical_bytes(const JsonValue& value) {
  std::string out;
  out.reserve(256);  // most payloads need a few hundred bytes: skips the first regrowths
  write_canonical(out, value);
  return out;
}

}  // namespace korvane::agentlog
