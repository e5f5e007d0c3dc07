// The batched product's kernels for AVX-512F: 16 inputs per vector, 4 vectors per pass.
// Everything compiled for that target stays in the anonymous namespace.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "dequant/block_formats.hpp"
#include "dequant/dequant.hpp"
#include "dequant/matmul_kernels.hpp"

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
  static constexpr int kGroups = 4;
  using F = __m512;
  static F set1(float v) { return _mm512_set1_ps(v); }
  static F bcast(const float* p) { return _mm512_set1_ps(*p); }
  static F load(const float* p) { return _mm512_load_ps(p); }
  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
  using I = __m512i;
  static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F cvt(I v) { return _mm512_cvtepi32_ps(v); }
  static void storeu(float* p, F v) { _mm512_storeu_ps(p, v); }
  // 16 bytes, sign- or zero-extended to one 32-bit lane each.
  static I load_i8(const uint8_t* p) { return _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
  static I load_u8(const uint8_t* p) { return _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
  static I and_(I v, int m) { return _mm512_and_si512(v, _mm512_set1_epi32(m)); }
  static I or_(I a, I b) { return _mm512_or_si512(a, b); }
  static I srli(I v, unsigned n) { return _mm512_srli_epi32(v, n); }
  static I slli(I v, unsigned n) { return _mm512_slli_epi32(v, n); }
  static I subi(I v, int c) { return _mm512_sub_epi32(v, _mm512_set1_epi32(c)); }
  static void store(float* p, F v) { _mm512_store_ps(p, v); }
};

#include "dequant/matmul_kernels.inl"

}  // namespace
}  // namespace korvex

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace korvex {
const MatmulKernels& matmul_kernels_avx512() { return kMatmulKernels; }
}  // namespace korvex
