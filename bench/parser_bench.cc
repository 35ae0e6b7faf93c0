// Throughput of the .agentlog parser on a trace given on the command line:
//   - records: Parser::collect_all(), records with JsonValue payloads;
//   - validate: the same parse through a builder that builds nothing, i.e.
//     the line splitting, UTF-8 check and JSON reading alone;
//   - utf8: unicode::is_valid_utf8 over the whole input, for scale.
//
// usage: parser_bench trace.agentlog [repeats]
// Prints the median MB/s (1 MB = 10^6 bytes of input) over the repeats, timed
// in thread CPU time so that other load on the machine matters less.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/agentlog/parser.h"
#include "core/unicode/utf8.h"

namespace {

using namespace korvane;

double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median_mb_per_s(size_t bytes, int repeats, const std::function<void()>& run) {
  std::vector<double> rates;
  for (int i = 0; i < repeats; ++i) {
    const double start = thread_seconds();
    run();
    rates.push_back(static_cast<double>(bytes) / 1e6 / (thread_seconds() - start));
  }
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s trace.agentlog [repeats]\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  const std::string input = content.str();
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 21;

  size_t records = 0;
  const double parse = median_mb_per_s(input.size(), repeats, [&] { records = agentlog::Parser(input).collect_all().size(); });
  json::NullBuilder null_builder;
  const double validate = median_mb_per_s(input.size(), repeats, [&] {
    agentlog::BasicParser<json::NullBuilder> parser(input, null_builder);
    while (parser.next()) {
    }
  });
  bool valid = false;
  const double utf8 = median_mb_per_s(input.size(), repeats, [&] { valid = unicode::is_valid_utf8(input); });

  std::printf("%s: %.2f MB, %zu records%s\n", argv[1], static_cast<double>(input.size()) / 1e6, records,
              valid ? "" : " (not UTF-8)");
  std::printf("  records   %8.1f MB/s\n  validate  %8.1f MB/s\n  utf8      %8.1f MB/s\n", parse, validate, utf8);
  return 0;
}
