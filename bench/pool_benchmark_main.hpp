#pragma once
// The main of the Google Benchmark programs that run on the pool: --threads=N sizes the
// pool (default: every available CPU); every other argument goes to the library.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/pool.hpp"

namespace korvex::bench {

inline int pool_benchmark_main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--threads=", 0) == 0)
      set_pool_threads(static_cast<std::size_t>(std::stoul(a.substr(10))));
    else
      rest.push_back(argv[i]);
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace korvex::bench
