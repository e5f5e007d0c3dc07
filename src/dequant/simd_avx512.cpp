// The vectorised products for AVX-512 (F, BW, DQ, VL): 16 rows per vector, 32 per tile.
// Everything compiled for that target stays in the anonymous namespace, so no inline
// function built here with AVX-512 instructions can stand in for another file's copy.
// GCC 12's AVX-512 headers build vectors from deliberately undefined ones, which its
// uninitialised-use analysis reports once the intrinsics are inlined here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "dequant/simd_kernels.hpp"

// clang ignores GCC's target pragma (the fuzzing build uses clang); it takes the same
// target as an attribute on every function up to the matching pop.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2,f16c"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx2,f16c")
#endif

namespace korvex {
namespace {

// 4x4 transpose of 32-bit words inside every 128-bit lane of a, b, c, d.
inline void transpose4_in_lanes(__m512i a, __m512i b, __m512i c, __m512i d, __m512i* out) {
  __m512i t0 = _mm512_unpacklo_epi32(a, b), t1 = _mm512_unpacklo_epi32(c, d);
  __m512i t2 = _mm512_unpackhi_epi32(a, b), t3 = _mm512_unpackhi_epi32(c, d);
  out[0] = _mm512_unpacklo_epi64(t0, t1);
  out[1] = _mm512_unpackhi_epi64(t0, t1);
  out[2] = _mm512_unpacklo_epi64(t2, t3);
  out[3] = _mm512_unpackhi_epi64(t2, t3);
}

struct S {
  static constexpr int L = 16;
  using F = __m512;
  using I = __m512i;
  using Table = __m512;

  static F set1(float v) { return _mm512_set1_ps(v); }
  static F bcast(const float* p) { return _mm512_set1_ps(*p); }
  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static F cvt(I v) { return _mm512_cvtepi32_ps(v); }
  static F as_f(I v) { return _mm512_castsi512_ps(v); }
  static I slli(I v, int n) { return _mm512_slli_epi32(v, static_cast<unsigned>(n)); }
  static I srli(I v, int n) { return _mm512_srli_epi32(v, static_cast<unsigned>(n)); }
  static I srai(I v, int n) { return _mm512_srai_epi32(v, static_cast<unsigned>(n)); }
  static I and_(I v, int mask) { return _mm512_and_si512(v, _mm512_set1_epi32(mask)); }
  static I or_(I a, I b) { return _mm512_or_si512(a, b); }
  static I subi(I v, int c) { return _mm512_sub_epi32(v, _mm512_set1_epi32(c)); }
  // Half in the low 16 bits of each lane to f32; exact for every finite half.
  static F f16lo(I v) { return _mm512_cvtph_ps(_mm512_cvtepi32_epi16(v)); }
  // f32 of the low 4 bits of each lane.
  static F nib_f(I v) {
    return _mm512_permutexvar_ps(v, _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  }
  static Table table16(const float* t) { return _mm512_loadu_ps(t); }
  static F lookup16(I v, Table t) { return _mm512_permutexvar_ps(v, t); }
  static I lane_offsets(std::size_t stride) {
    return _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                              _mm512_set1_epi32(static_cast<int>(stride)));
  }
  // The 32-bit word at base + offs[lane] for every lane.
  static I gather(const uint8_t* base, I offs) { return _mm512_i32gather_epi32(offs, base, 1); }
  static void store(float* p, F v) { _mm512_storeu_ps(p, v); }

  // 16 bytes of 16 rows: out[j] holds word j of every row.
  static void load_d4(const uint8_t* p, std::size_t s, I* out) {
    I z[4];
    for (int i = 0; i < 4; ++i) {
      // lane c of z[i] is row 4c + i
      I v = _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i * s)));
      v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (4 + i) * s)), 1);
      v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (8 + i) * s)), 2);
      z[i] = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (12 + i) * s)), 3);
    }
    transpose4_in_lanes(z[0], z[1], z[2], z[3], out);
  }

  // 32 bytes of 16 rows: out[0..8).
  static void load_d8(const uint8_t* p, std::size_t s, I* out) {
    I z[8];
    for (int i = 0; i < 8; ++i) {
      I v = _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i * s)));
      z[i] = _mm512_inserti64x4(v, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + (8 + i) * s)), 1);
    }
    I sl[4], ul[4];
    transpose4_in_lanes(z[0], z[1], z[2], z[3], sl);  // rows 0-3 | 8-11
    transpose4_in_lanes(z[4], z[5], z[6], z[7], ul);  // rows 4-7 | 12-15
    const I lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const I hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    for (int j = 0; j < 4; ++j) {
      out[j] = _mm512_permutex2var_epi64(sl[j], lo, ul[j]);
      out[j + 4] = _mm512_permutex2var_epi64(sl[j], hi, ul[j]);
    }
  }

  // 64 bytes of 16 rows: out[0..16).
  static void load_d16(const uint8_t* p, std::size_t s, I* out) {
    I g[4][4];
    for (int q = 0; q < 4; ++q) {
      I r[4];
      for (int i = 0; i < 4; ++i) r[i] = _mm512_loadu_si512(p + (4 * q + i) * s);
      transpose4_in_lanes(r[0], r[1], r[2], r[3], g[q]);
    }
    for (int j = 0; j < 4; ++j) {
      I a = _mm512_shuffle_i32x4(g[0][j], g[1][j], 0x44), b = _mm512_shuffle_i32x4(g[0][j], g[1][j], 0xEE);
      I c = _mm512_shuffle_i32x4(g[2][j], g[3][j], 0x44), d = _mm512_shuffle_i32x4(g[2][j], g[3][j], 0xEE);
      out[j] = _mm512_shuffle_i32x4(a, c, 0x88);
      out[4 + j] = _mm512_shuffle_i32x4(a, c, 0xDD);
      out[8 + j] = _mm512_shuffle_i32x4(b, d, 0x88);
      out[12 + j] = _mm512_shuffle_i32x4(b, d, 0xDD);
    }
  }
  static void load_dL(const uint8_t* p, std::size_t s, I* out) { load_d16(p, s, out); }
};

#include "dequant/simd_kernels.inl"

}  // namespace
}  // namespace korvex

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace korvex {
const SimdKernels& simd_kernels_avx512() { return kKernels; }
}  // namespace korvex
