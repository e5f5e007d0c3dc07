// Speed of the vector exponential and the dense gate on one thread, against the plain loops
// over glibc's expf (the scalar level), as seconds per element ("s_per_elt", shown as e.g. 0.7n for 0.7 ns):
//  - BM_Expf: softmax inputs, x = s - max(s) for scores s ~ N(0, 3), over 4096 values (an
//    attention row) and 151936 (a vocabulary of logits);
//  - BM_SiluGate: the dense block's gate on g ~ N(0, 2), u ~ N(0, 1).
// The last argument is the level: 0 scalar, 1 avx2, 2 avx512 (skipped where missing).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kernels/cpu_features.hpp"
#include "kernels/expf_array.hpp"

namespace {

using namespace korvex;

std::vector<float> softmax_inputs(std::size_t n) {
  std::mt19937 rng(1);
  std::normal_distribution<float> d(0.0f, 3.0f);
  std::vector<float> x(n);
  for (auto& v : x) v = d(rng);
  float mx = *std::max_element(x.begin(), x.end());
  for (auto& v : x) v = v - mx;
  return x;
}

std::vector<float> normal(std::size_t n, float sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> d(0.0f, sigma);
  std::vector<float> x(n);
  for (auto& v : x) v = d(rng);
  return x;
}

bool use_level(benchmark::State& state, int64_t level) {
  auto l = static_cast<SimdLevel>(level);
  if (l > detected_simd_level()) {
    state.SkipWithError("level not on this machine");
    return false;
  }
  set_simd_level(l);
  state.SetLabel(simd_level_name(l));
  return true;
}

void per_element(benchmark::State& state, std::size_t n) {
  state.counters["s_per_elt"] = benchmark::Counter(static_cast<double>(n),
                                                    benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
  set_simd_level(detected_simd_level());
}

void BM_Expf(benchmark::State& state) {
  auto n = static_cast<std::size_t>(state.range(0));
  if (!use_level(state, state.range(1))) return;
  std::vector<float> x = softmax_inputs(n), out(n);
  for (auto _ : state) {
    expf_array(x.data(), out.data(), n);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  per_element(state, n);
}

void BM_SiluGate(benchmark::State& state) {
  auto n = static_cast<std::size_t>(state.range(0));
  if (!use_level(state, state.range(1))) return;
  std::vector<float> g = normal(n, 2.0f, 2), u = normal(n, 1.0f, 3), out(n);
  for (auto _ : state) {
    silu_gate_rows(g.data(), u.data(), out.data(), n);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  per_element(state, n);
}

}  // namespace

BENCHMARK(BM_Expf)->ArgsProduct({{4096, 151936}, {0, 1, 2}});
BENCHMARK(BM_SiluGate)->ArgsProduct({{4096, 151936}, {0, 1, 2}});
BENCHMARK_MAIN();
