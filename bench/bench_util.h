// Timing and file helpers shared by the micro-benchmarks.
//
// Times are CPU time of the calling thread: on a shared machine it is far
// steadier than wall time, and the work measured is single-threaded.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace korvane::bench {

inline double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The middle value (the upper one of an even count); values must not be empty.
inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The median over the repeats of work's CPU time, in seconds.
inline double median_seconds(int repeats, const std::function<void()>& work) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const double start = thread_seconds();
    work();
    times.push_back(thread_seconds() - start);
  }
  return median(std::move(times));
}

// The whole file; a file that cannot be read ends the program.
inline std::string read_file(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(1);
  }
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

}  // namespace korvane::bench
