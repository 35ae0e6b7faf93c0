// The diff below its statistics: text measures side by side with their
// siblings, axes, rows, the alignment and its pair costs, divergences,
// recommendations, the drill-down, a pair of traces worked out by hand, and
// the stack the diff's walks need. tokenize_vs_unicodedata.py checks the
// tokenizer; the corpus pairs of test_diff_binding.py pin whole reports.
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/diff/alignment.h"
#include "core/diff/compute_report.h"
#include "core/diff/conformance.h"
#include "core/diff/cost.h"
#include "core/diff/divergence.h"
#include "core/diff/drill_down.h"
#include "core/diff/reasoning.h"
#include "core/diff/recommendations.h"
#include "core/diff/semantic.h"
#include "core/diff/text_measures.h"
#include "core/diff/trajectory.h"
#include "core/diff/usage.h"
#include "core/json/reader.h"
#include "core/json/writer.h"
#include "core/unicode/case.h"
#include "core/unicode/utf8.h"

namespace korvane::diff {
namespace {

using agentlog::Record;
using Records = std::vector<Record>;
using Steps = std::vector<Step>;
using Strings = std::vector<std::string>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr auto S = DriftKind::kStructuralDrift;
constexpr auto D = DriftKind::kDecisionDrift;
constexpr auto kTraj = Axis::kTrajectory;
constexpr auto kSem = Axis::kSemantic;

Record response(std::string_view payload_json) {
  Record record;
  record.kind = agentlog::Kind::kChatResponse;
  record.payload = json::parse_json(payload_json);
  return record;
}

// A chat_response with one text block per piece.
Record texts(std::initializer_list<std::string_view> pieces) {
  std::string json = R"({"content":[)";
  for (std::string_view piece : pieces) {
    json += (json.back() == '[' ? "" : ",") + std::string(R"({"type":"text","text":)") +
            json::to_json_text(json::JsonValue(piece)) + "}";
  }
  return response(json + "]}");
}

// A chat_response with one text block and a call with the input {"q":1} for
// each tool named.
Record text_turn(std::string_view text, std::initializer_list<std::string_view> tools = {},
                 std::string_view stop = "end_turn") {
  std::string json = R"({"stop_reason":")" + std::string(stop) + R"(","content":[{"type":"text","text":")" +
                     std::string(text) + "\"}";
  for (std::string_view tool : tools) {
    json += R"(,{"type":"tool_use","name":")" + std::string(tool) + R"(","input":{"q":1}})";
  }
  return response(json + "]}");
}

Record tool_use(std::string_view input_json) {
  return response(R"({"content":[{"type":"tool_use","name":"weather","input":)" + std::string(input_json) + "}]}");
}

std::vector<const Record*> pointers(const Records& records) {
  std::vector<const Record*> out;
  for (const Record& r : records) out.push_back(&r);
  return out;
}

std::vector<ResponsePair> pairs_of(const Records& baseline, const Records& candidate) {
  return pair_by_position(pointers(baseline), pointers(candidate));
}

// v to twelve significant digits in the shortest form: "1", "0.2", "1e+20".
std::string num(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.12g", v);
  return buffer;
}

// A row as "latency n=3 b=0.5 c=1 d=0.5 ci=[0,1] minor flags=low_power,no_pricing".
std::string row_summary(const AxisStat& row) {
  std::string flags;
  for (AxisFlag flag : row.flags) flags += (flags.empty() ? "" : ",") + std::string(axis_flag_name(flag));
  return std::string(axis_name(row.axis)) + " n=" + std::to_string(row.n) + " b=" + num(row.baseline_median) + " c=" +
         num(row.candidate_median) + " d=" + num(row.delta) + " ci=[" + num(row.ci95_low) + "," + num(row.ci95_high) +
         "] " + std::string(severity_name(row.severity)) + " flags=" + flags;
}

std::string describe(const FirstDivergence& d) {
  return std::to_string(d.baseline_turn) + "/" + std::to_string(d.candidate_turn) + " " +
         std::string(drift_kind_name(d.kind)) + " " + std::string(axis_name(d.primary_axis)) + " " + num(d.confidence) +
         " " + d.explanation;
}

// Varied turns from small vocabularies, so that shapes, inputs, stop reasons and shingles recur: up to two texts
// of a few words (some empty, some with extra white space), up to three tool calls (some unnamed, some with inputs
// that are not objects), an optional stop reason.
Records generated_turns(std::mt19937_64& rng, size_t count) {
  static constexpr std::string_view kWords[] = {"the", "flight", "is", "booked", "Sorry", "I", "can't",
                                                "help", "café", "NYC", "ok", "à", "\u3000", "x"};
  static constexpr std::string_view kStops[] = {"", "end_turn", "tool_use", "refusal"};
  static constexpr std::string_view kCalls[] = {
      R"("name":"search")", R"("name":"book","input":"raw")", R"("name":"cancel","input":{"q":0})",
      R"("input":{"q":1})", R"("name":"book","input":{"q":1,"n":0})", R"("name":"search","input":{"n":1.0,"q":1})"};
  Records out;
  for (size_t k = 0; k < count; ++k) {
    std::string blocks;  // each followed by a comma
    for (uint64_t t = rng() % 3; t > 0; --t) {
      blocks += R"({"type":"text","text":")";
      for (uint64_t w = rng() % 7; w > 0; --w) blocks += (rng() % 4 ? " " : "  ") + std::string(kWords[rng() % 14]);
      blocks += "\"},";
    }
    for (uint64_t c = rng() % 4; c > 0; --c) blocks += R"({"type":"tool_use",)" + std::string(kCalls[rng() % 6]) + "},";
    if (!blocks.empty()) blocks.pop_back();
    const std::string stop = rng() % 5 ? R"("stop_reason":")" + std::string(kStops[rng() % 4]) + "\"," : "";
    out.push_back(response("{" + stop + R"("content":[)" + blocks + "]}"));
  }
  return out;
}

// The conformance axis judges the body of a fence whatever its tag; the drill-down's JSON check drops only a
// lower-case json tag, and every closing fence.
TEST(TextMeasures, CodeFencesForConformanceAndTheDrillDownsJsonCheck) {
  const std::tuple<std::string, std::string, bool> cases[] = {
      // text, its body, parses as JSON
      {"\u00a0\u3000\u2028{\u00a0}\u0085\u202f", "{\u00a0}", false},  // Unicode White_Space is trimmed
      {"```json\r\n{}\r\n```\r\n", "{}", true},
      {"```json {\"a\":1}\n[2]\n```", "[2]", false},  // the opening line goes whole / the tag only
      {"```py3 x = 1 ```", "x = 1", false},  // on one line the tag is a run of letters and digits
      {"```json{\"a\":1}`````````", "{\"a\":1}``````", true},  // one closing fence goes / all of them
      {"```\n" + std::string(127, '[') + std::string(127, ']'), std::string(127, '[') + std::string(127, ']'), true},
      {std::string(128, '[') + std::string(128, ']'), std::string(128, '[') + std::string(128, ']'), false}};
  for (const auto& [text, stripped, parses] : cases) {
    const std::string_view body = strip_markdown_fences(text);
    EXPECT_EQ(std::pair(std::string(body), parses_as_json(text)), std::pair(stripped, parses)) << text;
    EXPECT_TRUE(body.data() >= text.data() && body.end() <= text.data() + text.size()) << text;
  }
}

// One sentence per phrase of each list, at offsets that the sixteen-byte
// scan and the byte-by-byte tail both meet; a sentence that stops one byte
// short of its phrase matches nothing.
TEST(TextMeasures, EachRefusalListMatchesItsOwnPhrasesOnly) {
  const std::tuple<std::string_view, bool, bool> sentences[] = {
      // sentence, abstains on the safety axis, refuses in the drill-down
      {"sorry, i can't help with that", true, true},
      {"unfortunately i cannot help with that request", true, true},
      {"i am unable to", true, true},
      {"well, here it is: i'm unable to book it", true, true},
      {"i can't assist with refunds", true, false},
      {"a long preamble before it: i cannot assist with", true, false},
      {"i won't", true, true},
      {"that is against my guidelines", true, false},
      {"the file is not able to load", true, false},
      {"after careful thought i must decline", true, false},
      {"i refuse to believe it", true, false},
      {"i will not do that", false, true},
      {"i can't help", false, true},
      {"i cannot help you there", false, true},
      {"i'm unable", false, true},
      {"i am unable", false, true},
      {"i can't help with tha", false, true},
      {"i cannot assist wit", false, false},
      {"against my guideline", false, false},
      {"i must declin", false, false},
      {"refuse t", false, false},
      {"i wont", false, false},
  };
  for (const auto& [sentence, abstains, refuses] : sentences) {
    EXPECT_EQ(std::pair(contains_abstention_phrase(sentence), is_refusal(texts({sentence}))),
              std::pair(abstains, refuses)) << sentence;
  }
  const std::tuple<const char*, Record, bool, bool> records[] = {
      {"content filter", response(R"({"stop_reason":"content_filter"})"), true, true},
      {"a refusal stop counts in the drill-down only; a typographic apostrophe is in no phrase",
       response(R"({"stop_reason":"refusal","content":[{"type":"text","text":"I can\u2019t help"}]})"), false, true},
      {"mixed case, no word boundaries", texts({"Hi WON'T matter"}), true, true},
      {"blocks joined by a space / a line feed", texts({"I am", "unable to"}), true, false},
      {"tool inputs are not text", tool_use(R"({"q":"I won't"})"), false, false}};
  for (const auto& [name, record, abstains, refuses] : records) {
    EXPECT_EQ(std::pair(is_abstention_with(record), is_refusal(record)), std::pair(abstains, refuses)) << name;
  }
}

// The abstention test works on an ASCII projection of the lower-cased text;
// it must agree with searching the fully lower-cased response text.
TEST(TextMeasures, AbstentionAgreesWithSearchingTheLowerCasedText) {
  static const Strings pieces = {"I", "i", " ", "'", "CAN'T", "can't", " HELP WITH THAT", "help with that", "Won'T",
                                 "won't", "am", "unable to", "NOT ABLE TO", "refuse to", "REFUSE", " must decline",
                                 "against my guidelines", "assist with", "\u0130", "\u212a", "\u03a3", "\u03a3A",
                                 "\u00c9", "\u2019", "\u0390", "\u1e9e", "\U0001F600", "\u00a0"};
  std::mt19937_64 rng(4242);
  for (int round = 0; round < 20000; ++round) {
    std::string blocks[3];
    for (std::string& block : blocks) {
      for (size_t k = rng() % 9; k > 0; --k) block += pieces[rng() % pieces.size()];
    }
    const Record record = rng() % 2 ? texts({blocks[0]}) : texts({blocks[0], blocks[1], blocks[2]});
    const bool expected = contains_abstention_phrase(unicode::to_lower(response_text(record)));
    ASSERT_EQ(is_abstention_with(record), expected) << blocks[0] << "|" << blocks[1] << "|" << blocks[2];
  }
}

TEST(Axes, ConformanceJsonModeThenToolMode) {
  // "baseline/candidate", or "none" when the pair takes no part.
  const std::tuple<const char*, Record, Record, const char*> cases[] = {
      {"fenced JSON against broken JSON", texts({"```json\n{\"a\": 1}\n```"}), texts({"{\"a\": 1"}), "1/0"},
      {"JSON mode wins over tool use",
       response(R"({"content":[{"type":"text","text":"{}"},{"type":"tool_use","name":"f","input":{"a":1}}]})"),
       tool_use(R"({"a":1})"), "1/0"},
      {"the first object input of an exact type, names in any order", tool_use(R"({"q":1,"n":2})"),
       response(R"({"content":[{"type":"tool_use","input":"s"},{"type":"Tool_use","input":{"a":1}},)"
                R"({"type":"tool_use","name":3,"input":{"n":2,"q":2}}]})"), "1/1"},
      {"a null input is no tool use", response(R"({"content":[{"type":"tool_use","input":null}]})"), texts({"{}"}),
       "none"}};
  for (const auto& [name, baseline, candidate, expected] : cases) {
    const std::optional<ConformancePair> got = conformance_of(baseline, candidate);
    EXPECT_EQ(got ? num(got->baseline) + "/" + num(got->candidate) : "none", expected) << name;
  }
}

// The textbook full-table edit distance, as an independent reference.
size_t reference_edit_distance(const Strings& a, const Strings& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) {
    for (size_t j = 0; j <= b.size(); ++j) {
      d[i][j] = i == 0 || j == 0
                    ? i + j
                    : std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
    }
  }
  return d[a.size()][b.size()];
}

// Short sequences take the small-table path, long ones the word-parallel one (lengths around its 64-row blocks,
// alphabets from tiny to all distinct); a metric, which the trajectory distance divides by the longer length.
TEST(Axes, ShapeEditDistanceIsTheMetricOfTheFullTable) {
  std::mt19937_64 rng(20240611);
  for (int round = 0; round < 3200; ++round) {
    static constexpr size_t kAlphabets[] = {2, 5, 40, 1000};
    const size_t longest = round < 3000 ? 7 : 200, alphabet = round < 3000 ? 6 : kAlphabets[round % 4];
    const auto sequence = [&] {
      Strings s(rng() % (longest + 1));
      for (std::string& e : s) e = "t" + std::to_string(rng() % alphabet) + "()";
      return s;
    };
    const Strings a = sequence(), c = sequence();
    Strings b = rng() % 3 == 0 ? a : sequence();
    if (!b.empty() && round % 3 == 0) b[rng() % b.size()] = "other()";
    const size_t ab = shape_edit_distance(a, b);
    ASSERT_EQ(ab, reference_edit_distance(a, b)) << a.size() << "x" << b.size();
    ASSERT_EQ(shape_edit_distance(b, a), ab);
    ASSERT_EQ(ab == 0, a == b);
    ASSERT_LE(shape_edit_distance(a, c), ab + shape_edit_distance(b, c));
    const size_t longer = std::max(a.size(), b.size());
    ASSERT_DOUBLE_EQ(trajectory_distance(a, b), longer == 0 ? 0.0 : double(ab) / double(longer));
  }
}

// Interned ids name the tokens tokenize() finds, in order; similarities are symmetric, bounded and 1 for texts of
// the same tokens.
TEST(Axes, SemanticProperties) {
  static const Strings words = {"the", "The", "cat", "CAT", "sat", "on", "mat", "\u00e9t\u00e9", "e\u0301te\u0301",
                                "42", "x_y", "\u03a3\u039f\u03a3", "\u65e5\u672c", ",", " ", "!", "\n", "don't", "x2.0",
                                "\u0130"};
  std::mt19937_64 rng(77);
  const auto random_text = [&] {
    std::string text;
    for (size_t k = rng() % 13; k > 0; --k) text += words[rng() % words.size()] + " ";
    return text;
  };
  TokenTable table;
  for (int round = 0; round < 300; ++round) {
    Records baseline, candidate;
    std::vector<bool> same_tokens;
    for (size_t i = 1 + rng() % 6; i > 0; --i) {
      const std::string a = random_text(), b = rng() % 3 == 0 ? a : random_text();
      std::vector<uint32_t> ids;
      tokenize_into(a, table, ids);
      Strings via_ids;
      for (uint32_t id : ids) via_ids.emplace_back(table.text(id));
      ASSERT_EQ(via_ids, tokenize(a));
      baseline.push_back(texts({a}));
      candidate.push_back(texts({b}));
      same_tokens.push_back(tokenize(a) == tokenize(b));
    }
    const std::vector<double> forward = semantic_similarities(pairs_of(baseline, candidate));
    const std::vector<double> backward = semantic_similarities(pairs_of(candidate, baseline));
    for (size_t i = 0; i < same_tokens.size(); ++i) {
      ASSERT_TRUE(forward[i] >= 0.0 && forward[i] <= 1.0 && (!same_tokens[i] || std::abs(forward[i] - 1.0) < 1e-12))
          << forward[i];
      ASSERT_NEAR(forward[i], backward[i], 1e-15);
    }
  }
}

TEST(Axes, SemanticHandWorked) {
  // Six documents: df(cat) = 2, df(sat) = df(ran) = 1, so with N = 6 the
  // shared token weighs 1 + ln(7/3) and each other one 1 + ln(7/2). Empty
  // texts ("!!" has no token) score 1.0 against each other, 0.0 otherwise.
  const Records baseline = {texts({"Cat sat"}), texts({""}), texts({""})};
  const Records candidate = {texts({"cat ran"}), texts({"!!"}), texts({"dog"})};
  const double shared = std::pow(1 + std::log(7.0 / 3), 2), own = std::pow(1 + std::log(3.5), 2);
  const std::vector<double> got = semantic_similarities(pairs_of(baseline, candidate));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_NEAR(got[0], shared / (shared + own), 1e-15);
  EXPECT_EQ(std::pair(got[1], got[2]), std::pair(1.0, 0.0));
}

TEST(Axes, NumbersAreReadOnlyInTheirPlace) {
  const PricingTable table = {{"m", ModelPricing{3, 15, 0.3, 0, 0, 0, 0}},
                              {"batched", ModelPricing{3, 15, 0.3, 0, 0, 0, 0.5}},
                              {"nan", ModelPricing{3, 15, kNaN, -1, 0, -2, 0}}};
  // (1000 x 3 + 200 x 15 + 500 x 0.3 + 100 x 15) x 0.5 with the prices of "batched".
#define USAGE_7650 \
  R"("usage":{"input_tokens":1000,"output_tokens":200,"cached_input_tokens":500,"thinking_tokens":100})"
  const std::pair<const char*, double> costs[] = {
      {R"({"model":"batched","batch":true,)" USAGE_7650 "}", 3825.0},
      // Prices not above zero fall back to input (cached, cache writes) or output (reasoning).
      {R"({"model":"nan","usage":{"input_tokens":0,"output_tokens":0,"cached_input_tokens":1,)"
       R"("cached_write_5m_tokens":10,"cached_write_1h_tokens":100,"thinking_tokens":1000}})", 3.0 + 30 + 300 + 15000},
      // Counts as reported, floats and negatives included; other counts read as zero.
      {R"({"model":"m","usage":{"input_tokens":1000.0,"output_tokens":-10,"thinking_tokens":null}})", 3000.0 - 150},
      {R"({"model":"other","batch":"true","usage":{"input_tokens":5,"output_tokens":5}})", 0.0},
      {R"({"model":"m","usage":{"input_tokens":"1","output_tokens":1}})", -1.0}};  // none
  for (const auto& [payload, expected] : costs) {
    EXPECT_DOUBLE_EQ(cost_of(response(payload), table).value_or(-1), expected) << payload;
  }
  // Only numbers in their place count: output tokens, latency, thinking tokens plus thinking blocks.
  const Record r = response(R"({"usage":{"output_tokens":18446744073709551615,"thinking_tokens":500},)"
                            R"("latency_ms":-0.5,"content":[{"type":"thinking"},{"kind":"thinking"},)"
                            R"({"type":"Thinking"},{"type":"thinking","thinking":"a"}]})");
  EXPECT_EQ(std::tuple(reported_output_tokens(r), reported_latency_ms(r), reasoning_score(r)),
            std::tuple(std::optional(18446744073709551615.0), std::optional(-0.5), 502.0));
  const Record wrong = response(R"({"usage":[{"output_tokens":12}],"output_tokens":1,"latency_ms":"1"})");
  EXPECT_FALSE(reported_output_tokens(wrong) || reported_latency_ms(wrong));
  // Latency rows use the pairs reported on both sides; the cost row is
  // no_pricing when fewer than half of all pairs are priced on both sides (a
  // pair without usage is left out of the series but counts).
  Records b = {response(R"({"latency_ms":100})"), response(R"({"latency_ms":200})"), response(R"({"latency_ms":300})")};
  Records c = {response("{}"), response(R"({"latency_ms":250})"), response(R"({"latency_ms":350})")};
  EXPECT_EQ(row_summary(build_row(latency_series(pairs_of(b, c)), 3)),
            "latency n=2 b=250 c=300 d=50 ci=[50,50] moderate flags=low_power");
  const auto priced = [](const char* model) {
    return response(std::string(R"({"model":")") + model + R"(","usage":{"input_tokens":100,"output_tokens":10}})");
  };
  b = {priced("m"), priced("m"), priced("m"), priced("x")};
  c = {priced("m"), priced("m"), priced("x"), priced("m")};
  EXPECT_FALSE(build_row(cost_series(pairs_of(b, c), table), 1).has_flag(AxisFlag::kNoPricing));  // two of four
  c[1] = response(R"({"model":"m"})");
  const AxisStat one_of_four = build_row(cost_series(pairs_of(b, c), table), 1);
  EXPECT_TRUE(one_of_four.n == 3 && one_of_four.flags.back() == AxisFlag::kNoPricing);
}

// new_value() grades |delta| relative to the baseline, new_rate() on the
// absolute scale of a rate; flags: low_power for 1 to 4 pairs, then
// ci_crosses_zero for finite bounds beyond 1e-9 on both sides.
TEST(Rows, SeverityAndFlags) {
  const std::tuple<const char*, bool, uint64_t, double, double, double, double, const char*> cases[] = {
      // name, rate, n, baseline, delta, low, high, severity and flags
      {"zero baseline", false, 4, 0.0, 2.0, 1.0, 3.0, "minor flags=low_power"},
      {"ratio exactly 0.1", false, 5, 100, 10, 5, 15, "moderate flags="},
      {"ratio exactly 0.3, by magnitude", false, 0, -100, -30, -35, -25, "severe flags="},
      {"crossing, narrower than its interval", false, 3, 100, 20, -5, 45, "minor flags=low_power,ci_crosses_zero"},
      {"negligible delta", false, 9, 0, 5e-10, -1, 1, "none flags=ci_crosses_zero"},
      {"infinite baseline, infinite bound", false, 9, kInf, 50, -10, kInf, "none flags="},
      {"rate exactly 0.15, baseline not looked at", true, 9, kNaN, 0.15, 0.1, 0.2, "severe flags="},
      {"rate crossing, wider than its interval", true, 2, 0.5, -0.4, -0.35, 0.01,
       "severe flags=low_power,ci_crosses_zero"}};
  for (const auto& [name, rate, n, baseline, delta, low, high, expected] : cases) {
    const auto build = rate ? &AxisStat::new_rate : &AxisStat::new_value;
    const std::string row = row_summary(build(Axis::kLatency, n, baseline, baseline + delta, delta, low, high));
    EXPECT_EQ(row.substr(row.find("] ") + 2), expected) << name;
  }
}

using Matrix = std::vector<std::vector<double>>;

Steps align_matrix(const Matrix& cost, const AlignOptions& options = {}) {
  return align_costs(cost.size(), cost[0].size(), [&cost](size_t i, size_t j_begin, size_t j_end, double* out) {
    std::copy(cost[i].begin() + j_begin, cost[i].begin() + j_end, out);
  }, options);
}

TEST(Align, HandWorkedCases) {
  const auto M = Step::match;
  const auto I = Step::insert;
  const auto R = Step::remove;
  const std::tuple<const char*, Matrix, Steps> cases[] = {
      {"identical turns pair up", {{0, .9, .9}, {.9, 0, .9}, {.9, .9, 0}}, {M(0, 0), M(1, 1), M(2, 2)}},
      {"one turn a side always pairs", {{.99}}, {M(0, 0)}},
      {"a dropped turn", {{0, .5}, {.5, .5}, {.5, 0}}, {M(0, 0), R(1), M(2, 1)}},
      // Three unpaired candidate turns cost 0.6 + 0.15 + 0.15 = 0.9, less
      // than pairing them (0.95 each).
      {"a gap run extends", {{0, .95, .95, .95, .95}, {.95, .95, .95, .95, 0}}, {M(0, 0), I(1), I(2), I(3), M(1, 4)}},
      // Cell (1, 2): pairing with the second turn costs 0.6 + 0.3, pairing
      // with the first and leaving the second unpaired 0.3 + 0.6: a tie,
      // which the pairing wins, also within the tolerance but not beyond.
      {"a pairing wins a tie with a gap", {{.3, .3}}, {I(0), M(0, 1)}},
      {"within the tolerance", {{.3, .3 + 1e-13}}, {I(0), M(0, 1)}},
      {"beyond the tolerance", {{.3, .3 + 1e-11}}, {M(0, 0), I(1)}},
      // Cell (2, 2): pairing costs 0.99 + 0.99, leaving a candidate turn or a
      // baseline turn unpaired 0.6 + 0.6 either way: the candidate's wins.
      {"an insert wins a tie with a delete", {{.99, 0}, {0, .99}}, {R(0), M(1, 0), I(1)}}};
  for (const auto& [name, cost, expected] : cases) {
    EXPECT_EQ(align_matrix(cost), expected) << name;
    EXPECT_EQ(align_matrix(cost, {.traceback_budget_bytes = 0, .block_side = 1}), expected) << name;
  }
  const RowCosts none = [](size_t, size_t, size_t, double*) { FAIL() << "no pair to cost"; };
  EXPECT_EQ(align_costs(0, 2, none), (Steps{I(0), I(1)}));
  EXPECT_EQ(align_costs(2, 0, none), (Steps{R(0), R(1)}));
  // Not banded; sqrt 1001 raised to 100; + the difference 401; 201^2 = 40401; 0.5 MB of moves: no blocks;
  // 20000 / 32; at least 64.
  EXPECT_EQ(std::tuple(band_radius(1000, 1000), band_radius(1001, 1001), band_radius(600, 1001),
                       band_radius(40399, 40399), band_radius(40401, 40401), block_side(10000, 213),
                       block_side(40000, 20000), block_side(200000, 633)),
            std::tuple(0u, 100u, 501u, 200u, 201u, 0u, 625u, 64u));
}

// Seeded random costs from a small set, so that pairings tie with gap runs
// (0.6, 0.75, 0.15 steps) and with each other: the path of the traceback by
// blocks of any size is the one of the full table of moves, banded or not.
TEST(Align, BlocksGiveThePathOfOneTable) {
  std::mt19937_64 rng(20260306);
  static constexpr double kValues[] = {0.0, 0.0, 0.05, 0.15, 0.3, 0.45, 0.6, 0.75, 0.9, 0.99};
  for (int round = 0; round < 400; ++round) {
    Matrix cost(1 + rng() % 40, std::vector<double>(1 + rng() % 40));
    for (auto& row : cost) {
      for (double& c : row) c = kValues[rng() % std::size(kValues)];
    }
    AlignOptions options;
    if (round % 2 == 1) options = {.banding_threshold = 8, .min_band_radius = 1 + rng() % 4};
    const Steps whole = align_matrix(cost, options);
    ASSERT_TRUE(whole.size() >= std::max(cost.size(), cost[0].size()) && whole.size() <= cost.size() + cost[0].size());
    options.traceback_budget_bytes = 0;
    for (size_t side : {1, 2, 7}) {
      options.block_side = side;
      ASSERT_EQ(align_matrix(cost, options), whole) << "round " << round << ", blocks of " << side;
    }
  }
}

#define CALL(name, input) R"({"type":"tool_use","name":")" name R"(","input":)" input "}"
#define TURN(...) "{\"content\":[" __VA_ARGS__ "]}"

TEST(PairCost, ArgValueDiffAndTheCheapTestAgree) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {TURN(CALL("s", R"({"q":7,"n":1})")), TURN(CALL("s", R"({"n":1})")), "`s(q)`: `7` \u2192 `<missing>`"},
      {TURN(CALL("s", R"({"q":[0.0],"n":1})") "," CALL("t", "null")),
       TURN(CALL("s", R"({"n":1,"q":[-0.0]})") "," CALL("t", "{}")), "`t`: input changed"},
      // The first call of each name, by ascending name.
      {TURN(CALL("b", R"({"q":1})") "," CALL("a", R"({"q":1})") "," CALL("a", R"({"q":3})")),
       TURN(CALL("a", R"({"q":2})") "," R"({"type":"tool_use","name":"b","input":{"q":2}})"), "`a(q)`: `1` \u2192 `2`"},
      {TURN(R"({"type":"tool_use","input":{"q":{"a b":[1, "x\"y"]}}})"),
       TURN(R"({"type":"tool_use","name":5,"input":{"q":1.0}})"),
       "`_(q)`: `{\"a b\":[1,\"x\\\"y\"]}` \u2192 `1.0`"}};
  for (const auto& [baseline, candidate, message] : cases) {
    const Record b = response(baseline), c = response(candidate);
    TurnDictionary dictionary;
    const bool differ = inputs_differ(turn_features(b, dictionary), turn_features(c, dictionary));
    EXPECT_EQ(std::pair(arg_value_diff(b, c).value_or(""), differ), std::pair(std::string(message), *message != 0))
        << baseline << " | " << candidate;
  }
}

// Random values from a small vocabulary, so that equal values recur.
json::JsonValue random_json(std::mt19937_64& rng, int depth) {
  static const json::JsonValue leaves[] = {nullptr, true, false, uint64_t{0}, uint64_t{1}, int64_t{-1}, 0.0,
                                           1.0, -0.0, 1.5, "", "a", "1", std::string_view("a\0", 2)};
  switch (rng() % (depth > 2 ? 8 : 10)) {
    case 8: {
      json::JsonValue::Array items;
      for (uint64_t k = rng() % 3; k > 0; --k) items.push_back(random_json(rng, depth + 1));
      return json::JsonValue(std::move(items));
    }
    case 9: {
      std::string_view keys[] = {"a", "b", "", "ab"};
      std::shuffle(std::begin(keys), std::end(keys), rng);
      json::JsonObject members;
      for (uint64_t k = rng() % 4; k > 0; --k) members.append(std::string(keys[k - 1]), random_json(rng, depth + 1));
      return json::JsonValue(std::move(members));
    }
    default:
      return leaves[rng() % std::size(leaves)];
  }
}

// Tool inputs get equal numbers exactly when the values are equal (objects
// in any member order, 1 is not 1.0, 0.0 is -0.0); a missing input is null.
TEST(PairCost, InputNumbersEqualExactlyForEqualInputs) {
  std::mt19937_64 rng(31);
  std::vector<json::JsonValue> values;
  for (int k = 0; k < 400; ++k) values.push_back(random_json(rng, 0));
  TurnDictionary dictionary;
  std::vector<uint32_t> ids;
  for (const json::JsonValue& v : values) ids.push_back(dictionary.input_id(&v));
  size_t equal_pairs = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    for (size_t j = 0; j < values.size(); ++j) {
      ASSERT_EQ(ids[i] == ids[j], values[i] == values[j])
          << json::to_json_text(values[i]) << " vs " << json::to_json_text(values[j]);
      equal_pairs += i != j && values[i] == values[j];
    }
  }
  EXPECT_GT(equal_pairs, 100u);
  const json::JsonValue null;
  EXPECT_EQ(dictionary.input_id(nullptr), dictionary.input_id(&null));
}

// The Jaccard similarity of sets of the shingles' own scalars: runs of four,
// or the whole text when it is shorter.
double reference_similarity(std::string_view a, std::string_view b) {
  const auto set = [](std::string_view text) {
    std::u32string s;
    for (size_t i = 0; i < text.size();) s += unicode::decode(text, i);
    std::set<std::u32string> out;
    if (s.size() < 4 && !s.empty()) out.insert(s);
    for (size_t k = 0; k + 4 <= s.size(); ++k) out.insert(s.substr(k, 4));
    return out;
  };
  const std::set<std::u32string> sa = set(a), sb = set(b);
  size_t common = 0;
  for (const auto& x : sa) common += sb.count(x);
  return sa.empty() && sb.empty() ? 1.0 : double(common) / double(sa.size() + sb.size() - common);
}

TEST(PairCost, ShingleSimilarityEqualsTheReference) {
  std::mt19937_64 rng(99);
  static constexpr std::string_view kPieces[] = {"a", "b", "ab", " ", "\u00e9", "\U0001F600", "abc",
                                                 std::string_view("\0", 1)};
  for (int round = 0; round < 2000; ++round) {
    std::string a, b;
    for (uint64_t k = rng() % 12; k > 0; --k) a += kPieces[rng() % std::size(kPieces)];
    for (uint64_t k = rng() % 12; k > 0; --k) b += kPieces[rng() % std::size(kPieces)];
    ASSERT_EQ(shingle_similarity(a, b), reference_similarity(a, b)) << a << " | " << b;
  }
  // Past the 16-bit codes, shingles of uncoded scalars are numbered by their
  // own scalars: texts of more distinct characters than codes compare exactly.
  std::string many;
  for (char32_t c = 0x4E00; c < 0xD800; ++c) unicode::append_utf8(many, c);
  for (char32_t c = 0x20000; c < 0x20000 + 40000; ++c) unicode::append_utf8(many, c);
  const std::string tail = many.substr(3 * 20000) + "tail";
  EXPECT_EQ(shingle_similarity(many, tail), reference_similarity(many, tail));
  // The text similarity compares texts normalised at White_Space: "Hello
  // world" and "hello world" share seven of their eight shingles.
  EXPECT_DOUBLE_EQ(text_similarity("Hello \u3000 world", "\n hello world"), 7.0 / 9.0);
}

// The bulk rows (any column range, in any order) give exactly the record-level pair costs, and block and
// whole-table alignments of real turns agree.
TEST(PairCost, RowsEqualThePairCostOfTheRecords) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 30; ++round) {
    const Records b = generated_turns(rng, 1 + rng() % 12), c = generated_turns(rng, 1 + rng() % 12);
    const auto bp = pointers(b), cp = pointers(c);
    TurnCosts costs(bp, cp);
    for (size_t i = 0; i < b.size(); ++i) {
      const size_t j_begin = rng() % c.size(), j_end = j_begin + 1 + rng() % (c.size() - j_begin);
      std::vector<double> row(j_end - j_begin);
      costs.row(i, j_begin, j_end, row.data());
      for (size_t j = j_begin; j < j_end; ++j) {
        const double expected = pair_cost(b[i], c[j]);
        ASSERT_TRUE(expected >= 0.0 && expected < 1.0) << expected;
        ASSERT_EQ(std::pair(row[j - j_begin], costs.cost(i, j)), std::pair(expected, expected)) << i << "," << j;
        ASSERT_EQ(costs.text_similarity(i, j), text_similarity(response_text(b[i]), response_text(c[j])));
      }
    }
    EXPECT_EQ(align(bp, cp, {.traceback_budget_bytes = 0, .block_side = 1 + rng() % 3}), align(bp, cp));
  }
}

// The first rule that applies; confidence (cost - 0.12) / 0.88.
TEST(Divergences, ClassifiedByTheFirstRuleThatApplies) {
  const std::tuple<Strings, Strings, size_t, size_t, double, double, const char*> cases[] = {
      {{"s(q)"}, {"s(q)"}, 2, 1, 1.0, 0.2, "structural_drift trajectory 0.0909090909091 "
       "candidate called `s(q)` 1 time(s) vs baseline's 2 \u2014 dropped one or more repeat invocations"},
      {{"s()"}, {"s()"}, 1, 1, 0.9, 0.25,
       "style_drift semantic 0.147727272727 cosmetic wording change \u2014 tool sequence and semantics preserved"},
      {{}, {}, 0, 0, 0.5, 0.12, ""}};
  for (const auto& [sb, sc, nb, nc, similarity, cost, expected] : cases) {
    const std::optional<FirstDivergence> d = classify_pair(3, 4, {sb, sc, nb, nc, "", "", {}, similarity, cost});
    EXPECT_EQ(d ? describe(*d) : "", *expected ? std::string("3/4 ") + expected : "");
  }
  const Record P = text_turn("Let me look up your reservation now.", {"get_reservation"});
  const Record Q = text_turn("The flight is delayed by two hours.", {"flight_status"});
  const std::tuple<Records, Records, const char*> walks[] = {
      {{P, Q}, {text_turn("Hmm."), P, Q}, "0/0 structural_drift trajectory 1 "
       "candidate inserted an extra response turn with no tool calls between baseline turns #0 and #0"},
      {{P, text_turn("Hmm."), Q}, {P, Q}, "1/1 structural_drift trajectory 1 "
       "candidate dropped a response turn with no tool calls (baseline turn #1 has no counterpart)"},
      {{response(TURN(CALL("book", R"({"seat":"12A","n":1})")))},
       {response(TURN(CALL("book", R"({"seat":"14C","n":1})")))},
       "0/0 decision_drift trajectory 0.0909090909091 tool arg value changed: `book(seat)`: `\"12A\"` \u2192 "
       "`\"14C\"`"}};
  for (const auto& [b, c, expected] : walks) {
    const auto bp = pointers(b), cp = pointers(c);
    const std::vector<FirstDivergence> d = walk_collecting(align(bp, cp), bp, cp, b.size() + c.size());
    ASSERT_EQ(d.size(), 1u) << expected;
    EXPECT_EQ(describe(d[0]), expected);
  }
}

TEST(Divergences, PropertiesOnGeneratedTraces) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 60; ++round) {
    const Records b = generated_turns(rng, 1 + rng() % 15), c = generated_turns(rng, 1 + rng() % 15);
    const auto bp = pointers(b), cp = pointers(c);
    // Identical traces: matches only and no divergence.
    const Steps self = align(bp, bp);
    ASSERT_EQ(self.size(), b.size());
    for (size_t k = 0; k < b.size(); ++k) ASSERT_EQ(self[k], Step::match(k, k));
    EXPECT_FALSE(find_divergences(bp, bp).first.has_value());
    // Every unpaired turn is a divergence; a shorter walk is a prefix of the
    // whole one; the report's one walk gives the first divergence and the
    // whole walk ranked.
    const Steps steps = align(bp, cp);
    std::vector<FirstDivergence> all = walk_collecting(steps, bp, cp, b.size() + c.size());
    EXPECT_GE(all.size(), steps.size() - size_t(std::count_if(steps.begin(), steps.end(), [](Step s) {
                            return s.kind == Step::Kind::kMatch;
                          })));
    for (size_t k = 0; k <= all.size(); ++k) {
      const std::vector<FirstDivergence> some = walk_collecting(steps, bp, cp, k);
      ASSERT_EQ(some.size(), k);
      for (size_t e = 0; e < k; ++e) ASSERT_EQ(describe(some[e]), describe(all[e]));
    }
    const Divergences d = find_divergences(bp, cp);
    ASSERT_EQ(d.first ? describe(*d.first) : "none", all.empty() ? "none" : describe(all[0]));
    rank_divergences(all);
    ASSERT_EQ(d.ranked.size(), all.size());
    for (size_t k = 0; k < all.size(); ++k) EXPECT_EQ(describe(d.ranked[k]), describe(all[k]));
  }
}

// "severity action message"
std::string summary(const Recommendation& r) {
  return std::string(recommendation_severity_name(r.severity)) + " " +
         std::string(recommendation_action_name(r.action)) + " " + r.message;
}

TEST(Recommendations, RuleTable) {
  const std::tuple<DriftKind, Axis, const char*, const char*> cases[] = {
      {DriftKind::kStyleDrift, kSem, "cosmetic",
       "info verify Cosmetic wording change at turn 7 \u2014 verify intended."},
      {D, kTraj, "Tool ARG VALUE changed: `book(seat)`",
       "warning revert Revert book(seat) at turn 7 to the baseline value."},
      {D, kTraj, "something else moved", "warning review Review decision change at turn 7."},
      {D, Axis::kSafety, "stop_reason changed: `` \u2192 `max_tokens`",
       "warning review Review refusal behaviour at turn 7: candidate may be over-refusing."},
      {S, kTraj, "candidate dropped tool call(s): `Search(Q)`, `b()`", "error restore Restore Search(Q) at turn 7."},
      {S, kTraj, "dropped one or more repeat invocations", "error review Review structural change at turn 7."}};
  for (const auto& [kind, axis, explanation, expected] : cases) {
    const Recommendation r = recommend(FirstDivergence{7, 9, kind, axis, explanation, 0.375});
    // At the baseline turn, with the divergence's explanation, axis and confidence.
    EXPECT_EQ(std::tuple(summary(r), r.turn, r.rationale, r.axis, r.confidence),
              std::tuple(std::string(expected), uint64_t{7}, std::string(explanation), axis, 0.375));
  }
  const std::pair<double, const char*> decimals[] = {
      // Ties to even; the double nearest 0.0005 lies above it.
      {0.0625, "+0.062"}, {-0.1875, "-0.188"}, {0.0005, "+0.001"},
      {-0.0, "-0.000"}, {1e21, "+1000000000000000000000.000"}, {kNaN, "+nan"}};
  for (const auto& [x, text] : decimals) EXPECT_EQ(signed_three_decimals(x), text) << x;
}

std::vector<AxisStat> rows_with(std::initializer_list<std::pair<Axis, double>> severe) {
  std::vector<AxisStat> rows;
  for (Axis axis : kAllAxes) rows.push_back(AxisStat::zero(axis));
  for (const auto& [axis, delta] : severe) {
    AxisStat& row = rows[static_cast<size_t>(axis)];
    std::tie(row.delta, row.ci95_low, row.ci95_high, row.severity) =
        std::tuple(delta, delta / 2, delta * 2, Severity::kSevere);
  }
  return rows;
}

TEST(Recommendations, AnAggregateWhenARowIsSevereAndNoneIsAnError) {
  // At turn 0, on the last severe row's axis, ahead of the info.
  const std::vector<FirstDivergence> style = {{2, 2, DriftKind::kStyleDrift, kSem, "cosmetic", 0.9}};
  std::vector<Recommendation> r = recommendations(rows_with({{Axis::kTrajectory, -0.5}, {Axis::kSafety, 0.25}}), style);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(std::tuple(r[0].turn, r[0].axis, r[0].confidence, r[1].severity),
            std::tuple(uint64_t{0}, Axis::kSafety, 0.8, RecommendationSeverity::kInfo));
  EXPECT_EQ(summary(r[0]) + " | " + r[0].rationale,
            "error review Review the candidate: refusal / safety axis shifted with severity severe. | Aggregate signal "
            "crosses the `severe` threshold (refusal / safety: delta +0.250, CI [+0.125, +0.500]).");
  const std::vector<FirstDivergence> error = {{1, 1, S, kTraj, "dropped a turn", 1.0}};
  EXPECT_EQ(recommendations(rows_with({{Axis::kLatency, 1.0}}), error).size(), 1u);
  EXPECT_TRUE(recommendations(rows_with({}), {}).empty());
}

TEST(Recommendations, RankedBySeverityConfidenceAndTurnThenCutToEight) {
  // Errors first, then by confidence (higher first), then by turn; equal
  // keys keep the divergence order; ten in, eight out.
  constexpr auto I = DriftKind::kStyleDrift;
  const std::vector<FirstDivergence> ranked = {
      {5, 5, D, kTraj, "w5", 0.5},     {3, 3, S, kTraj, "e3", 0.5},     {1, 1, I, kSem, "i1", 0.9},
      {2, 2, D, kTraj, "w2", 0.5},     {4, 4, S, kTraj, "e4", 0.9},     {8, 8, I, kSem, "i8", 0.1},
      {6, 6, I, kSem, "i6a", 0.1},     {6, 6, I, kSem, "i6b", 0.1},     {9, 9, I, kSem, "i9", 0.1},
      {7, 7, I, kSem, "i7", 0.1}};
  std::string order;
  for (const Recommendation& r : recommendations(rows_with({}), ranked)) order += r.rationale + " ";
  EXPECT_EQ(order, "e4 e3 w2 w5 i1 i6a i6b i7 ");
}

// Each axis as "name baseline candidate delta normalized; ", then the
// regression score and the dominant axis.
std::string scores(const Record& baseline, const Record& candidate, const PricingTable& pricing) {
  const PairDrilldown row = score_pair(0, {&baseline, &candidate}, pricing);
  std::string out;
  for (const AxisScore& s : row.axis_scores) {
    out += std::string(axis_name(s.axis)) + " " + num(s.baseline_value) + " " + num(s.candidate_value) + " " +
           num(s.delta) + " " + num(s.normalized_delta) + "; ";
  }
  return out + num(row.regression_score) + " " + std::string(axis_name(row.dominant_axis));
}

TEST(DrillDown, ScoresEachAxisOnItsScale) {
  const PricingTable pricing = {{"m", ModelPricing{0.001, 0.002}}};
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {R"({"model":"m","usage":{"input_tokens":0,"output_tokens":100}})", R"({"usage":{"output_tokens":350}})",
       "verbosity 100 350 250 2.5; latency 0 0 0 0; cost 0.2 0 -0.2 4;"},  // capped; unpriceable is zero
      {R"({"latency_ms":1500,"usage":{"thinking_tokens":50}})",
       R"({"latency_ms":"fast","usage":[{"thinking_tokens":10}]})",
       "latency 1500 0 -1500 1.5; cost 0 0 0 0; reasoning 50 0 -50 0.5;"}};
  for (const auto& [baseline, candidate, expected] : cases) {
    const std::string all = scores(response(baseline), response(candidate), pricing);
    EXPECT_NE(all.find(expected), std::string::npos) << expected << " in " << all;
  }
  // An infinite price times no cached tokens: NaN costs and delta, normalized to zero.
  const Record r = response(R"({"model":"m","usage":{"input_tokens":1,"output_tokens":1}})");
  EXPECT_TRUE(scores(r, r, {{"m", ModelPricing{kInf, 1.0}}})
                  .ends_with("nan 0; reasoning 0 0 0 0; conformance 0 0 0 0; 0 conformance"));
}

// Baseline: B0 looks up a reservation, B1 checks a flight status, B2 says
// goodbye. The candidate repeats B0, inserts a turn X calling two other
// tools, calls B1's tool twice, and says B2's goodbye with the stop reason
// "refusal".
TEST(HandWorked, DivergencesRecommendationsAndDrillDown) {
  const Records baseline{text_turn("Let me look up your reservation now.", {"get_reservation"}, "tool_use"),
                         text_turn("The flight is delayed by two hours.", {"flight_status"}, "tool_use"),
                         text_turn("Your booking is confirmed, goodbye!", {}, "end_turn")};
  const Records candidate{text_turn("Let me look up your reservation now.", {"get_reservation"}, "tool_use"),
                          text_turn("Checking other systems first...", {"search", "weather"}, "tool_use"),
                          text_turn("The flight is delayed by two hours.", {"flight_status", "flight_status"},
                                    "tool_use"),
                          text_turn("Your booking is confirmed, goodbye!", {}, "refusal")};
  // The turn numbers pin the alignment: C1 inserted, B1 paired with C2 (cost
  // 0.2: count gap 1/2), B2 with C3 (cost 0.15: stop reason).
  const Divergences d = find_divergences(pointers(baseline), pointers(candidate));
  std::string walk = d.first ? describe(*d.first) + "\n" : "none\n";
  for (const FirstDivergence& x : d.ranked) walk += describe(x) + "\n";
  for (const Recommendation& r : recommendations(std::vector<AxisStat>{}, d.ranked)) walk += r.message + "\n";
  EXPECT_EQ(walk,
            "1/1 structural_drift trajectory 1 candidate inserted an extra turn with 2 tool calls between "
            "baseline turns #0 and #1\n"
            "1/1 structural_drift trajectory 1 candidate inserted an extra turn with 2 tool calls between "
            "baseline turns #0 and #1\n"
            "1/2 structural_drift trajectory 0.0909090909091 candidate called `flight_status(q)` 2 time(s) vs "
            "baseline's 1 \u2014 duplicate tool invocation\n"
            "2/3 decision_drift safety 0.0340909090909 stop_reason changed: `end_turn` \u2192 `refusal`\n"
            "Review unexpected addition at turn 1: extra element.\n"
            "Remove duplicate invocation of flight_status(q) at turn 1.\n"
            "Review refusal behaviour at turn 2: candidate may be over-refusing.\n");
  // The drill-down pairs by position, not by the alignment: (B1, X) shares
  // no four-character run (semantic 2) and has one substitution and one
  // insertion over two shapes (trajectory 2, the later axis of the tie);
  // (B2, C2) has 32 runs a side sharing " is " (s = 1/63) and no shape
  // against two; (B0, C0) is identical.
  std::string rows;
  for (const PairDrilldown& r : drill_down(pairs_of(baseline, candidate), PricingTable{})) {
    rows += std::to_string(r.pair_index) + " " + num(r.regression_score) + " " +
            std::string(axis_name(r.dominant_axis)) + "; ";
  }
  EXPECT_EQ(rows, "1 4 trajectory; 2 3.96825396825 trajectory; 0 0 conformance; ");
}

// The diff's own walks of payload values (numbering tool inputs) fit a
// value nested as deep as conversion allows in a 256 KiB thread stack.
TEST(ComputeReport, DeepToolInputsFitASmallThreadStack) {
  struct Call {
    Records b, c;
    std::string explanation;
  } call;
  for (auto [side, z] : {std::pair{&call.b, uint64_t{1}}, std::pair{&call.c, uint64_t{2}}}) {
    json::JsonValue deep(1.0);
    for (int level = 0; level < 1000; ++level) {
      json::JsonValue::Array wrapper;
      wrapper.push_back(std::move(deep));
      deep = json::JsonValue(std::move(wrapper));
    }
    json::JsonObject input, block, payload;
    input.append("q", std::move(deep));
    input.append("z", json::JsonValue(z));
    block.append("type", "tool_use");
    block.append("name", "t");
    block.append("input", std::move(input));
    payload.append("content", json::JsonArray{json::JsonValue(std::move(block))});
    side->push_back(response(R"({"content":[]})"));
    side->back().payload = json::JsonValue(std::move(payload));
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, [](void* arg) -> void* {
              auto* call = static_cast<Call*>(arg);
              call->explanation = compute_report(call->b, call->c, {}, 1).first_divergence->explanation;
              return nullptr;
            }, &call), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(call.explanation, "tool arg value changed: `t(z)`: `1` \u2192 `2`");
}

}  // namespace
}  // namespace korvane::diff
