// The vectorised products for AVX2 (with F16C): 8 rows per vector, 16 per tile. Compiled
// for that target inside the anonymous namespace only.
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
#pragma clang attribute push(__attribute__((target("avx2,f16c"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,f16c")
#endif

namespace korvex {
namespace {

inline void transpose4_in_lanes(__m256i a, __m256i b, __m256i c, __m256i d, __m256i* out) {
  __m256i t0 = _mm256_unpacklo_epi32(a, b), t1 = _mm256_unpacklo_epi32(c, d);
  __m256i t2 = _mm256_unpackhi_epi32(a, b), t3 = _mm256_unpackhi_epi32(c, d);
  out[0] = _mm256_unpacklo_epi64(t0, t1);
  out[1] = _mm256_unpackhi_epi64(t0, t1);
  out[2] = _mm256_unpacklo_epi64(t2, t3);
  out[3] = _mm256_unpackhi_epi64(t2, t3);
}

struct S {
  static constexpr int L = 8;
  using F = __m256;
  using I = __m256i;
  struct Table {
    __m256 lo, hi;
  };

  static F set1(float v) { return _mm256_set1_ps(v); }
  static F bcast(const float* p) { return _mm256_broadcast_ss(p); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F cvt(I v) { return _mm256_cvtepi32_ps(v); }
  static F as_f(I v) { return _mm256_castsi256_ps(v); }
  static I slli(I v, int n) { return _mm256_slli_epi32(v, n); }
  static I srli(I v, int n) { return _mm256_srli_epi32(v, n); }
  static I srai(I v, int n) { return _mm256_srai_epi32(v, n); }
  static I and_(I v, int mask) { return _mm256_and_si256(v, _mm256_set1_epi32(mask)); }
  static I or_(I a, I b) { return _mm256_or_si256(a, b); }
  static I subi(I v, int c) { return _mm256_sub_epi32(v, _mm256_set1_epi32(c)); }
  static F f16lo(I v) {
    // Pack the low halves of the 8 words into 8 consecutive halves, then convert.
    I h = _mm256_and_si256(v, _mm256_set1_epi32(0xFFFF));
    I packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(h, h), 0x08);
    return _mm256_cvtph_ps(_mm256_castsi256_si128(packed));
  }
  static F nib_f(I v) { return _mm256_cvtepi32_ps(and_(v, 0x0F)); }
  static Table table16(const float* t) { return {_mm256_loadu_ps(t), _mm256_loadu_ps(t + 8)}; }
  static F lookup16(I v, const Table& t) {
    // Low 3 bits pick within each half of the table, bit 3 (moved to the sign) the half.
    F lo = _mm256_permutevar8x32_ps(t.lo, v), hi = _mm256_permutevar8x32_ps(t.hi, v);
    return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(v, 28)));
  }
  static I lane_offsets(std::size_t stride) {
    return _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(static_cast<int>(stride)));
  }
  static I gather(const uint8_t* base, I offs) {
    return _mm256_i32gather_epi32(reinterpret_cast<const int*>(base), offs, 1);
  }
  static void store(float* p, F v) { _mm256_storeu_ps(p, v); }

  // 16 bytes of 8 rows: out[0..4).
  static void load_d4(const uint8_t* p, std::size_t s, I* out) {
    I z[4];
    for (int i = 0; i < 4; ++i) {
      I v = _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i * s)));
      z[i] = _mm256_inserti128_si256(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (4 + i) * s)), 1);
    }
    transpose4_in_lanes(z[0], z[1], z[2], z[3], out);
  }
  // 32 bytes of 8 rows: out[0..8).
  static void load_d8(const uint8_t* p, std::size_t s, I* out) {
    I r[8];
    for (int i = 0; i < 8; ++i) r[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i * s));
    I sl[4], ul[4];
    transpose4_in_lanes(r[0], r[1], r[2], r[3], sl);
    transpose4_in_lanes(r[4], r[5], r[6], r[7], ul);
    for (int j = 0; j < 4; ++j) {
      out[j] = _mm256_permute2x128_si256(sl[j], ul[j], 0x20);
      out[j + 4] = _mm256_permute2x128_si256(sl[j], ul[j], 0x31);
    }
  }
  // 64 bytes of 8 rows: out[0..16).
  static void load_d16(const uint8_t* p, std::size_t s, I* out) {
    load_d8(p, s, out);
    load_d8(p + 32, s, out + 8);
  }
  static void load_dL(const uint8_t* p, std::size_t s, I* out) { load_d8(p, s, out); }
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
const SimdKernels& simd_kernels_avx2() { return kKernels; }
}  // namespace korvex
