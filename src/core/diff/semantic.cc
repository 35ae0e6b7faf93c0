#include "core/diff/semantic.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

#include "core/diff/conformance.h"
#include "core/unicode/case.h"
#include "core/unicode/normalize.h"
#include "core/unicode/properties.h"
#include "core/unicode/utf8.h"

namespace korvane::diff {
namespace {

// For each ASCII byte: its lower-case form when it is a letter or a digit,
// 0 when it separates tokens. Bytes from 0x80 start a multi-byte character.
constexpr std::array<char, 128> kAsciiTokenByte = [] {
  std::array<char, 128> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<char>(c);
  for (int c = 'a'; c <= 'z'; ++c) table[c] = static_cast<char>(c);
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = static_cast<char>(c - 'A' + 'a');
  return table;
}();

// Calls emit(std::string_view) for each token of text, in order. nfc and
// token are scratch buffers the caller may reuse across texts.
template <typename Emit>
void for_each_token(std::string_view text, std::string& nfc, std::string& token, Emit&& emit) {
  std::string_view s = text;
  if (!unicode::is_ascii(text)) {
    nfc.clear();
    unicode::append_nfc(nfc, text);
    s = nfc;
  }
  token.clear();
  const auto flush = [&] {
    if (!token.empty()) {
      emit(std::string_view(token));
      token.clear();
    }
  };
  size_t i = 0;
  while (i < s.size()) {
    const auto byte = static_cast<unsigned char>(s[i]);
    if (byte < 0x80) {
      if (const char lower = kAsciiTokenByte[byte]) {
        token += lower;
      } else {
        flush();
      }
      ++i;
      continue;
    }
    char32_t mapped[3];
    const size_t count = unicode::lower_mapping(unicode::decode(s, i), mapped);
    for (size_t k = 0; k < count; ++k) {
      if (unicode::is_alphanumeric(mapped[k])) {
        unicode::append_utf8(token, mapped[k]);
      } else {
        flush();
      }
    }
  }
  flush();
}

// Appends the weights of a document given by its token ids in ascending
// order; idf_plus_one(id) gives idf + 1 of a token.
template <typename IdfPlusOne>
void append_weights(std::span<const uint32_t> sorted_ids, IdfPlusOne&& idf_plus_one, TfidfVector& out) {
  for (size_t k = 0; k < sorted_ids.size();) {
    const uint32_t id = sorted_ids[k];
    size_t end = k + 1;
    while (end < sorted_ids.size() && sorted_ids[end] == id) ++end;
    const size_t tf = end - k;
    // ln(1) is exactly 0: most tokens occur once per response.
    const double log_tf = tf == 1 ? 0.0 : std::log(static_cast<double>(tf));
    out.push_back(TermWeight{id, (log_tf + 1.0) * idf_plus_one(id)});
    k = end;
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

TokenTable::TokenTable() : starts_{0}, slots_(64, 0) {}

uint32_t TokenTable::intern(std::string_view token) {
  const uint64_t hash = std::hash<std::string_view>{}(token);
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint32_t entry = slots_[slot];
    if (entry == 0) {
      const auto id = static_cast<uint32_t>(size());
      chars_ += token;
      starts_.push_back(chars_.size());
      hashes_.push_back(hash);
      slots_[slot] = id + 1;
      if (2 * size() > slots_.size()) grow();
      return id;
    }
    if (hashes_[entry - 1] == hash && text(entry - 1) == token) return entry - 1;
  }
}

void TokenTable::grow() {
  std::vector<uint32_t> slots(slots_.size() * 2, 0);
  const size_t mask = slots.size() - 1;
  for (uint32_t id = 0; id < size(); ++id) {
    size_t slot = hashes_[id] & mask;
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = id + 1;
  }
  slots_ = std::move(slots);
}

void tokenize_into(std::string_view text, TokenTable& table, std::vector<uint32_t>& ids) {
  std::string nfc;
  std::string token;
  for_each_token(text, nfc, token, [&](std::string_view t) { ids.push_back(table.intern(t)); });
}

TfidfVector tfidf_vector(std::span<const uint32_t> tokens, std::span<const uint32_t> document_frequency,
                         uint64_t document_count) {
  std::vector<uint32_t> sorted(tokens.begin(), tokens.end());
  std::sort(sorted.begin(), sorted.end());
  TfidfVector vector;
  append_weights(
      sorted,
      [&](uint32_t id) {
        const uint64_t df = id < document_frequency.size() ? document_frequency[id] : 0;
        return idf(document_count, df) + 1.0;
      },
      vector);
  return vector;
}

double cosine_similarity(std::span<const TermWeight> a, std::span<const TermWeight> b) {
  const double norm_a = std::sqrt(squared_norm(a));
  const double norm_b = std::sqrt(squared_norm(b));
  const bool a_null = norm_a < 1e-12;
  const bool b_null = norm_b < 1e-12;
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
      for_each_token(response_text(record), nfc, token, [&](std::string_view t) { ids.push_back(table.intern(t)); });
      starts.push_back(ids.size());
    };
    for (const ResponsePair& pair : pairs) add(*pair.baseline);
    for (const ResponsePair& pair : pairs) add(*pair.candidate);
  }

  // Sorting each document's ids brings equal tokens together for both the
  // document frequencies and the term counts.
  std::vector<uint32_t> document_frequency(table.size(), 0);
  for (size_t d = 0; d < documents; ++d) {
    const auto first = ids.begin() + static_cast<ptrdiff_t>(starts[d]);
    const auto last = ids.begin() + static_cast<ptrdiff_t>(starts[d + 1]);
    std::sort(first, last);
    for (auto it = first; it != last; ++it) {
      if (it == first || *it != *(it - 1)) ++document_frequency[*it];
    }
  }
  std::vector<double> idf_plus_one(table.size());
  for (size_t id = 0; id < table.size(); ++id) idf_plus_one[id] = idf(documents, document_frequency[id]) + 1.0;

  std::vector<double> similarities;
  similarities.reserve(n);
  TfidfVector a;
  TfidfVector b;
  const auto weight_of = [&](uint32_t id) { return idf_plus_one[id]; };
  const auto document = [&](size_t d) {
    return std::span<const uint32_t>(ids).subspan(starts[d], starts[d + 1] - starts[d]);
  };
  for (size_t i = 0; i < n; ++i) {
    a.clear();
    b.clear();
    append_weights(document(i), weight_of, a);
    append_weights(document(n + i), weight_of, b);
    similarities.push_back(cosine_similarity(a, b));
  }
  return similarities;
}

AxisStat semantic_row(std::span<const ResponsePair> pairs, std::optional<uint64_t> seed) {
  const std::vector<double> candidate = semantic_similarities(pairs);
  const std::vector<double> baseline(candidate.size(), 1.0);
  return build_row(Axis::kSemantic, RowKind::kValue, Statistic::kMedian, baseline, candidate, seed);
}

}  // namespace korvane::diff
