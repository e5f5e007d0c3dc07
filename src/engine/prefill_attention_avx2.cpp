// The batched attention kernels for AVX2: 8 query positions per vector.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstddef>

#include "engine/prefill_attention.hpp"

#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace korvex {
namespace {

struct S {
  static constexpr int L = 8;
  using F = __m256;
  static F set1(float v) { return _mm256_set1_ps(v); }
  static F bcast(const float* p) { return _mm256_set1_ps(*p); }
  static F load(const float* p) { return _mm256_load_ps(p); }
  static F loadu(const float* p) { return _mm256_loadu_ps(p); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static void store(float* p, F v) { _mm256_store_ps(p, v); }
  static void storeu(float* p, F v) { _mm256_storeu_ps(p, v); }
};

#include "engine/prefill_attention.inl"

}  // namespace
}  // namespace korvex

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace korvex {
const AttentionKernels& attention_kernels_avx2() { return kAttentionKernels; }
}  // namespace korvex
