// The batched product's kernels for AVX2 (with F16C): 8 inputs per vector; a tile of 6 rows
// against 2 groups (1 for Q5_1 and IQ4_NL) holds 12 (6) accumulators in the 16 vector
// registers. Everything compiled for that target stays in the anonymous namespace.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "dequant/block_formats.hpp"
#include "dequant/dequant.hpp"
#include "kernels/matmul_kernels.hpp"

#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2,f16c"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,f16c")
#endif

namespace korvex {
namespace {

struct S {
  static constexpr int L = 8;
  static constexpr int kRows = 6;
  static constexpr int kGroups = 2;
  static constexpr int kPairGroups = 1;
  using F = __m256;
  using I = __m256i;
  struct Table {
    __m256 lo, hi;
  };
  static F set1(float v) { return _mm256_set1_ps(v); }
  static I set1_i(int v) { return _mm256_set1_epi32(v); }
  static F bcast(const float* p) { return _mm256_broadcast_ss(p); }
  static F load(const float* p) { return _mm256_load_ps(p); }
  static F loadu(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, F v) { _mm256_store_ps(p, v); }
  static void storeu(float* p, F v) { _mm256_storeu_ps(p, v); }
  // Lanes 0 .. n - 1 of v to p[0 .. n); nothing past them is touched.
  static void store_first(float* p, F v, std::size_t n) {
    __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    _mm256_maskstore_ps(p, _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), lane), v);
  }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F cvt(I v) { return _mm256_cvtepi32_ps(v); }
  static F as_f(I v) { return _mm256_castsi256_ps(v); }
  // 8 bytes or 8 halves, sign- or zero-extended to one 32-bit lane each.
  static I load_i8(const uint8_t* p) { return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))); }
  static I load_u8(const uint8_t* p) { return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))); }
  static I load_u16(const uint8_t* p) { return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
  // 8 halves to f32; exact for every half, NaNs keep their payload.
  static F load_f16(const uint8_t* p) { return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
  static float half(uint16_t h) { return _cvtsh_ss(h); }
  static I and_(I v, int m) { return _mm256_and_si256(v, _mm256_set1_epi32(m)); }
  static I or_(I a, I b) { return _mm256_or_si256(a, b); }
  static I srli(I v, int n) { return _mm256_srli_epi32(v, n); }
  static I slli(I v, int n) { return _mm256_slli_epi32(v, n); }
  static I srlv(I v, I n) { return _mm256_srlv_epi32(v, n); }
  static I subi(I v, int c) { return _mm256_sub_epi32(v, _mm256_set1_epi32(c)); }
  static I add_i(I v, int c) { return _mm256_add_epi32(v, _mm256_set1_epi32(c)); }
  static I iota() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
  static Table table16(const float* t) { return {_mm256_loadu_ps(t), _mm256_loadu_ps(t + 8)}; }
  // Entry (v & 15) of the table in every lane: both halves looked up by the low 3 bits, bit 3
  // picks one.
  static F lookup16(I v, const Table& t) {
    F lo = _mm256_permutevar8x32_ps(t.lo, v), hi = _mm256_permutevar8x32_ps(t.hi, v);
    F high = _mm256_castsi256_ps(_mm256_slli_epi32(v, 28));  // bit 3 to the sign
    return _mm256_blendv_ps(lo, hi, high);
  }

  // v[i] lane j becomes v[j] lane i.
  static inline __attribute__((always_inline)) void transpose(F (&v)[8]) {
    F t[8], u[8];
    for (int i = 0; i < 4; ++i) {
      t[2 * i] = _mm256_unpacklo_ps(v[2 * i], v[2 * i + 1]);
      t[2 * i + 1] = _mm256_unpackhi_ps(v[2 * i], v[2 * i + 1]);
    }
    // Within each 128-bit lane c, u[4 * i + j] holds column 4c + j of rows 4i .. 4i + 3.
    for (int i = 0; i < 2; ++i) {
      u[4 * i] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], 0x44);
      u[4 * i + 1] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], 0xEE);
      u[4 * i + 2] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0x44);
      u[4 * i + 3] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0xEE);
    }
    for (int j = 0; j < 4; ++j) {
      v[j] = _mm256_permute2f128_ps(u[j], u[4 + j], 0x20);
      v[4 + j] = _mm256_permute2f128_ps(u[j], u[4 + j], 0x31);
    }
  }
};

#include "kernels/matmul_kernels.inl"

}  // namespace
}  // namespace korvex

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace korvex {
const MatmulKernels& matmul_kernels_avx2() { return kMatmulKernels; }
}  // namespace korvex
