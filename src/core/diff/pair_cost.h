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
#include "core/diff/shingles.h"
#include "core/json/value.h"

namespace korvane::diff {

// The weights of pair_cost()'s terms: the tool-call term, the text term, the
// cost of a changed stop reason and of a changed input of a tool both turns
// call with the same shapes.
inline constexpr double kToolCallWeight = 0.4;
inline constexpr double kTextWeight = 0.25;
inline constexpr double kStopReasonCost = 0.15;
inline constexpr double kArgumentCost = 0.2;

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

// 1.0 when the whitespace-normalised texts are equal (or both empty), else
// the Jaccard similarity of their shingle sets.
double text_similarity(std::string_view a, std::string_view b);

// ---- Pair cost -----------------------------------------------------------

// Numbers the distinct shingles, tool shapes and stop reasons met so far
// 0, 1, 2, ... so that comparing turns compares integers. Ids are only
// comparable between turns numbered by the same dictionary.
class TurnDictionary {
 public:
  // size_hint: about how many bytes of text will be numbered; the shingle
  // table starts large enough for it (up to a bound) instead of growing.
  explicit TurnDictionary(size_t size_hint = 0);

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
  uint32_t id_of(uint64_t key, size_t hash);
  void grow();

  ShingleCoder coder_;
  // Open addressing on shingle keys, power-of-two size, at most half full:
  // ids_[k] is kFree for a free slot, else the id of the key keys_[k].
  static constexpr uint32_t kFree = UINT32_MAX;
  std::vector<uint64_t> keys_;
  std::vector<uint32_t> ids_;
  size_t shingles_ = 0;            // ids given out: the slots of ids_ that are not kFree
  std::vector<uint32_t> seen_in_;  // per shingle id, the last text it was met in
  uint32_t text_serial_ = 0;       // the number of texts shingle_ids() has numbered
  // Each map numbers its keys 0 .. size() - 1 in order of first appearance.
  std::map<std::string, uint32_t, std::less<>> shapes_;
  std::map<std::string, uint32_t, std::less<>> stops_;
  std::map<std::string, uint32_t, std::less<>> inputs_;  // by the input's equality key
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

// The features of a turn; its shingles only when with_shingles (TurnCosts
// compares small alignments by shingle sets instead).
TurnFeatures turn_features(const agentlog::Record& turn, TurnDictionary& dictionary, bool with_shingles = true);

// Whether a tool called by both turns has different inputs: exactly when
// arg_value_diff() gives a message.
bool inputs_differ(const TurnFeatures& baseline, const TurnFeatures& candidate);

std::optional<std::string> arg_value_diff(const TurnFeatures& baseline,
                                          const TurnFeatures& candidate);

// kToolCallWeight x max(1 - shape similarity, tool-count gap) + kTextWeight
// x (1 - text similarity) + kStopReasonCost when the stop reasons differ +
// kArgumentCost when the shape sets are equal and not empty and the inputs
// differ. The tool-count gap is
// |nb - nc| / max(nb, nc) (0 when equal). The result lies in [0, 1).
double pair_cost(const agentlog::Record& baseline, const agentlog::Record& candidate);

// pair_cost() of two turns numbered by one dictionary, given the text
// similarity of the two turns (TurnCosts computes those in bulk); the terms
// are added in the order of the formula above.
double combine_cost(const TurnFeatures& baseline, const TurnFeatures& candidate,
                    double text_similarity);

}  // namespace korvane::diff
