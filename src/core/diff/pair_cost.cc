#include "core/diff/pair_cost.h"

#include <algorithm>
#include <bit>
#include <span>

#include "core/diff/axes.h"
#include "core/diff/conformance.h"
#include "core/error.h"
#include "core/json/writer.h"
#include "core/unicode/properties.h"
#include "core/unicode/utf8.h"

namespace korvane::diff {
namespace {

using json::JsonValue;

void append_backquoted(std::string& out, std::string_view text) {
  out += '`';
  out += text;
  out += '`';
}

// The members of an object by ascending key.
std::vector<const json::JsonObject::Member*> members_by_key(const json::JsonObject& object) {
  std::vector<const json::JsonObject::Member*> members;
  members.reserve(object.size());
  for (const json::JsonObject::Member& m : object) members.push_back(&m);
  std::stable_sort(members.begin(), members.end(), [](const auto* a, const auto* b) { return a->key < b->key; });
  return members;
}

// The value of key among members sorted by members_by_key(), or nullptr.
const JsonValue* find_by_key(std::span<const json::JsonObject::Member* const> members, std::string_view key) {
  const auto it = std::lower_bound(members.begin(), members.end(), key,
                                   [](const auto* m, std::string_view k) { return m->key < k; });
  return it != members.end() && (*it)->key == key ? &(*it)->value : nullptr;
}

// Appends bytes naming value up to JsonValue equality: two values write the
// same bytes exactly when they are equal. Each part starts with a tag and
// each text with its length, so the parts of different values never run
// together; object members go in key order, and 0.0 and -0.0, which are
// equal, write the same bytes. Linear in the size of the value (times the
// sorting of object members), where comparing two objects member by member
// by lookups is quadratic. The walk keeps its own stack of open arrays and
// objects, so any depth of nesting fits a small thread stack.
void append_equality_key(std::string& out, const JsonValue& root) {
  const auto word = [&](uint64_t x) { out.append(reinterpret_cast<const char*>(&x), sizeof x); };
  const auto text = [&](std::string_view t) {
    word(t.size());
    out += t;
  };
  // An open array walks its items, an open object its members by key.
  struct Open {
    const JsonValue::Array* items = nullptr;
    std::vector<const json::JsonObject::Member*> members;
    size_t next = 0;
  };
  std::vector<Open> open;
  const auto start = [&](const JsonValue& value) {
    switch (value.type()) {
      case JsonValue::Type::kNull:
        out += 'n';
        break;
      case JsonValue::Type::kBool:
        out += *value.if_bool() ? 't' : 'f';
        break;
      case JsonValue::Type::kUInt:
        out += 'u';
        word(*value.if_uint());
        break;
      case JsonValue::Type::kInt:
        out += 'i';
        word(static_cast<uint64_t>(*value.if_int()));
        break;
      case JsonValue::Type::kDouble: {
        const double d = *value.if_double() == 0.0 ? 0.0 : *value.if_double();
        out += 'd';
        word(std::bit_cast<uint64_t>(d));
        break;
      }
      case JsonValue::Type::kString:
        out += 's';
        text(*value.if_string());
        break;
      case JsonValue::Type::kArray:
        out += 'a';
        word(value.if_array()->size());
        open.push_back(Open{value.if_array(), {}, 0});
        break;
      case JsonValue::Type::kObject:
        out += 'o';
        word(value.if_object()->size());
        open.push_back(Open{nullptr, members_by_key(*value.if_object()), 0});
        break;
    }
  };
  start(root);
  while (!open.empty()) {
    Open& top = open.back();
    const size_t k = top.next++;
    if (top.items != nullptr ? k == top.items->size() : k == top.members.size()) {
      open.pop_back();
    } else if (top.items != nullptr) {
      start((*top.items)[k]);  // may grow open: top is not used after
    } else {
      text(top.members[k]->key);
      start(top.members[k]->value);
    }
  }
}

// Calls f(baseline input, candidate input) for every tool both turns call,
// by ascending name, until f returns true; returns whether it did.
template <typename F>
bool find_common_tool(const TurnFeatures& baseline, const TurnFeatures& candidate, F&& f) {
  auto b = baseline.inputs.begin();
  auto c = candidate.inputs.begin();
  while (b != baseline.inputs.end() && c != candidate.inputs.end()) {
    if (b->name < c->name) {
      ++b;
    } else if (c->name < b->name) {
      ++c;
    } else {
      if (f(*b, *c)) return true;
      ++b, ++c;
    }
  }
  return false;
}

}  // namespace

std::vector<std::string> tool_shape(const agentlog::Record& turn) {
  std::vector<std::string> shapes;
  for_each_tool_use(turn, [&](const JsonValue& block) { shapes.push_back(tool_shape_of(block)); });
  std::sort(shapes.begin(), shapes.end());
  shapes.erase(std::unique(shapes.begin(), shapes.end()), shapes.end());
  return shapes;
}

size_t tool_call_count(const agentlog::Record& turn) {
  size_t count = 0;
  for_each_tool_use(turn, [&](const JsonValue&) { ++count; });
  return count;
}

std::vector<ToolInput> tool_use_inputs(const agentlog::Record& turn) {
  std::vector<ToolInput> inputs;
  for_each_tool_use(turn, [&](const JsonValue& block) {
    inputs.push_back(ToolInput{tool_name(block), block.find("input")});
  });
  // A stable sort keeps the calls of one name in content order, so the first
  // call is the one unique() keeps.
  std::stable_sort(inputs.begin(), inputs.end(),
                   [](const ToolInput& a, const ToolInput& b) { return a.name < b.name; });
  inputs.erase(std::unique(inputs.begin(), inputs.end(),
                           [](const ToolInput& a, const ToolInput& b) { return a.name == b.name; }),
               inputs.end());
  return inputs;
}

std::string_view stop_reason(const agentlog::Record& turn) {
  const std::string_view* text = string_member(turn.payload, "stop_reason");
  return text == nullptr ? std::string_view() : *text;
}

std::string normalise_whitespace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pending_space = false;
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    const char32_t c = unicode::decode(text, i);
    if (unicode::is_white_space(c)) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) {
      out += ' ';
      pending_space = false;
    }
    out.append(text.data() + start, i - start);
  }
  return out;
}

namespace {

uint64_t key_hash(uint64_t key) {
  // A multiplicative mix; the high bits are the best mixed.
  uint64_t h = key * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 32);
}

// The table sizes: a power of two from kMinTableSlots, at most half full;
// a size hint is followed up to kMaxHintedSlots.
constexpr size_t kMinTableSlots = 1024;
constexpr size_t kMaxHintedSlots = size_t{1} << 16;

}  // namespace

double text_similarity(std::string_view a, std::string_view b) {
  const std::string na = normalise_whitespace(a);
  const std::string nb = normalise_whitespace(b);
  if (na == nb) return 1.0;  // also when both are empty
  return shingle_similarity(na, nb);
}

TurnDictionary::TurnDictionary(size_t size_hint) {
  size_t slots = kMinTableSlots;
  while (slots < std::min(size_hint, kMaxHintedSlots)) slots *= 2;
  keys_.assign(slots, 0);
  ids_.assign(slots, kFree);
}

std::vector<uint32_t> TurnDictionary::shingle_ids(std::string_view text) {
  // The table is far larger than the caches: keys wait in a ring of
  // kAhead so that their slots are on their way while earlier ones are
  // probed.
  constexpr size_t kAhead = 8;
  struct Pending {
    uint64_t key;
    size_t hash;
  };
  Pending ring[kAhead];
  size_t queued = 0;
  ++text_serial_;
  std::vector<uint32_t> ids;
  const auto settle = [&](const Pending& p) {
    const uint32_t id = id_of(p.key, p.hash);
    if (seen_in_[id] == text_serial_) return;
    seen_in_[id] = text_serial_;
    ids.push_back(id);
  };
  coder_.for_each_key(text, [&](uint64_t key) {
    // Room for every queued key before any is added.
    if (2 * (shingles_ + kAhead + 1) > keys_.size()) {
      for (size_t k = queued > kAhead ? queued - kAhead : 0; k < queued; ++k) settle(ring[k % kAhead]);
      queued = 0;
      grow();
    }
    if (queued >= kAhead) settle(ring[queued % kAhead]);
    const size_t hash = key_hash(key);
    __builtin_prefetch(&keys_[hash & (keys_.size() - 1)]);
    ring[queued++ % kAhead] = Pending{key, hash};
  });
  for (size_t k = queued > kAhead ? queued - kAhead : 0; k < queued; ++k) settle(ring[k % kAhead]);
  return ids;
}

// The table has room: shingle_ids() grew it beforehand.
uint32_t TurnDictionary::id_of(uint64_t key, size_t hash) {
  const size_t mask = keys_.size() - 1;
  for (size_t k = hash & mask;; k = (k + 1) & mask) {
    if (ids_[k] == kFree) {
      if (shingles_ >= kFree) throw InternalError("too many distinct shingles");
      keys_[k] = key;
      ids_[k] = static_cast<uint32_t>(shingles_++);
      seen_in_.push_back(0);
      return ids_[k];
    }
    if (keys_[k] == key) return ids_[k];
  }
}

void TurnDictionary::grow() {
  std::vector<uint64_t> keys(keys_.size() * 2, 0);
  std::vector<uint32_t> ids(keys_.size() * 2, kFree);
  const size_t mask = keys.size() - 1;
  for (size_t k = 0; k < keys_.size(); ++k) {
    if (ids_[k] == kFree) continue;
    size_t slot = key_hash(keys_[k]) & mask;
    while (ids[slot] != kFree) slot = (slot + 1) & mask;
    keys[slot] = keys_[k];
    ids[slot] = ids_[k];
  }
  keys_ = std::move(keys);
  ids_ = std::move(ids);
}

uint32_t TurnDictionary::shape_id(const std::string& shape) {
  return shapes_.try_emplace(shape, static_cast<uint32_t>(shapes_.size())).first->second;
}

uint32_t TurnDictionary::stop_id(std::string_view stop_reason) {
  auto it = stops_.find(stop_reason);
  if (it == stops_.end()) it = stops_.emplace(std::string(stop_reason), static_cast<uint32_t>(stops_.size())).first;
  return it->second;
}

uint32_t TurnDictionary::input_id(const json::JsonValue* input) {
  const JsonValue null;
  input_key_.clear();
  append_equality_key(input_key_, input == nullptr ? null : *input);
  auto it = inputs_.find(input_key_);
  if (it == inputs_.end()) it = inputs_.emplace(input_key_, static_cast<uint32_t>(inputs_.size())).first;
  return it->second;
}

TurnFeatures turn_features(const agentlog::Record& turn, TurnDictionary& dictionary, bool with_shingles) {
  TurnFeatures f;
  f.shapes = tool_shape(turn);
  for (const std::string& shape : f.shapes) f.shape_ids.push_back(dictionary.shape_id(shape));
  std::sort(f.shape_ids.begin(), f.shape_ids.end());
  f.call_count = tool_call_count(turn);
  f.stop_reason = stop_reason(turn);
  f.stop_id = dictionary.stop_id(f.stop_reason);
  f.inputs = tool_use_inputs(turn);
  for (ToolInput& input : f.inputs) input.id = dictionary.input_id(input.input);
  if (with_shingles) f.shingles = dictionary.shingle_ids(normalise_whitespace(response_text(turn)));
  return f;
}

bool inputs_differ(const TurnFeatures& baseline, const TurnFeatures& candidate) {
  return find_common_tool(baseline, candidate, [](const ToolInput& b, const ToolInput& c) { return b.id != c.id; });
}

std::optional<std::string> arg_value_diff(const TurnFeatures& baseline,
                                          const TurnFeatures& candidate) {
  std::optional<std::string> message;
  find_common_tool(baseline, candidate, [&](const ToolInput& b, const ToolInput& c) {
    if (b.id == c.id) return false;
    const json::JsonObject* vb = b.input == nullptr ? nullptr : b.input->if_object();
    const json::JsonObject* vc = c.input == nullptr ? nullptr : c.input->if_object();
    std::string text;
    if (vb != nullptr && vc != nullptr) {
      const std::vector<const json::JsonObject::Member*> candidate_members = members_by_key(*vc);
      for (const json::JsonObject::Member& m : *vb) {
        const JsonValue* other = find_by_key(candidate_members, m.key);
        if (other != nullptr && *other == m.value) continue;
        text += '`';
        text += b.name;
        text += '(';
        text += m.key;
        text += ")`: ";
        append_backquoted(text, json::to_json_text(m.value));
        text += " \u2192 ";
        append_backquoted(text, other == nullptr ? std::string("<missing>") : json::to_json_text(*other));
        message = std::move(text);
        return true;
      }
    }
    // One side is not an object, or the candidate only added members.
    append_backquoted(text, b.name);
    text += ": input changed";
    message = std::move(text);
    return true;
  });
  return message;
}

std::optional<std::string> arg_value_diff(const agentlog::Record& baseline,
                                          const agentlog::Record& candidate) {
  TurnDictionary dictionary;
  return arg_value_diff(turn_features(baseline, dictionary), turn_features(candidate, dictionary));
}

double combine_cost(const TurnFeatures& baseline, const TurnFeatures& candidate,
                    double text_similarity) {
  const double shape_similarity = jaccard(baseline.shape_ids, candidate.shape_ids);
  const size_t nb = baseline.call_count;
  const size_t nc = candidate.call_count;
  const double count_gap =
      nb == nc ? 0.0
               : static_cast<double>(nb > nc ? nb - nc : nc - nb) / static_cast<double>(std::max(nb, nc));
  const double stop_term = baseline.stop_id == candidate.stop_id ? 0.0 : kStopReasonCost;
  const double arg_term = !baseline.shape_ids.empty() && baseline.shape_ids == candidate.shape_ids &&
                                  inputs_differ(baseline, candidate)
                              ? kArgumentCost
                              : 0.0;
  return kToolCallWeight * std::max(1.0 - shape_similarity, count_gap) + kTextWeight * (1.0 - text_similarity) +
         stop_term + arg_term;
}

double pair_cost(const agentlog::Record& baseline, const agentlog::Record& candidate) {
  TurnDictionary dictionary;
  const TurnFeatures b = turn_features(baseline, dictionary);
  const TurnFeatures c = turn_features(candidate, dictionary);
  return combine_cost(b, c, text_similarity(response_text(baseline), response_text(candidate)));
}

}  // namespace korvane::diff
