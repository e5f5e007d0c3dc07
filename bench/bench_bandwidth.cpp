// Streaming read bandwidth of this machine: the yardstick for the decoding speed of the
// matrix-vector products, which read every weight byte once per token.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/pool.hpp"

namespace {

constexpr std::size_t kBytes = std::size_t{1} << 30;  // far beyond every cache level

uint8_t* buffer() {
  static uint8_t* buf = [] {
    auto* p = static_cast<uint8_t*>(std::aligned_alloc(4096, kBytes));
    std::memset(p, 1, kBytes);  // fault every page in before timing
    return p;
  }();
  return buf;
}

// OR of every 64-byte line in [p, p + n); eight independent chains keep loads in flight.
__attribute__((target("avx512f"))) uint64_t read_avx512(const uint8_t* p, std::size_t n) {
  __m512i a[8];
  for (auto& v : a) v = _mm512_setzero_si512();
  for (std::size_t i = 0; i + 512 <= n; i += 512)
    for (int j = 0; j < 8; ++j)
      a[j] = _mm512_or_si512(a[j], _mm512_load_si512(reinterpret_cast<const void*>(p + i + 64 * j)));
  for (int j = 1; j < 8; ++j) a[0] = _mm512_or_si512(a[0], a[j]);
  return static_cast<uint64_t>(_mm512_reduce_or_epi64(a[0]));
}


__attribute__((target("avx2"))) uint64_t read_avx2(const uint8_t* p, std::size_t n) {
  __m256i a[8];
  for (auto& v : a) v = _mm256_setzero_si256();
  for (std::size_t i = 0; i + 256 <= n; i += 256)
    for (int j = 0; j < 8; ++j)
      a[j] = _mm256_or_si256(a[j], _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i + 32 * j)));
  for (int j = 1; j < 8; ++j) a[0] = _mm256_or_si256(a[0], a[j]);
  return static_cast<uint64_t>(_mm256_extract_epi64(a[0], 0));
}

uint64_t read_range(const uint8_t* p, std::size_t n) {
  return __builtin_cpu_supports("avx512f") ? read_avx512(p, n) : read_avx2(p, n);
}

void BM_StreamRead_OneThread(benchmark::State& state) {
  const uint8_t* p = buffer();
  for (auto _ : state) benchmark::DoNotOptimize(read_range(p, kBytes));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

// Every thread of the shared pool reads its own contiguous slice.
void BM_StreamRead_Pool(benchmark::State& state) {
  const uint8_t* p = buffer();
  std::size_t slices = korvex::pool_threads() * 4;
  std::size_t slice = kBytes / slices;
  for (auto _ : state) {
    korvex::parallel_ranges(slices, 1, [&](std::size_t b, std::size_t e) {
      for (std::size_t s = b; s < e; ++s) benchmark::DoNotOptimize(read_range(p + s * slice, slice));
    });
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
  state.counters["threads"] = static_cast<double>(korvex::pool_threads());
}

}  // namespace

BENCHMARK(BM_StreamRead_OneThread)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StreamRead_Pool)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
