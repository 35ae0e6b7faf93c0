#include "core/diff/text_measures.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/diff/axes.h"
#include "core/json/reader.h"
#include "core/unicode/case.h"
#include "core/unicode/properties.h"
#include "core/unicode/utf8.h"

namespace korvane::diff {
namespace {

bool is_ascii_alphanumeric(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string_view trim_white_space_end(std::string_view text) {
  size_t end = text.size();
  while (end > 0) {
    size_t start = end;
    if (!unicode::is_white_space(unicode::decode_before(text, start))) break;
    end = start;
  }
  return text.substr(0, end);
}

std::string_view trim_white_space_start(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t i = begin;
    if (!unicode::is_white_space(unicode::decode(text, i))) break;
    begin = i;
  }
  return text.substr(begin);
}

// The distinct opening byte pairs of the phrases: a phrase can only start
// where one of them does, and these pairs are rare in prose.
struct OpeningPair {
  char first;
  char second;
};
inline constexpr std::array<OpeningPair, 5> kOpeningPairs = {{{'i', ' '}, {'i', '\''}, {'a', 'g'}, {'n', 'o'}, {'r', 'e'}}};

constexpr bool every_phrase_has_a_listed_opening() {
  for (std::string_view phrase : kAbstentionPhrases) {
    bool listed = false;
    for (const OpeningPair& pair : kOpeningPairs) listed |= phrase[0] == pair.first && phrase[1] == pair.second;
    if (!listed) return false;
  }
  return true;
}
static_assert(every_phrase_has_a_listed_opening());

bool opens(const char* p) {
  for (const OpeningPair& pair : kOpeningPairs) {
    if (p[0] == pair.first && p[1] == pair.second) return true;
  }
  return false;
}

bool phrase_at(std::string_view text, size_t i) {
  const std::string_view rest = text.substr(i);
  for (std::string_view phrase : kAbstentionPhrases) {
    if (rest.starts_with(phrase)) return true;
  }
  return false;
}

#if defined(__GNUC__)
// Sixteen positions at a time: lane k of the result is all ones when an
// opening pair starts at p[k] (p[0 .. 16] must be readable).
using Bytes16 = unsigned char __attribute__((vector_size(16)));

bool any_opening_in_16(const char* p, Bytes16& hits) {
  Bytes16 first;
  Bytes16 second;
  std::memcpy(&first, p, 16);
  std::memcpy(&second, p + 1, 16);
  Bytes16 found{};
  for (const OpeningPair& pair : kOpeningPairs) {
    found |= (first == static_cast<unsigned char>(pair.first)) & (second == static_cast<unsigned char>(pair.second));
  }
  hits = found;
  uint64_t halves[2];
  std::memcpy(halves, &found, 16);
  return (halves[0] | halves[1]) != 0;
}
#endif

// The phrases are ASCII, so only the ASCII part of the lower-cased text can
// hold them. The projection writes, for each character of text, the ASCII
// scalars of its full lower-case mapping and one byte 0x80 (found in no
// phrase) in place of its non-ASCII ones, which keeps every ASCII run of the
// lower-cased text intact: U+212A KELVIN SIGN still gives "k", U+0130 still
// gives "i" followed by a non-ASCII mark. The one context rule of
// lower-casing a whole string, Final_Sigma, only chooses between two
// non-ASCII sigmas, so the projection holds a phrase exactly when the
// lower-cased text does. A character of two or more bytes writes at most
// three, so out needs room for 1.5 x text.size() bytes (with the current
// tables the projection is never longer than text). Returns the end of what
// was written.
char* project_lower(std::string_view text, char* out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p != end) {
    if (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        word = unicode::lower_ascii_word(word);
        std::memcpy(out, &word, 8);
        p += 8;
        out += 8;
        continue;
      }
    }
    const auto b = static_cast<unsigned char>(*p);
    if (b < 0x80) {
      *out++ = static_cast<char>(static_cast<unsigned>(b - 'A') < 26u ? b + ('a' - 'A') : b);
      ++p;
      continue;
    }
    size_t i = static_cast<size_t>(p - text.data());
    char32_t mapped[3];
    const size_t count = unicode::lower_mapping(unicode::decode(text, i), mapped);
    p = text.data() + i;
    bool placeholder = false;
    for (size_t k = 0; k < count; ++k) {
      if (mapped[k] < 0x80) {
        *out++ = static_cast<char>(mapped[k]);
      } else if (!placeholder) {
        *out++ = '\x80';
        placeholder = true;
      }
    }
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// The response text

std::string response_text(const agentlog::Record& record) {
  std::string text;
  const json::JsonValue::Array* content = content_blocks(record);
  if (content == nullptr) return text;
  bool first = true;
  for (const json::JsonValue& block : *content) {
    const std::string_view* piece = block_text(block);
    if (piece == nullptr) continue;
    if (!first) text += ' ';
    text += *piece;
    first = false;
  }
  return text;
}

std::string drill_down_text(const agentlog::Record& record) {
  std::string text;
  if (record.kind != agentlog::Kind::kChatResponse) return text;
  const json::JsonValue::Array* blocks = content_blocks(record);
  if (blocks == nullptr) return text;
  for (const json::JsonValue& block : *blocks) {
    const std::string_view* part = block_text(block);
    if (part == nullptr || part->empty()) continue;
    if (!text.empty()) text += '\n';
    text += *part;
  }
  return text;
}

// ---------------------------------------------------------------------------
// Code fences

std::string_view trim_white_space(std::string_view text) {
  return trim_white_space_start(trim_white_space_end(text));
}

std::string_view strip_markdown_fences(std::string_view text) {
  const std::string_view t = trim_white_space(text);
  if (!t.starts_with(kCodeFence)) return t;
  std::string_view body;
  if (const size_t line_feed = t.find('\n'); line_feed != std::string_view::npos) {
    body = t.substr(line_feed + 1);
  } else {
    body = t.substr(kCodeFence.size());
    size_t tag = 0;
    while (tag < body.size() && is_ascii_alphanumeric(body[tag])) ++tag;
    body.remove_prefix(tag);
  }
  body = trim_white_space_end(body);
  if (body.ends_with(kCodeFence)) body.remove_suffix(kCodeFence.size());
  return trim_white_space(body);
}

bool parses_as_json(std::string_view text) {
  const std::string_view t = trim_white_space(text);
  if (t.empty()) return false;
  std::string_view body = t;
  if (t.starts_with(kCodeFence)) {
    std::string_view inner = trim_white_space(t.substr(t.starts_with(kJsonCodeFence) ? kJsonCodeFence.size() : kCodeFence.size()));
    while (inner.ends_with(kCodeFence)) inner.remove_suffix(kCodeFence.size());
    body = trim_white_space(inner);
  }
  return json::is_json_text(body);
}

// ---------------------------------------------------------------------------
// Refusals

bool contains_abstention_phrase(std::string_view text) {
  const char* p = text.data();
  size_t i = 0;
#if defined(__GNUC__)
  for (Bytes16 hits; i + 17 <= text.size(); i += 16) {
    if (!any_opening_in_16(p + i, hits)) continue;
    for (size_t k = 0; k < 16; ++k) {
      if (hits[k] != 0 && phrase_at(text, i + k)) return true;
    }
  }
#endif
  for (; i + 1 < text.size(); ++i) {
    if (opens(p + i) && phrase_at(text, i)) return true;
  }
  return false;
}

bool is_abstention_with(const agentlog::Record& record) {
  const std::string_view* stop_reason = string_member(record.payload, "stop_reason");
  if (stop_reason != nullptr && *stop_reason == "content_filter") return true;
  const json::JsonValue::Array* content = content_blocks(record);
  if (content == nullptr) return false;

  // The response text (text blocks joined by single spaces), projected.
  std::vector<const std::string_view*> pieces;
  size_t size = 0;
  for (const json::JsonValue& block : *content) {
    if (const std::string_view* text = block_text(block)) {
      pieces.push_back(text);
      size += text->size() + 1;
    }
  }
  std::string lowered(size + size / 2, '\0');
  char* out = lowered.data();
  for (size_t k = 0; k < pieces.size(); ++k) {
    if (k != 0) *out++ = ' ';
    out = project_lower(*pieces[k], out);
  }
  lowered.resize(static_cast<size_t>(out - lowered.data()));
  return contains_abstention_phrase(lowered);
}

bool is_refusal(const agentlog::Record& record) {
  const std::string_view* reason = string_member(record.payload, "stop_reason");
  if (reason != nullptr && (*reason == "refusal" || *reason == "content_filter")) return true;
  const std::string lower = unicode::to_lower(drill_down_text(record));
  return std::any_of(kDrillDownRefusalPhrases.begin(), kDrillDownRefusalPhrases.end(),
                     [&](std::string_view phrase) { return lower.find(phrase) != std::string::npos; });
}

}  // namespace korvane::diff
