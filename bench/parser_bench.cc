// Throughput of the .agentlog parser on a trace given on the command line:
//   - records: Parser::collect_all(), records with JsonValue payloads;
//   - validate: the same parse through a builder that builds nothing, i.e.
//     the line splitting, UTF-8 check and JSON reading alone;
//   - utf8: unicode::is_valid_utf8 over the whole input, for scale.
//
// usage: parser_bench trace.agentlog [repeats]
// Prints the median MB/s (1 MB = 10^6 bytes of input) over the repeats, timed
// in thread CPU time so that other load on the machine matters less.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "bench_util.h"
#include "core/agentlog/parser.h"
#include "core/unicode/utf8.h"

namespace {

using namespace korvane;

double median_mb_per_s(size_t bytes, int repeats, const std::function<void()>& run) {
  return static_cast<double>(bytes) / 1e6 / bench::median_seconds(repeats, run);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s trace.agentlog [repeats]\n", argv[0]);
    return 2;
  }
  const std::string input = bench::read_file(argv[1]);
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
