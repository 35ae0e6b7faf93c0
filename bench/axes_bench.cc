// Times the text and tool axes (semantic, trajectory, safety, conformance) on
// synthetic response pairs: about 2 KB of prose per response, some with
// non-ASCII characters, some with tool calls, some answering in JSON.
//
// usage: axes_bench [pairs] [repeats]
//
// For each axis it prints the median over the repeats of the per-pair work
// alone (the value series) and of the whole row (series and bootstrap), in
// CPU time of the thread.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/diff/conformance.h"
#include "core/diff/safety.h"
#include "core/diff/semantic.h"
#include "core/diff/trajectory.h"

namespace {

using korvane::agentlog::Record;
using korvane::diff::ResponsePair;
using korvane::json::JsonObject;
using korvane::json::JsonValue;

// English-like prose: common words drawn with a Zipf-like frequency (word k
// with weight 1 / (k + 1)), sentences starting with a capital letter.
class Words {
 public:
  explicit Words(std::mt19937_64& rng) : rng_(rng) {
    static const char* kWords =
        "the of and to a in is you that it for your on with as this be are I can have or will "
        "not flight from by at an if reservation we me my please booking would any there which "
        "their they one all also more has was been our these when what about new other only them "
        "so time some into its than then like could information help check details passenger "
        "cancel change payment option cabin economy business date return baggage seat policy "
        "refund travel certificate insurance available confirm number user account member gold "
        "silver segment origin destination airport city total price fee charge credit card "
        "should need want here now before after just make sure let know following update "
        "first second third next each both either however because since while where who how "
        "review request provide find found search book booked trip one-way round-trip today "
        "tomorrow morning evening hours minutes delayed scheduled status original modify "
        "upgrade downgrade basic class compensation voucher ID code name email address";
    std::vector<double> weights;
    for (const char* p = kWords; *p != '\0';) {
      const char* q = p;
      while (*q != '\0' && *q != ' ') ++q;
      words_.emplace_back(p, q);
      weights.push_back(1.0 / static_cast<double>(words_.size()));
      p = *q == ' ' ? q + 1 : q;
    }
    pick_ = std::discrete_distribution<size_t>(weights.begin(), weights.end());
  }

  std::string prose(size_t bytes, bool non_ascii) {
    static const char* kNonAscii[] = {"\u2019s", "\u2014", "caf\u00e9", "na\u00efve", "\u00dcber", "\u2192"};
    std::string text;
    bool sentence_start = true;
    while (text.size() < bytes) {
      std::string word = words_[pick_(rng_)];
      if (non_ascii && rng_() % 30 == 0) word = kNonAscii[rng_() % 6];
      if (sentence_start && word[0] >= 'a' && word[0] <= 'z') word[0] = static_cast<char>(word[0] - 'a' + 'A');
      text += word;
      const size_t r = rng_() % 16;
      sentence_start = r == 0 || r == 1;
      text += r == 0 ? ".\n" : r == 1 ? ". " : r == 2 ? ", " : r == 3 ? ": " : " ";
    }
    return text;
  }

 private:
  std::mt19937_64& rng_;
  std::vector<std::string> words_;
  std::discrete_distribution<size_t> pick_;
};

JsonValue text_block(std::string text) {
  JsonObject block;
  block.append("type", JsonValue("text"));
  block.append("text", JsonValue(std::move(text)));
  return JsonValue(std::move(block));
}

JsonValue tool_block(std::mt19937_64& rng) {
  static const char* kTools[] = {"search_flights", "get_reservation", "cancel", "update_passengers"};
  static const char* kArgs[] = {"origin", "destination", "date", "reservation_id", "cabin", "passengers"};
  JsonObject input;
  const size_t args = 1 + rng() % 3;
  for (size_t k = 0; k < args; ++k) input.insert_or_assign(kArgs[rng() % 6], JsonValue("value"));
  JsonObject block;
  block.append("type", JsonValue("tool_use"));
  block.append("name", JsonValue(kTools[rng() % 4]));
  block.append("input", JsonValue(std::move(input)));
  return JsonValue(std::move(block));
}

Record make_response(Words& words, std::mt19937_64& rng) {
  JsonValue::Array content;
  const size_t kind = rng() % 10;
  if (kind == 0) {
    content.push_back(text_block("```json\n{\"answer\": \"" + words.prose(200, false) + "\"}\n```"));
  } else {
    content.push_back(text_block(words.prose(2000, kind < 4)));
  }
  if (kind >= 6) {
    const size_t calls = 1 + rng() % 3;
    for (size_t k = 0; k < calls; ++k) content.push_back(tool_block(rng));
  }
  JsonObject payload;
  payload.append("content", JsonValue(std::move(content)));
  payload.append("stop_reason", JsonValue(kind >= 6 ? "tool_use" : "end_turn"));
  Record record;
  record.kind = korvane::agentlog::Kind::kChatResponse;
  record.payload = JsonValue(std::move(payload));
  return record;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 15;

  std::mt19937_64 rng(12345);
  Words words(rng);
  std::vector<Record> baseline;
  std::vector<Record> candidate;
  for (size_t i = 0; i < n; ++i) {
    baseline.push_back(make_response(words, rng));
    candidate.push_back(make_response(words, rng));
  }
  std::vector<ResponsePair> pairs;
  for (size_t i = 0; i < n; ++i) pairs.push_back({&baseline[i], &candidate[i]});

  double sink = 0.0;
  const auto series = [&](const char* name, const std::function<double()>& work) {
    std::printf("%-12s series %8.2f ms\n", name, 1e3 * korvane::bench::median_seconds(repeats, [&] { sink += work(); }));
  };
  series("semantic", [&] { return korvane::diff::semantic_similarities(pairs)[0]; });
  series("trajectory", [&] { return korvane::diff::trajectory_distances(pairs)[0]; });
  series("safety", [&] {
    double count = 0.0;
    for (const ResponsePair& p : pairs) {
      count += korvane::diff::is_abstention_with(*p.baseline) + korvane::diff::is_abstention_with(*p.candidate);
    }
    return count;
  });
  series("conformance", [&] {
    double count = 0.0;
    for (const ResponsePair& p : pairs) {
      if (auto v = korvane::diff::conformance_of(*p.baseline, *p.candidate)) count += v->candidate;
    }
    return count;
  });

  const auto row = [&](const char* name, auto build) {
    std::printf("%-12s row    %8.2f ms\n", name,
                1e3 * korvane::bench::median_seconds(repeats, [&] { sink += korvane::diff::build_row(build(pairs), uint64_t{1}).delta; }));
  };
  row("semantic", korvane::diff::semantic_series);
  row("trajectory", korvane::diff::trajectory_series);
  row("safety", korvane::diff::safety_series);
  row("conformance", korvane::diff::conformance_series);
  std::printf("(%zu pairs, median of %d runs; checksum %g)\n", n, repeats, sink);
  return 0;
}
