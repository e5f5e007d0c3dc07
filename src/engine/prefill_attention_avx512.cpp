// The batched attention kernels for AVX-512F: 16 query positions per vector.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstddef>

#include "engine/prefill_attention.hpp"

#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif

namespace korvex {
namespace {

struct S {
  static constexpr int L = 16;
  using F = __m512;
  static F set1(float v) { return _mm512_set1_ps(v); }
  static F bcast(const float* p) { return _mm512_set1_ps(*p); }
  static F load(const float* p) { return _mm512_load_ps(p); }
  static F loadu(const float* p) { return _mm512_loadu_ps(p); }
  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static void store(float* p, F v) { _mm512_store_ps(p, v); }
  static void storeu(float* p, F v) { _mm512_storeu_ps(p, v); }
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
const AttentionKernels& attention_kernels_avx512() { return kAttentionKernels; }
}  // namespace korvex
