#include "core/agentlog/canonical.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "core/json/number_format.h"
#include "core/json/writer.h"
#include "core/unicode/blocks.h"
#include "core/unicode/normalize.h"

namespace korvane::agentlog {
namespace {

using json::FormMember;
using json::JsonObject;

// Normalized keys by unsigned bytes (std::string_view compares as unsigned
// char), equal ones by their stored bytes.
bool member_less(const FormMember& a, const FormMember& b) {
  const int c = a.key.compare(b.key);
  return c != 0 ? c < 0 : a.member->key < b.member->key;
}

// Whether text is at most a block of ASCII (most keys): in NFC, and known so
// at the cost of one load.
bool is_short_ascii(std::string_view text) {
  if (text.empty()) return true;
  if (text.size() > unicode::kTextBlock) return false;
  const unsigned in_text = (1u << text.size()) - 1;
  return (unicode::non_ascii_mask(unicode::load_block(text.data(), text.size())) & in_text) == 0;
}

void sort_members(FormMember* first, FormMember* last) {
  if (static_cast<size_t>(last - first) > kInsertionSortMembers) {
    std::stable_sort(first, last, member_less);
    return;
  }
  for (FormMember* i = first + 1; i < last; ++i) {
    const FormMember m = *i;
    FormMember* j = i;
    for (; j > first && member_less(m, j[-1]); --j) *j = j[-1];
    *j = m;
  }
}

// Appends text quoted, normalized and escaped. ASCII text and other text
// that passes the NFC quick check (nearly all) is in NFC already and is
// escaped from where it lies; other text is normalized into scratch first.
// A short text is checked only when its writing has seen a non-ASCII byte,
// and then written again if need be: the room made first keeps the output
// from handing its bytes on meanwhile.
void append_string(json::Output& out, std::string_view text, std::string& scratch) {
  if (text.size() <= kCheckedWhileWrittenBytes) {
    static_cast<void>(out.room(json::kMaxEscapedBytesPerByte * text.size() + json::kQuotedSlackBytes));
    const size_t start = out.size();
    if (!json::append_json_string_seeing_non_ascii(out, text) || unicode::passes_nfc_quick_check(text)) return;
    out.truncate(start);
  } else if (unicode::passes_nfc_quick_check(text)) {
    json::append_json_string(out, text);
    return;
  }
  scratch.clear();
  unicode::append_nfc(scratch, text);
  json::append_json_string(out, scratch);
}

// The canonical choices for json::append_compact(). The normalized forms of
// the non-ASCII keys of the open objects are kept in nfc_keys_, each string
// in its own allocation so that views into it stay valid while the pool
// grows; they are reused once their object is closed.
class CanonicalForm {
 public:
  void string(json::Output& out, std::string_view text) { append_string(out, text, nfc_text_); }
  // Keys are normalized by open_object().
  void key(json::Output& out, std::string_view text) { json::append_json_key(out, text); }
  void number(json::Output& out, double value) {
    out.commit(json::write_canonical_double(out.room(json::kMaxNumberChars), value));
  }

  size_t open_object(const JsonObject& object, std::pmr::vector<FormMember>& members) {
    const size_t mark = nfc_used_;
    const size_t first = members.size();
    for (const JsonObject::Member& m : object) members.push_back({normalized_key(m.key), &m});
    sort_members(members.data() + first, members.data() + members.size());
    return mark;
  }

  void close_object(size_t mark) { nfc_used_ = mark; }

 private:
  std::string_view normalized_key(std::string_view key) {
    if (is_short_ascii(key) || unicode::passes_nfc_quick_check(key)) return key;
    if (nfc_used_ == nfc_keys_.size()) nfc_keys_.push_back(std::make_unique<std::string>());
    std::string& nfc = *nfc_keys_[nfc_used_++];
    nfc.clear();
    unicode::append_nfc(nfc, key);
    return nfc;
  }

  std::vector<std::unique_ptr<std::string>> nfc_keys_;
  size_t nfc_used_ = 0;   // entries of nfc_keys_ in use by the open objects
  std::string nfc_text_;  // scratch of append_string()
};

}  // namespace

void write_canonical(json::Output& out, const json::JsonValue& value) {
  CanonicalForm form;
  json::append_compact(out, value, form);
}

std::string canonical_bytes(const json::JsonValue& value) {
  json::Output out;
  write_canonical(out, value);
  return std::string(out.view());
}

}  // namespace korvane::agentlog
