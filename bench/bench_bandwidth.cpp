// Streaming read bandwidth with one thread and with the whole pool.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "pool_benchmark_main.hpp"
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
int main(int argc, char** argv) { return korvex::bench::pool_benchmark_main(argc, argv); }
