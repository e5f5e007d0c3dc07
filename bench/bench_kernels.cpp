// Speed of the matrix-vector products, as ratios to this machine's streaming bandwidth
// measured in the same run:
//  - BM_Token: every product of one decoded token of a 0.5B-shaped model (embedding 896,
//    24 layers, 2 key/value heads of 64, feed-forward 4864, vocabulary 151936) with all
//    weights in one type, or in the Q4_K/Q6_K mix; "of_stream" is weight bytes per token
//    over time per token, divided by the streaming bandwidth; "pool_frac" is the share of
//    the token's time that the pool's dispatch alone costs (the same splits with empty
//    tasks).
//  - BM_Product: one type's product on feed-forward-shaped matrices, cycling through more
//    of them than the caches hold, on the pool or on one thread.
//  - BM_Resident: the same gate-shaped product repeated on one matrix, which stays in the
//    caches: what the kernels compute per second when memory is not in the way, against
//    the same streaming yardstick (a ceiling on BM_Token's share for that type).
//  - BM_Ceiling: each type's arithmetic floor (kernel_ceiling.hpp) on one thread, and the
//    type's product on one thread with a matrix small enough for the caches as a share of
//    it ("of_ceiling").
//
//   bench_kernels [--threads=N] [--simd=scalar|avx2|avx512] [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/pool.hpp"
#include "kernels/cpu_features.hpp"
#include "dequant/ggml_types.hpp"
#include "kernels/kernel_tables.hpp"
#include "kernels/matvec.hpp"
#include "kernels/matvec_kernels.hpp"
#include "kernel_ceiling.hpp"
#include "pool_benchmark_main.hpp"
#include "stream_read.hpp"

namespace {

using namespace korvex;

uint64_t splitmix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void put_half(uint8_t* p, uint16_t h) { std::memcpy(p, &h, 2); }

// Random bytes with every scale field (and every element of the float types) a normal
// number of moderate size, so no product runs into subnormal or NaN arithmetic.
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

std::vector<float> random_vector(std::size_t n, uint64_t seed) {
  std::vector<float> x(n);
  for (auto& f : x) f = static_cast<float>(static_cast<int64_t>(splitmix(seed) % 2001) - 1000) * 1e-3f;
  return x;
}

struct Matrix {
  uint32_t type;
  std::size_t cols, rows;
  std::vector<uint8_t> bytes;
  bool with_next = false;  // shares its input with the next matrix: one call, as the engine does
};

struct Model {
  std::vector<Matrix> matrices;
  std::size_t bytes = 0;
};

struct Shape {
  std::size_t embd, kv, ff, vocab, layers;
};
constexpr std::size_t kEmbd = 896, kFf = 4864;
constexpr Shape kHalfB = {kEmbd, 128, kFf, 151936, 24};
// A model small enough for the caches (about 11 MB in Q8_0): products short enough that
// the pool's cost per call shows.
constexpr Shape kSmall = {288, 288, 768, 32000, 6};

// The Q4_K/Q6_K mix: rows of K blocks need a multiple of 256 columns, which in this shape
// only the feed-forward down matrices have (4864); those alternate Q4_K and Q6_K by layer,
// the output matrix and every 896-column matrix are Q8_0.
constexpr uint32_t kMix = 1000;

uint32_t type_in(uint32_t config, std::size_t cols, std::size_t layer) {
  if (config != kMix) return config;
  if (cols % 256 == 0) return layer % 2 == 0 ? GgmlType::Q4_K : GgmlType::Q6_K;
  return GgmlType::Q8_0;
}

const Model& model(uint32_t config, const Shape& shape = kHalfB) {
  static std::map<std::pair<uint32_t, std::size_t>, std::unique_ptr<Model>> cache;
  auto key = std::make_pair(config, shape.embd);
  auto it = cache.find(key);
  if (it != cache.end()) return *it->second;
  cache.clear();  // one model in memory at a time
  auto m = std::make_unique<Model>();
  uint64_t seed = 1;
  auto add = [&](std::size_t rows, std::size_t cols, std::size_t layer, bool with_next = false) {
    uint32_t type = type_in(config, cols, layer);
    m->matrices.push_back({type, cols, rows, random_matrix(type, cols, rows, seed++), with_next});
    m->bytes += m->matrices.back().bytes.size();
  };
  for (std::size_t l = 0; l < shape.layers; ++l) {
    add(shape.embd, shape.embd, l, true);  // query
    add(shape.kv, shape.embd, l, true);    // key
    add(shape.kv, shape.embd, l);          // value
    add(shape.embd, shape.embd, l);        // attention output
    add(shape.ff, shape.embd, l, true);    // gate
    add(shape.ff, shape.embd, l);          // up
    add(shape.embd, shape.ff, l);    // down
  }
  add(shape.vocab, shape.embd, 0);  // output
  return *cache.emplace(key, std::move(m)).first->second;
}

// Every product of one token, in the engine's calls: matrices that share their input go
// to the pool together.
void run_token(const Model& m, std::span<const float> x_embd, std::span<const float> x_ff) {
  ParallelRegion region;  // one per token, as the decoding step opens it
  std::vector<MatvecJob> jobs;
  for (const auto& mat : m.matrices) {
    jobs.push_back({mat.bytes, mat.type, mat.rows});
    if (mat.with_next) continue;
    auto outs = matvec_same_input(mat.cols == x_ff.size() ? x_ff : x_embd, jobs, mat.cols);
    benchmark::DoNotOptimize(outs.data());
    jobs.clear();
  }
}

// The pool's share alone: the same splits the products make, with empty tasks.
double dispatch_seconds(const Model& m) {
  const MatvecKernels* k = kernel_tables().products;
  std::size_t threads = static_cast<std::size_t>(current_arena().max_concurrency());
  auto t0 = std::chrono::steady_clock::now();
  const int reps = 20;
  std::size_t unit = k ? k->lanes : 1;
  for (int i = 0; i < reps; ++i) {
    std::size_t units = 0, weights = 0;
    for (const auto& mat : m.matrices) {
      units += (mat.rows + unit - 1) / unit;
      weights += (mat.rows + unit - 1) / unit * unit * mat.cols;
      if (mat.with_next) continue;
      std::size_t grain = product_task_units(units, threads, weights / units);
      std::vector<float> out(units * unit);
      parallel_ranges_even(units, grain, [&](std::size_t b, std::size_t) { benchmark::DoNotOptimize(out[b * unit]); });
      units = weights = 0;
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / reps;
}

void BM_Token(benchmark::State& state) {
  uint32_t config = static_cast<uint32_t>(state.range(0));
  const Model& m = model(config);
  // The yardstick is measured right before each model, so that a busy machine weighs on
  // both sides of the ratio alike.
  double bw = korvex::bench::measure_stream_bandwidth(3);
  auto x_embd = random_vector(kEmbd, 7), x_ff = random_vector(kFf, 8);
  for (auto _ : state) run_token(m, x_embd, x_ff);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.bytes));
  state.counters["MB_per_token"] = static_cast<double>(m.bytes) / 1e6;
  state.counters["stream_GBps"] = bw / 1e9;
  state.counters["of_stream"] =
      benchmark::Counter(static_cast<double>(m.bytes) / bw, benchmark::Counter::kIsIterationInvariantRate);
  double dispatch = dispatch_seconds(m);
  state.counters["dispatch_us"] = dispatch * 1e6;
  state.counters["pool_frac"] = benchmark::Counter(dispatch, benchmark::Counter::kIsIterationInvariantRate);
}

// Every product of one token of the cache-sized model, on all threads and on one: the
// pool's share of a token is what the threads lose against a perfect split of the
// one-thread time, (t_all - t_one / threads) / t_all.
void BM_SmallToken(benchmark::State& state) {
  const Model& m = model(GgmlType::Q8_0, kSmall);
  auto x_embd = random_vector(kSmall.embd, 7), x_ff = random_vector(kSmall.ff, 8);
  auto token = [&] { run_token(m, x_embd, x_ff); };
  auto seconds_per_token = [&] {
    const int reps = 200;
    token();
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i) token();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / reps;
  };
  double threads = current_arena().max_concurrency();
  tbb::task_arena single(1);
  double one;
  {
    ScopedArena scope(single);
    one = seconds_per_token();
  }
  for (auto _ : state) token();
  double all = seconds_per_token();
  state.counters["threads"] = threads;
  state.counters["one_thread_us"] = one * 1e6;
  state.counters["all_threads_us"] = all * 1e6;
  state.counters["pool_share"] = (all - one / threads) / all;
}

// One product type on down-shaped (896 x 4864) or gate-shaped (4864 x 896) matrices.
void BM_Product(benchmark::State& state) {
  uint32_t type = static_cast<uint32_t>(state.range(0));
  std::size_t cols = static_cast<std::size_t>(state.range(1)), rows = static_cast<std::size_t>(state.range(2));
  bool one_thread = state.range(3) != 0;
  const GgmlTypeInfo* t = ggml_type_info(type);
  if (cols % t->block_elems != 0) {
    state.SkipWithError("rows are not whole blocks");
    return;
  }
  tbb::task_arena single(1);
  std::unique_ptr<ScopedArena> scope;
  if (one_thread) scope = std::make_unique<ScopedArena>(single);
  double bw = korvex::bench::measure_stream_bandwidth(3);  // on the same arena, just before
  // More matrices than the caches hold, so every product streams from memory.
  std::size_t each = rows * (cols / t->block_elems) * t->block_bytes;
  std::size_t count = std::max<std::size_t>(4, (std::size_t{256} << 20) / each);
  std::vector<std::vector<uint8_t>> mats;
  for (std::size_t i = 0; i < count; ++i) mats.push_back(random_matrix(type, cols, rows, 100 + i));
  auto x = random_vector(cols, 3);
  std::size_t i = 0;
  for (auto _ : state) {
    auto out = matvec(x, mats[i], type, cols, rows);
    benchmark::DoNotOptimize(out.data());
    i = (i + 1) % count;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * each));
  state.counters["of_stream"] =
      benchmark::Counter(static_cast<double>(each) / bw, benchmark::Counter::kIsIterationInvariantRate);
  state.SetLabel(std::string(t->name) + " " + simd_level_name(active_simd_level()));
}

void BM_Resident(benchmark::State& state) {
  uint32_t type = static_cast<uint32_t>(state.range(0));
  const GgmlTypeInfo* t = ggml_type_info(type);
  const std::size_t cols = kEmbd, rows = kFf;
  double bw = korvex::bench::measure_stream_bandwidth(3);
  auto w = random_matrix(type, cols, rows, 42);
  auto x = random_vector(cols, 3);
  for (auto _ : state) {
    auto out = matvec(x, w, type, cols, rows);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.size()));
  state.counters["of_stream"] =
      benchmark::Counter(static_cast<double>(w.size()) / bw, benchmark::Counter::kIsIterationInvariantRate);
  state.SetLabel(std::string(t->name) + " " + simd_level_name(active_simd_level()));
}

void BM_Ceiling(benchmark::State& state) {
  uint32_t type = static_cast<uint32_t>(state.range(0));
  const GgmlTypeInfo* t = ggml_type_info(type);
  // Real row lengths (the K-quants need a multiple of 256), few enough rows for L2.
  const std::size_t cols = t->block_elems == 256 ? 1536 : 896, rows = 256;
  auto w = random_matrix(type, cols, rows, 42);
  auto x = random_vector(cols, 3);
  // The vector kernel itself, on this thread: a product this small would otherwise be
  // timed mostly as its call overhead.
  const MatvecKernels* k = kernel_tables().products;
  SimdRowsFn rows_fn = nullptr;
  if (k != nullptr) {
    switch (type) {
      case GgmlType::F32: rows_fn = k->f32; break;
      case GgmlType::F16: rows_fn = k->f16; break;
      case GgmlType::BF16: rows_fn = k->bf16; break;
      case GgmlType::Q8_0: rows_fn = k->q8_0; break;
      case GgmlType::Q5_0: rows_fn = k->q5_0; break;
      case GgmlType::Q5_1: rows_fn = k->q5_1; break;
      case GgmlType::IQ4_NL: rows_fn = k->iq4_nl; break;
      case GgmlType::Q4_K: rows_fn = k->q4_k; break;
      case GgmlType::Q6_K: rows_fn = k->q6_k; break;
    }
  }
  if (rows_fn == nullptr) {
    state.SkipWithError("no vector kernel at this level");
    return;
  }
  const std::size_t row_bytes = cols / t->block_elems * t->block_bytes;
  double ceiling = 0;
  for (int i = 0; i < 3; ++i) ceiling = std::max(ceiling, korvex::bench::ceiling_weights_per_second(type));
  std::vector<float> out(rows);
  for (auto _ : state) {
    rows_fn(w.data(), row_bytes, x.data(), cols, 0, rows, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["ceiling_Gw_per_s"] = ceiling / 1e9;
  state.counters["Gw_per_s"] = benchmark::Counter(static_cast<double>(cols * rows) / 1e9, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["of_ceiling"] =
      benchmark::Counter(static_cast<double>(cols * rows) / ceiling, benchmark::Counter::kIsIterationInvariantRate);
  state.SetLabel(std::string(t->name) + " " + simd_level_name(active_simd_level()));
}

void token_args(benchmark::internal::Benchmark* b) {
  for (uint32_t c : {GgmlType::Q8_0, kMix, GgmlType::F16, GgmlType::BF16, GgmlType::Q5_0, GgmlType::Q5_1,
                     GgmlType::IQ4_NL})
    b->Arg(c);
}

void product_args(benchmark::internal::Benchmark* b) {
  for (int64_t one : {0, 1})
    for (uint32_t type : {GgmlType::F32, GgmlType::F16, GgmlType::BF16, GgmlType::Q8_0, GgmlType::Q5_0,
                          GgmlType::Q5_1, GgmlType::IQ4_NL, GgmlType::Q4_K, GgmlType::Q6_K}) {
      b->Args({type, 4864, 896, one});
      if (type != GgmlType::Q4_K && type != GgmlType::Q6_K) b->Args({type, 896, 4864, one});
    }
}

}  // namespace

BENCHMARK(BM_Token)->Apply(token_args)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_SmallToken)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Resident)
    ->Apply([](benchmark::internal::Benchmark* b) {
      for (uint32_t type : {GgmlType::F16, GgmlType::BF16, GgmlType::Q8_0, GgmlType::Q5_0, GgmlType::Q5_1,
                            GgmlType::IQ4_NL})
        b->Arg(type);
    })
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0);
BENCHMARK(BM_Ceiling)
    ->Apply([](benchmark::internal::Benchmark* b) {
      for (uint32_t type : {GgmlType::F32, GgmlType::F16, GgmlType::BF16, GgmlType::Q8_0, GgmlType::Q5_0,
                            GgmlType::Q5_1, GgmlType::IQ4_NL, GgmlType::Q4_K, GgmlType::Q6_K})
        b->Arg(type);
    })
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(0.5);
BENCHMARK(BM_Product)->Apply(product_args)->Unit(benchmark::kMicrosecond)->UseRealTime();
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
