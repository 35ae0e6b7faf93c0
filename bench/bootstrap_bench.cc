// Times the eight bootstrapped rows of a diff over synthetic series shaped
// like the axes' own: a constant baseline against similarities (semantic), a
// mostly-zero distance (trajectory), 0/1 rates (safety, conformance), token
// counts with ties (verbosity, reasoning) and distinct doubles (latency,
// cost).
//
// usage: korvane_bench_bootstrap [pairs...]   (default 10 1000 10000)
//
// Prints the eight rows built together (build_rows: under a seed the axes
// of one length share their draws) and each row built alone.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/diff/axes.h"
#include "core/diff/bootstrap.h"

namespace {

using korvane::diff::Axis;
using korvane::diff::AxisSeries;
using korvane::diff::RowKind;
using korvane::diff::Statistic;
using Series = AxisSeries;

std::vector<Series> synthetic_rows(size_t n) {
  std::mt19937_64 gen(n);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto fill = [&](auto f) {
    std::vector<double> s(n);
    for (double& v : s) v = f();
    return s;
  };
  auto rate = [&](double p) { return [&, p] { return unit(gen) < p ? 1.0 : 0.0; }; };
  auto tokens = [&] { return std::floor(50 + 1500 * unit(gen)); };
  auto latency = [&] { return 200 + 5000 * unit(gen); };
  auto cost = [&] { return 0.001 + 0.05 * unit(gen); };
  auto thinking = [&] { return unit(gen) < 0.6 ? 0.0 : std::floor(2000 * unit(gen)); };
  auto distance = [&] { return unit(gen) < 0.8 ? 0.0 : std::floor(1 + 4 * unit(gen)) / 5; };
  std::vector<double> ones(n, 1.0), zeros(n, 0.0);
  return {
      {Axis::kSemantic, RowKind::kValue, Statistic::kMedian, ones, fill([&] { return unit(gen); })},
      {Axis::kTrajectory, RowKind::kRate, Statistic::kMedian, zeros, fill(distance)},
      {Axis::kSafety, RowKind::kRate, Statistic::kMean, fill(rate(0.05)), fill(rate(0.1))},
      {Axis::kVerbosity, RowKind::kValue, Statistic::kMedian, fill(tokens), fill(tokens)},
      {Axis::kLatency, RowKind::kValue, Statistic::kMedian, fill(latency), fill(latency)},
      {Axis::kCost, RowKind::kValue, Statistic::kMedian, fill(cost), fill(cost)},
      {Axis::kReasoning, RowKind::kValue, Statistic::kMedian, fill(thinking), fill(thinking)},
      {Axis::kConformance, RowKind::kRate, Statistic::kMean, fill(rate(0.9)), fill(rate(0.8))},
  };
}

// CPU time of this thread: the machine is shared, so wall time would also
// count other people's work.
}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {10, 1000, 10000};
  for (size_t n : sizes) {
    std::vector<Series> rows = synthetic_rows(n);
    int runs = n <= 100 ? 201 : n <= 2000 ? 21 : 7;
    std::vector<double> totals, together;
    std::vector<std::vector<double>> per_axis(rows.size());
    for (int run = 0; run < runs; ++run) {
      double start = korvane::bench::thread_seconds();
      for (size_t r = 0; r < rows.size(); ++r) {
        double row_start = korvane::bench::thread_seconds();
        const Series& s = rows[r];
        korvane::diff::build_row(s, 42);
        per_axis[r].push_back(korvane::bench::thread_seconds() - row_start);
      }
      totals.push_back(korvane::bench::thread_seconds() - start);
      start = korvane::bench::thread_seconds();
      korvane::diff::build_rows(rows, 42);
      together.push_back(korvane::bench::thread_seconds() - start);
    }
    std::printf("%zu pairs: eight rows together %.3f ms, one by one %.3f ms CPU (median of %d)\n", n,
                1e3 * korvane::bench::median(together), 1e3 * korvane::bench::median(totals), runs);
    for (size_t r = 0; r < rows.size(); ++r) {
      std::printf("  %-12s %7.2f ms\n", std::string(korvane::diff::axis_name(rows[r].axis)).c_str(),
                  1e3 * korvane::bench::median(per_axis[r]));
    }
  }
}
