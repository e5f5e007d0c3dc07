// Speed of the batched product (a chunk of the prompt against one weight matrix) as a share
// of what this machine can issue at all:
//  - BM_Ceiling: independent multiplies and adds on register data, one add per multiply
//    (never fused), enough accumulators to cover the add latency: the most multiply-and-add
//    pairs ("products", one per lane) one thread can issue per second at the active lane
//    width. Everything the batched product computes is such a pair per weight and input
//    (IQ4_NL needs a second multiply), so this bounds it.
//  - BM_Batched: one type's batched product on one thread, its matrix small enough to stay
//    in the caches (896 x 4864 or 4864 x 896, a chunk of 128 inputs); "of_ceiling" is its
//    products per second over the ceiling measured just before it on the same thread, both
//    in the thread's CPU time, so that other processes' load on a shared machine weighs
//    on neither.
//  - BM_BatchedPool: the same on the whole pool, against the one-thread ceiling times the
//    pool's thread count.
//
//   bench_matmul [--threads=N] [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <time.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/pool.hpp"
#include "kernels/cpu_features.hpp"
#include "dequant/ggml_types.hpp"
#include "kernels/matmul.hpp"
#include "pool_benchmark_main.hpp"

namespace {

using namespace korvex;

// ---- the ceiling: products on register data ----

// The multiplies read a value the compiler must take as changed every pass (the empty asm),
// so they stay in the loop; each product's add goes to its own accumulator chain.
#pragma GCC push_options
#pragma GCC target("avx512f")
__attribute__((noinline)) double products_avx512(std::size_t passes) {
  // 16 chains, each product a distinct pair of 8 inputs and 2 factors: no two multiplies
  // are the same, so none can be shared.
  constexpr int kChains = 16, kInputs = 8;
  __m512 acc[kChains], a[kInputs];
  for (int i = 0; i < kChains; ++i) acc[i] = _mm512_set1_ps(0.0f);
  for (int i = 0; i < kInputs; ++i) a[i] = _mm512_set1_ps(1.0f + 0.125f * static_cast<float>(i));
  __m512 b0 = _mm512_set1_ps(1e-6f), b1 = _mm512_set1_ps(2e-6f);
  for (std::size_t p = 0; p < passes; ++p) {
    __asm__ volatile("" : "+v"(b0), "+v"(b1));
#pragma GCC unroll 16
    for (int i = 0; i < kChains; ++i)
      acc[i] = _mm512_add_ps(acc[i], _mm512_mul_ps(a[i % kInputs], i < kInputs ? b0 : b1));
  }
  __m512 s = acc[0];
  for (int i = 1; i < kChains; ++i) s = _mm512_add_ps(s, acc[i]);
  benchmark::DoNotOptimize(s);
  return static_cast<double>(passes) * kChains * 16;
}
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
__attribute__((noinline)) double products_avx2(std::size_t passes) {
  // 8 chains (an add latency of 4 at two adds a cycle), 4 inputs and 2 factors: 16 registers.
  constexpr int kChains = 8, kInputs = 4;
  __m256 acc[kChains], a[kInputs];
  for (int i = 0; i < kChains; ++i) acc[i] = _mm256_set1_ps(0.0f);
  for (int i = 0; i < kInputs; ++i) a[i] = _mm256_set1_ps(1.0f + 0.125f * static_cast<float>(i));
  __m256 b0 = _mm256_set1_ps(1e-6f), b1 = _mm256_set1_ps(2e-6f);
  for (std::size_t p = 0; p < passes; ++p) {
    __asm__ volatile("" : "+v"(b0), "+v"(b1));
#pragma GCC unroll 16
    for (int i = 0; i < kChains; ++i)
      acc[i] = _mm256_add_ps(acc[i], _mm256_mul_ps(a[i % kInputs], i < kInputs ? b0 : b1));
  }
  __m256 s = acc[0];
  for (int i = 1; i < kChains; ++i) s = _mm256_add_ps(s, acc[i]);
  benchmark::DoNotOptimize(s);
  return static_cast<double>(passes) * kChains * 8;
}
#pragma GCC pop_options

double scalar_products(std::size_t passes) {
  constexpr int kChains = 8;
  float acc[kChains] = {};
  float b = 1e-6f;
  for (std::size_t p = 0; p < passes; ++p) {
    __asm__ volatile("" : "+x"(b));
    for (int i = 0; i < kChains; ++i) acc[i] = acc[i] + static_cast<float>(i + 1) * b;
  }
  benchmark::DoNotOptimize(acc);
  return static_cast<double>(passes) * kChains;
}

double products(std::size_t passes) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return products_avx512(passes);
    case SimdLevel::Avx2: return products_avx2(passes);
    case SimdLevel::Scalar: break;
  }
  return scalar_products(passes);
}

// This thread's CPU time: on a machine shared with other work, the time the thread ran,
// not the time it waited for a core.
double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Products per second on this thread: the best of a few short runs.
double ceiling_rate() {
  double best = 0;
  for (int run = 0; run < 5; ++run) {
    double t0 = thread_seconds();
    double n = products(std::size_t{1} << 22);
    best = std::max(best, n / (thread_seconds() - t0));
  }
  return best;
}

void BM_Ceiling(benchmark::State& state) {
  double n = 0;
  for (auto _ : state) n += products(std::size_t{1} << 20);
  state.counters["products_per_s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.SetLabel(simd_level_name(active_simd_level()));
}

// ---- the batched product ----

uint64_t splitmix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void put_half(uint8_t* p, uint16_t h) { std::memcpy(p, &h, 2); }

// Random bytes with every scale field (and every element of the float types) a normal
// number of moderate size, so that no product meets subnormal or NaN arithmetic.
std::vector<uint8_t> random_matrix(uint32_t type, std::size_t cols, std::size_t rows, uint64_t seed) {
  const GgmlTypeInfo* t = ggml_type_info(type);
  std::size_t blocks = rows * (cols / t->block_elems);
  std::vector<uint8_t> w(blocks * t->block_bytes + 8);
  for (std::size_t i = 0; i + 8 <= w.size(); i += 8) {
    uint64_t v = splitmix(seed);
    std::memcpy(w.data() + i, &v, 8);
  }
  w.resize(blocks * t->block_bytes);
  auto half = [&](std::size_t i) { return static_cast<uint16_t>(0x2C00 | (i * 0x9E37u & 0x83FF)); };
  for (std::size_t b = 0; b < blocks; ++b) {
    uint8_t* p = w.data() + b * t->block_bytes;
    switch (type) {
      case GgmlType::F32: {
        float f = static_cast<float>(static_cast<int>(b % 2001) - 1000) * 1e-3f;
        std::memcpy(p, &f, 4);
        break;
      }
      case GgmlType::BF16: p[1] = static_cast<uint8_t>(0x3C | (p[1] & 0x83)); break;
      case GgmlType::Q5_1:
      case GgmlType::Q4_K: put_half(p, half(b)); put_half(p + 2, half(b + 1)); break;
      case GgmlType::Q6_K: put_half(p + 208, half(b)); break;
      default: put_half(p, half(b)); break;  // F16 elements; Q5_0, Q8_0, IQ4_NL: d first
    }
  }
  return w;
}

std::vector<float> random_inputs(std::size_t n, uint64_t seed) {
  std::vector<float> x(n);
  for (auto& f : x) f = static_cast<float>(static_cast<int64_t>(splitmix(seed) % 2001) - 1000) * 1e-3f;
  return x;
}

// One thread's products are timed in its CPU time, the pool's in wall time.
void run_batched(benchmark::State& state, double ceiling, bool one_thread) {
  uint32_t type = static_cast<uint32_t>(state.range(0));
  std::size_t cols = static_cast<std::size_t>(state.range(1)), rows = static_cast<std::size_t>(state.range(2));
  std::size_t batch = static_cast<std::size_t>(state.range(3));
  const GgmlTypeInfo* t = ggml_type_info(type);
  auto w = random_matrix(type, cols, rows, 42);
  auto x = random_inputs(batch * cols, 3);
  std::vector<float> out(batch * rows);
  double seconds = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    double c0 = thread_seconds();
    matmul_into(x, batch, w, type, cols, rows, out);
    benchmark::DoNotOptimize(out.data());
    seconds += one_thread ? thread_seconds() - c0
                          : std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  double per_call = static_cast<double>(batch) * static_cast<double>(rows) * static_cast<double>(cols);
  double rate = per_call * static_cast<double>(state.iterations()) / seconds;
  state.counters["products_per_s"] = rate;
  state.counters["of_ceiling"] = rate / ceiling;
  state.SetLabel(std::string(t->name) + " " + simd_level_name(active_simd_level()));
}

// The same product over more matrices than the caches hold, one after the other, as the
// prompt's layers read them: every weight comes from memory.
void BM_BatchedFromMemory(benchmark::State& state) {
  tbb::task_arena single(1);
  ScopedArena scope(single);
  double ceiling = ceiling_rate();
  uint32_t type = static_cast<uint32_t>(state.range(0));
  std::size_t cols = static_cast<std::size_t>(state.range(1)), rows = static_cast<std::size_t>(state.range(2));
  std::size_t batch = static_cast<std::size_t>(state.range(3));
  const GgmlTypeInfo* t = ggml_type_info(type);
  std::size_t each = rows * (cols / t->block_elems) * t->block_bytes;
  std::size_t count = std::max<std::size_t>(4, (std::size_t{256} << 20) / each);
  std::vector<std::vector<uint8_t>> mats;
  for (std::size_t i = 0; i < count; ++i) mats.push_back(random_matrix(type, cols, rows, 100 + i));
  auto x = random_inputs(batch * cols, 3);
  std::vector<float> out(batch * rows);
  double seconds = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    double c0 = thread_seconds();
    matmul_into(x, batch, mats[i], type, cols, rows, out);
    benchmark::DoNotOptimize(out.data());
    seconds += thread_seconds() - c0;
    i = (i + 1) % count;
  }
  double per_call = static_cast<double>(batch) * static_cast<double>(rows) * static_cast<double>(cols);
  double rate = per_call * static_cast<double>(state.iterations()) / seconds;
  state.counters["products_per_s"] = rate;
  state.counters["of_ceiling"] = rate / ceiling;
  state.SetLabel(std::string(t->name) + " " + simd_level_name(active_simd_level()));
}

void BM_Batched(benchmark::State& state) {
  tbb::task_arena single(1);
  ScopedArena scope(single);
  run_batched(state, ceiling_rate(), true);
}

void BM_BatchedPool(benchmark::State& state) {
  run_batched(state, ceiling_rate() * static_cast<double>(current_arena().max_concurrency()), false);
}

void batched_args(benchmark::internal::Benchmark* b) {
  for (uint32_t type : {GgmlType::F32, GgmlType::F16, GgmlType::BF16, GgmlType::Q8_0, GgmlType::Q5_0,
                        GgmlType::Q5_1, GgmlType::IQ4_NL, GgmlType::Q4_K, GgmlType::Q6_K}) {
    if (type != GgmlType::Q4_K && type != GgmlType::Q6_K) b->Args({type, 896, 4864, 128});
    b->Args({type, 4864, 896, 128});
  }
}

}  // namespace

BENCHMARK(BM_Ceiling)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Batched)->Apply(batched_args)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BatchedFromMemory)->Apply(batched_args)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BatchedPool)->Apply(batched_args)->Unit(benchmark::kMillisecond)->UseRealTime();
int main(int argc, char** argv) { return korvex::bench::pool_benchmark_main(argc, argv); }
