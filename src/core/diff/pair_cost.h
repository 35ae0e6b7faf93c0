// Pair cost: how different one baseline turn is from one candidate turn.
//
// A turn is a chat_response record. Everything read lies in its payload: the
// tool_use blocks of "content", "stop_reason" when it is a string, and the
// response text of the conformance axis. A payload that lacks a member or
// holds one of the wrong kind simply has no tool calls, no stop reason or an
// empty text: nothing here fails, and no record is ever changed.
//
// The record-level functions state the measures one by one. TurnFeatures is
// everything pair_cost() reads from one turn, extracted once and numbered by
// a TurnDictionary, so that each of the alignment's up to n x m pair costs
// comes down to integer comparisons (TurnCosts counts the shared shingles of
// a whole row at once).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/agentlog/record.h"
#include "core/json/value.h"

namespace korvane::diff {

// ---- Tool calls ----------------------------------------------------------

// The distinct tool shapes "name(arg,arg)" of a turn's tool calls, in
// ascending byte order. A call whose "name" is not a string is named "_"; the
// argument names are the member names of its "input" object, sorted (none when
// "input" is missing or not an object).
std::vector<std::string> tool_shape(const agentlog::Record& turn);

// The number of tool calls of a turn; unlike tool_shape(), repeated identical
// calls all count.
size_t tool_call_count(const agentlog::Record& turn);

// The input of the first call of each tool name, by ascending name. The views
// point into the record; input is nullptr when that call has no "input",
// which counts as JSON null. id is left 0; turn_features() sets it to the
// dictionary's number of the input.
struct ToolInput {
  std::string_view name;
  const json::JsonValue* input;
  uint32_t id = 0;
};
std::vector<ToolInput> tool_use_inputs(const agentlog::Record& turn);

// The first difference between the inputs of the tools both turns call, by
// ascending tool name, or nothing when they agree (or either turn calls no
// tool). When both inputs are objects the message names the first baseline
// member, in stored order, that the candidate lacks or changed:
// "`search(q)`: `7` → `8`" (the values in compact JSON, "<missing>" for a
// member the candidate lacks); otherwise it is "`search`: input changed".
std::optional<std::string> arg_value_diff(const agentlog::Record& baseline,
                                          const agentlog::Record& candidate);

// The payload's "stop_reason" when it is a string, else the empty text; a
// view into the record.
std::string_view stop_reason(const agentlog::Record& turn);

// ---- Text ----------------------------------------------------------------

// The text split at White_Space characters, empty pieces dropped, the rest
// joined by single spaces. Nothing else changes (no case folding).
std::string normalise_whitespace(std::string_view text);

// One element of a shingle set: either a run of 4 consecutive scalar values
// or, for a text of 1 to 3 scalars, the whole text. The scalars and their
// count are packed exactly (21 bits each), so two shingles are equal exactly
// when their texts are. The order of Shingle is not the byte order of the
// texts, which no measure depends on.
struct Shingle {
  uint64_t hi;  // count << 42 | s0 << 21 | s1
  uint64_t lo;  // s2 << 21 | s3
  friend auto operator<=>(const Shingle&, const Shingle&) = default;
};

// The set of shingles of a valid UTF-8 text, sorted and without duplicates:
// the n - 3 runs of 4 scalars of a text of n >= 4 scalars, the whole text
// for 1 to 3 scalars, nothing for the empty text.
std::vector<Shingle> shingles(std::string_view text);

// |a ∩ b| / |a ∪ b| from the set sizes, 1.0 when both sets are empty.
inline double jaccard_of_counts(size_t common, size_t a_size, size_t b_size) {
  if (a_size == 0 && b_size == 0) return 1.0;
  return static_cast<double>(common) / static_cast<double>(a_size + b_size - common);
}

// The number of elements two sorted, duplicate-free sequences share.
template <typename T>
size_t common_count(const std::vector<T>& a, const std::vector<T>& b) {
  size_t common = 0;
  auto i = a.begin();
  auto j = b.begin();
  while (i != a.end() && j != b.end()) {
    if (*i < *j) {
      ++i;
    } else if (*j < *i) {
      ++j;
    } else {
      ++common, ++i, ++j;
    }
  }
  return common;
}

// Jaccard similarity of two sorted, duplicate-free sets.
template <typename T>
double jaccard(const std::vector<T>& a, const std::vector<T>& b) {
  return jaccard_of_counts(common_count(a, b), a.size(), b.size());
}

// jaccard(shingles(a), shingles(b)), counted with one hash table instead of
// two sorted sets.
double shingle_similarity(std::string_view a, std::string_view b);

// 1.0 when the whitespace-normalised texts are equal (or both empty), else
// the Jaccard similarity of their shingle sets.
double text_similarity(std::string_view a, std::string_view b);

// ---- Pair cost -----------------------------------------------------------

// Numbers the distinct shingles, tool shapes and stop reasons met so far
// 0, 1, 2, ... so that comparing turns compares integers. Ids are only
// comparable between turns numbered by the same dictionary.
class TurnDictionary {
 public:
  TurnDictionary();

  // The ids of the distinct shingles of a valid UTF-8 text, in the order
  // of their first occurrence.
  std::vector<uint32_t> shingle_ids(std::string_view text);
  [[nodiscard]] size_t shingle_count() const { return shingles_; }

  uint32_t shape_id(const std::string& shape);
  uint32_t stop_id(std::string_view stop_reason);
  // Equal inputs (JsonValue equality: objects in any member order, 1 not
  // 1.0) and only equal inputs get equal numbers; nullptr counts as null.
  // Numbering costs one pass over the input, so that the pair costs of the
  // alignment compare inputs in constant time however large they are.
  uint32_t input_id(const json::JsonValue* input);

 private:
  uint32_t id_of(const Shingle& shingle, size_t hash);
  void grow();

  struct Slot {
    Shingle key;
    uint32_t id;  // kFree when the slot is free
  };
  static constexpr uint32_t kFree = UINT32_MAX;
  std::vector<Slot> slots_;        // open addressing, power-of-two size
  size_t shingles_ = 0;
  std::vector<uint32_t> seen_in_;  // per shingle id, the last text it was met in
  uint32_t text_serial_ = 0;
  struct Hashed {
    Shingle shingle;
    size_t hash;
  };
  std::vector<char32_t> scalars_;  // scratch of shingle_ids()
  std::vector<Hashed> pending_;    // scratch of shingle_ids()
  std::map<std::string, uint32_t, std::less<>> shapes_;
  std::map<std::string, uint32_t, std::less<>> stops_;
  std::map<std::string, uint32_t, std::less<>> inputs_;  // by equality_key()
  std::string input_key_;                                 // scratch of input_id()
};

// What pair_cost() reads from one turn. Views point into the record, which
// must outlive the features.
struct TurnFeatures {
  std::vector<std::string> shapes;  // tool_shape()
  std::vector<uint32_t> shape_ids;  // the same set as sorted dictionary ids
  size_t call_count = 0;            // tool_call_count()
  std::string_view stop_reason;     // stop_reason()
  uint32_t stop_id = 0;
  std::vector<ToolInput> inputs;    // tool_use_inputs(), with their ids
  // The distinct shingles of the whitespace-normalised response text, as
  // dictionary ids in no particular order. Their Jaccard similarity is
  // text_similarity(): equal normalised texts have equal shingle sets, so
  // its equality shortcut gives the same 1.0.
  std::vector<uint32_t> shingles;
};

TurnFeatures turn_features(const agentlog::Record& turn, TurnDictionary& dictionary);

// Whether a tool called by both turns has different inputs: exactly when
// arg_value_diff() gives a message.
bool inputs_differ(const TurnFeatures& baseline, const TurnFeatures& candidate);

std::optional<std::string> arg_value_diff(const TurnFeatures& baseline,
                                          const TurnFeatures& candidate);

// 0.4 x max(1 - shape similarity, tool-count gap) + 0.25 x (1 - text
// similarity) + 0.15 when the stop reasons differ + 0.2 when the shape sets
// are equal and not empty and the inputs differ. The tool-count gap is
// |nb - nc| / max(nb, nc) (0 when equal). The result lies in [0, 1).
double pair_cost(const agentlog::Record& baseline, const agentlog::Record& candidate);

// pair_cost() of two turns numbered by one dictionary, given the text
// similarity of the two turns (TurnCosts computes those in bulk); the terms
// are added in the order of the formula above.
double combine_cost(const TurnFeatures& baseline, const TurnFeatures& candidate,
                    double text_similarity);

}  // namespace korvane::diff
