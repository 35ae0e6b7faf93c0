#include "core/diff/semantic.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "core/unicode/case.h"
#include "core/unicode/normalize.h"
#include "core/unicode/properties.h"
#include "core/unicode/utf8.h"

namespace korvane::diff {
namespace {

// Classes of bytes for the tokenizer's ASCII fast path, as bits: kToken for
// ASCII letters and digits, with kUpper for capitals; kNonAscii for the
// bytes of multi-byte characters; no bit for separators.
enum ByteClass : uint8_t { kSeparator = 0, kToken = 1, kUpper = 2, kNonAscii = 4 };

constexpr std::array<uint8_t, 256> kByteClass = [] {
  std::array<uint8_t, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = kToken;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = kToken;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = kToken | kUpper;
  for (int c = 0x80; c < 0x100; ++c) table[c] = kNonAscii;
  return table;
}();

uint8_t byte_class(char c) { return kByteClass[static_cast<unsigned char>(c)]; }
char ascii_lower(char c) { return (byte_class(c) & kUpper) != 0 ? static_cast<char>(c + ('a' - 'A')) : c; }

// Calls emit(std::string_view) for each token of text, in order; the view
// is valid during the call only. nfc and token are scratch buffers the
// caller may reuse across texts.
//
// A token of ASCII letters and digits is handed out as a view into the text
// when it holds no capital letter, copied lower-cased otherwise. A token
// that meets a non-ASCII character continues character by character:
// decoded, mapped to lower case and split at non-alphanumeric characters.
template <typename Emit>
void for_each_token(std::string_view text, std::string& nfc, std::string& token, Emit&& emit) {
  std::string_view s = text;
  if (!unicode::is_ascii(text)) {
    nfc.clear();
    unicode::append_nfc(nfc, text);
    s = nfc;
  }
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    while (i < n && byte_class(s[i]) == kSeparator) ++i;
    if (i == n) break;
    const size_t start = i;
    uint8_t seen = 0;
    for (uint8_t c; i < n && ((c = byte_class(s[i])) & kToken) != 0; ++i) seen |= c;
    if (i == n || byte_class(s[i]) != kNonAscii) {
      if ((seen & kUpper) == 0) {
        emit(s.substr(start, i - start));
      } else {
        token.assign(s.data() + start, i - start);
        for (char& c : token) c = ascii_lower(c);
        emit(std::string_view(token));
      }
      continue;
    }
    token.clear();
    for (size_t k = start; k < i; ++k) token += ascii_lower(s[k]);
    while (i < n) {
      const uint8_t c = byte_class(s[i]);
      if (c == kSeparator) break;
      if (c != kNonAscii) {
        token += ascii_lower(s[i++]);
        continue;
      }
      char32_t mapped[3];
      const size_t count = unicode::lower_mapping(unicode::decode(s, i), mapped);
      for (size_t k = 0; k < count; ++k) {
        if (unicode::is_alphanumeric(mapped[k])) {
          unicode::append_utf8(token, mapped[k]);
        } else if (!token.empty()) {
          emit(std::string_view(token));
          token.clear();
        }
      }
    }
    if (!token.empty()) emit(std::string_view(token));
  }
}

// Calls emit for each token of record's response text. Tokenizing each text
// block on its own gives the same tokens as tokenizing the joined text: the
// joining space separates tokens, nothing composes with a space under NFC,
// and the lower-case mapping has no context. It saves building the join.
template <typename Emit>
void for_each_response_token(const agentlog::Record& record, std::string& nfc, std::string& token, Emit&& emit) {
  const json::JsonValue::Array* content = content_blocks(record);
  if (content == nullptr) return;
  for (const json::JsonValue& block : *content) {
    if (const std::string_view* text = block_text(block)) for_each_token(*text, nfc, token, emit);
  }
}

// The key of a token: its bytes themselves when it is shorter than 8
// bytes (two overlapping 4-byte loads from 4 bytes on; with the size known
// the packing is one-to-one), otherwise a multiplicative hash of all of it.
constexpr size_t kPackedTokenBytes = 7;

uint64_t token_key(std::string_view t) {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  const char* p = t.data();
  const size_t n = t.size();
  const auto load32 = [](const char* q) {
    uint32_t v;
    std::memcpy(&v, q, 4);
    return uint64_t{v};
  };
  if (n >= 8) {
    uint64_t h = n * kMul;
    for (size_t k = 0;; k += 8) {
      uint64_t v;
      std::memcpy(&v, p + std::min(k, n - 8), 8);
      h = (h ^ v) * kMul;
      if (k + 8 >= n) break;
    }
    return h ^ (h >> 29);
  }
  if (n >= 4) return load32(p) | load32(p + n - 4) << 32;
  if (n == 0) return 0;
  const auto byte = [&](size_t k) { return uint64_t{static_cast<unsigned char>(p[k])}; };
  return byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16;
}

// The table position of a key: its bits mixed with the size.
uint64_t slot_hash(uint64_t key, size_t size) {
  const uint64_t h = (key ^ (uint64_t{size} << 57)) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 32);
}

// A token of a document with the number of its occurrences there.
struct TermCount {
  uint32_t id;
  uint64_t count;
};

// Appends the weights of a document given by its term counts in ascending
// id order; idf_plus_one[id] is idf + 1 of a token.
void append_weights(std::span<const TermCount> terms, std::span<const double> idf_plus_one, TfidfVector& out) {
  for (const TermCount& term : terms) {
    // ln(1) is exactly 0: most tokens occur once per response.
    const double log_tf = term.count == 1 ? 0.0 : std::log(static_cast<double>(term.count));
    out.push_back(TermWeight{term.id, (log_tf + 1.0) * idf_plus_one[term.id]});
  }
}

double idf(uint64_t document_count, uint64_t document_frequency) {
  return std::log(static_cast<double>(document_count + 1) / static_cast<double>(document_frequency + 1));
}

double squared_norm(std::span<const TermWeight> v) {
  double sum = 0.0;
  for (const TermWeight& e : v) sum += e.weight * e.weight;
  return sum;
}

}  // namespace

std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> tokens;
  std::string nfc;
  std::string token;
  for_each_token(text, nfc, token, [&](std::string_view t) { tokens.emplace_back(t); });
  return tokens;
}

TokenTable::TokenTable() : starts_{0}, slots_(64) {}

uint32_t TokenTable::intern(std::string_view token) {
  const uint64_t key = token_key(token);
  const size_t mask = slots_.size() - 1;
  for (size_t slot = slot_hash(key, token.size()) & mask;; slot = (slot + 1) & mask) {
    const Slot& s = slots_[slot];
    if (s.id_plus_one == 0) return add(token, slot, key);
    if (s.key == key && s.size == token.size() &&
        (token.size() <= kPackedTokenBytes || text(s.id_plus_one - 1) == token)) {
      return s.id_plus_one - 1;
    }
  }
}

uint32_t TokenTable::add(std::string_view token, size_t slot, uint64_t key) {
  const auto id = static_cast<uint32_t>(size());
  chars_ += token;
  starts_.push_back(chars_.size());
  slots_[slot] = Slot{key, token.size(), id + 1};
  if (2 * size() > slots_.size()) grow();
  return id;
}

void TokenTable::grow() {
  std::vector<Slot> slots(slots_.size() * 2);
  const size_t mask = slots.size() - 1;
  for (const Slot& s : slots_) {
    if (s.id_plus_one == 0) continue;
    size_t slot = slot_hash(s.key, s.size) & mask;
    while (slots[slot].id_plus_one != 0) slot = (slot + 1) & mask;
    slots[slot] = s;
  }
  slots_ = std::move(slots);
}

void tokenize_into(std::string_view text, TokenTable& table, std::vector<uint32_t>& ids) {
  std::string nfc;
  std::string token;
  for_each_token(text, nfc, token, [&](std::string_view t) { ids.push_back(table.intern(t)); });
}

double cosine_similarity(std::span<const TermWeight> a, std::span<const TermWeight> b) {
  const double norm_a = std::sqrt(squared_norm(a));
  const double norm_b = std::sqrt(squared_norm(b));
  const bool a_null = norm_a < kNullNorm;
  const bool b_null = norm_b < kNullNorm;
  if (a_null || b_null) return a_null && b_null ? 1.0 : 0.0;
  // Both vectors are sorted by id: the dot product is one merge.
  double dot = 0.0;
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i].id < b[j].id) {
      ++i;
    } else if (b[j].id < a[i].id) {
      ++j;
    } else {
      dot += a[i].weight * b[j].weight;
      ++i;
      ++j;
    }
  }
  return std::clamp(dot / (norm_a * norm_b), 0.0, 1.0);
}

std::vector<double> semantic_similarities(std::span<const ResponsePair> pairs) {
  const size_t n = pairs.size();
  const size_t documents = 2 * n;

  // Documents 0 .. n-1 are the baseline responses, n .. 2n-1 the candidate
  // responses; document d holds ids[starts[d] .. starts[d + 1]).
  TokenTable table;
  std::vector<uint32_t> ids;
  std::vector<size_t> starts;
  starts.reserve(documents + 1);
  starts.push_back(0);
  {
    std::string nfc;
    std::string token;
    const auto add = [&](const agentlog::Record& record) {
      for_each_response_token(record, nfc, token, [&](std::string_view t) { ids.push_back(table.intern(t)); });
      starts.push_back(ids.size());
    };
    for (const ResponsePair& pair : pairs) add(*pair.baseline);
    for (const ResponsePair& pair : pairs) add(*pair.candidate);
  }

  // The term counts of each document in ascending id order, and the
  // document frequencies, in one pass over the ids: last_document marks the
  // ids a document has already met.
  std::vector<TermCount> terms;
  std::vector<size_t> term_starts;
  term_starts.reserve(documents + 1);
  term_starts.push_back(0);
  std::vector<uint32_t> document_frequency(table.size(), 0);
  {
    std::vector<size_t> last_document(table.size(), 0);  // d + 1
    std::vector<uint64_t> count(table.size(), 0);
    std::vector<uint32_t> distinct;
    for (size_t d = 0; d < documents; ++d) {
      distinct.clear();
      for (size_t k = starts[d]; k < starts[d + 1]; ++k) {
        const uint32_t id = ids[k];
        if (last_document[id] != d + 1) {
          last_document[id] = d + 1;
          count[id] = 0;
          distinct.push_back(id);
        }
        ++count[id];
      }
      std::sort(distinct.begin(), distinct.end());
      for (uint32_t id : distinct) {
        terms.push_back(TermCount{id, count[id]});
        ++document_frequency[id];
      }
      term_starts.push_back(terms.size());
    }
  }
  std::vector<double> idf_plus_one(table.size());
  for (size_t id = 0; id < table.size(); ++id) idf_plus_one[id] = idf(documents, document_frequency[id]) + 1.0;

  std::vector<double> similarities;
  similarities.reserve(n);
  TfidfVector a;
  TfidfVector b;
  const auto document = [&](size_t d) {
    return std::span<const TermCount>(terms).subspan(term_starts[d], term_starts[d + 1] - term_starts[d]);
  };
  for (size_t i = 0; i < n; ++i) {
    a.clear();
    b.clear();
    append_weights(document(i), idf_plus_one, a);
    append_weights(document(n + i), idf_plus_one, b);
    similarities.push_back(cosine_similarity(a, b));
  }
  return similarities;
}

AxisSeries semantic_series(std::span<const ResponsePair> pairs) {
  std::vector<double> candidate = semantic_similarities(pairs);
  std::vector<double> baseline(candidate.size(), 1.0);
  return {Axis::kSemantic, RowKind::kValue, Statistic::kMedian, std::move(baseline), std::move(candidate)};
}

}  // namespace korvane::diff
