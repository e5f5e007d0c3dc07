// The attention on its own over synthetic key/value caches of the 0.5B shape (14 query
// heads over 2 key/value heads of 64 elements), on the active instruction set.
//   BM_Decode/rows/layers: one decoded position's attention over `layers` caches in turn,
//     in one parallel region, as one token runs its layers (24 caches of 4,000 rows: 98 MB, far past the caches);
//     reports the cache bytes read per second. With --threads=1 and one layer: the kernels'
//     speed with the cache in the nearest caches.
//   BM_Chunk/first: a prompt chunk of 128 positions after `first` cached ones.
//
//   bench_attention_kernels [--threads=N] [--simd=scalar|avx2|avx512] [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/pool.hpp"
#include "kernels/cpu_features.hpp"
#include "engine/attention.hpp"
#include "pool_benchmark_main.hpp"

namespace {

using namespace korvex;

constexpr std::size_t kHeads = 14, kKvHeads = 2, kHeadDim = 64, kKvDim = kKvHeads * kHeadDim;
constexpr std::size_t kQDim = kHeads * kHeadDim;
const AttentionShape kShape = {kHeads, kKvHeads, kHeadDim, 0.125f};

std::vector<float> random_floats(std::size_t n, uint64_t seed) {
  std::vector<float> v(n);
  for (auto& x : v) {
    seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
    x = static_cast<float>(seed % 2001) / 500.0f - 2.0f;
  }
  return v;
}

LayerCache random_cache(std::size_t rows, uint64_t seed) {
  return {random_floats(rows * kKvDim, seed), random_floats(rows * kKvDim, seed + 1)};
}

void BM_Decode(benchmark::State& state) {
  const std::size_t rows = static_cast<std::size_t>(state.range(0)), layers = static_cast<std::size_t>(state.range(1));
  std::vector<LayerCache> caches;
  for (std::size_t l = 0; l < layers; ++l) caches.push_back(random_cache(rows, 7 + 2 * l));
  const std::vector<float> q = random_floats(kQDim, 3);
  std::vector<float> out(kQDim);
  for (auto _ : state) {
    ParallelRegion region;  // one per token, as the decoding step opens it
    for (const LayerCache& lc : caches) {
      std::fill(out.begin(), out.end(), 0.0f);
      attend_position(q, lc, {}, rows, kShape, out);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * layers * rows * kKvDim * 2 * sizeof(float)));
  state.counters["us_per_layer"] = benchmark::Counter(static_cast<double>(state.iterations() * layers) * 1e-6,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Decode)->ArgsProduct({{100, 300, 600, 1300, 4000}, {1, 24}})->UseRealTime();

void BM_Chunk(benchmark::State& state) {
  const std::size_t first = static_cast<std::size_t>(state.range(0)), n = 128;
  LayerCache lc = random_cache(first + n, 13);
  const std::vector<float> q = random_floats(n * kQDim, 5);
  std::vector<float> out(n * kQDim);
  for (auto _ : state) {
    std::fill(out.begin(), out.end(), 0.0f);
    attend_chunk(ChunkAttention(q.data(), kQDim, first, n, lc, {}, kShape, out.data(), kQDim));
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["us_per_position"] = benchmark::Counter(static_cast<double>(state.iterations() * n) * 1e-6,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Chunk)->Arg(0)->Arg(1200)->Arg(3900)->UseRealTime();

}  // namespace

// --simd=LEVEL lowers the instruction-set level; the rest goes to the pool's main.
int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--simd=scalar") set_simd_level(SimdLevel::Scalar);
    else if (a == "--simd=avx2") set_simd_level(SimdLevel::Avx2);
    else if (a == "--simd=avx512") set_simd_level(SimdLevel::Avx512);
    else rest.push_back(argv[i]);
  }
  return korvex::bench::pool_benchmark_main(static_cast<int>(rest.size()), rest.data());
}
