// Streaming read bandwidth with one thread and with the whole pool.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "stream_read.hpp"

namespace {

using namespace korvex::bench;

void BM_StreamRead_OneThread(benchmark::State& state) {
  const uint8_t* p = stream_buffer();
  for (auto _ : state) benchmark::DoNotOptimize(read_lines(p, kStreamBytes, state.range(0) != 0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}

void BM_StreamRead_Pool(benchmark::State& state) {
  stream_buffer();
  for (auto _ : state) benchmark::DoNotOptimize(read_buffer_on_pool(state.range(0) != 0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
  state.counters["threads"] = static_cast<double>(korvex::pool_threads());
}

}  // namespace

// Argument: 1 = with software prefetch.
BENCHMARK(BM_StreamRead_OneThread)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StreamRead_Pool)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
// --threads=N sizes the pool (default: every available CPU); the rest goes to the library.
int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--threads=", 0) == 0)
      korvex::set_pool_threads(static_cast<std::size_t>(std::stoul(a.substr(10))));
    else
      rest.push_back(argv[i]);
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
