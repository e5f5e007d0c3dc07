// The attention kernels for AVX-512F: 16 lanes per vector. Everything compiled for that
// target stays in the anonymous namespace.
// GCC 12's AVX-512 headers build vectors from deliberately undefined ones, which its
// uninitialised-use analysis reports once the intrinsics are inlined here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <cstddef>

#include "kernels/attention_kernels.hpp"

// clang ignores GCC's target pragma (the fuzzing build uses clang); it takes the same
// target as an attribute on every function up to the matching pop.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif

#include "kernels/expf_avx512.hpp"

namespace korvex {
namespace {

struct S {
  static constexpr int L = 16;
  // Tiles in 32 registers: 8 heads over a transposed block of keys (8 sums, 16 key vectors,
  // a broadcast); 4 heads over 4 rows with lanes over positions; value sums over 2 vectors
  // of elements for 8 heads, or 4 heads at 2 positions.
  static constexpr int kRowHeads = 8, kLaneHeads = 4, kSumHeads = 8, kPairSums = 4, kSumBlocks = 2;
  static constexpr int lane_rows(int heads) { return heads >= 4 ? 4 : heads == 3 ? 5 : heads == 2 ? 6 : 8; }

  using F = __m512;
  using M = __mmask16;

  static F zero() { return _mm512_setzero_ps(); }
  static F set1(float v) { return _mm512_set1_ps(v); }
  static F bcast(const float* p) { return _mm512_set1_ps(*p); }
  static F loadu(const float* p) { return _mm512_loadu_ps(p); }
  static void storeu(float* p, F v) { _mm512_storeu_ps(p, v); }
  static M first(unsigned n) { return static_cast<M>((1u << n) - 1); }
  static F load_first(const float* p, unsigned n) { return _mm512_maskz_loadu_ps(first(n), p); }
  static void store_first(float* p, F v, unsigned n) { _mm512_mask_storeu_ps(p, first(n), v); }
  static M lanes_from(unsigned k) { return static_cast<M>(0xFFFFu << k); }
  static F select(M m, F a, F b) { return _mm512_mask_blend_ps(m, b, a); }
  // a * b and a + b with a as the first source, so a's NaN wins where both are NaN.
  static F mul(F a, F b) {
    F r;
    __asm__("vmulps %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));
    return r;
  }
  static F add(F a, F b) {
    F r;
    __asm__("vaddps %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));
    return r;
  }
  static float add_one(float a, float b) {
    float r;
    __asm__("vaddss %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));
    return r;
  }
  // Into the second-level cache only: the cache rows are read once per token, and fetched
  // into the first level they pushed out the lines being summed (decoding after 4,000 ids
  // was 9% slower so on Zen 4). As an asm statement: GCC 12 drops a function that holds
  // only the prefetch builtin.
  static void prefetch(const void* p) { __asm__ volatile("prefetcht2 (%0)" : : "r"(p)); }
  static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F div(F a, F b) { return _mm512_div_ps(a, b); }
  static F max(F a, F b) { return _mm512_max_ps(a, b); }
  static __m512d pd(F v) { return _mm512_castps_pd(v); }
  static float hmax(F v) {
    __m256 h = _mm256_max_ps(_mm512_castps512_ps256(v),
                             _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)));
    __m128 q = _mm_max_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1));
    q = _mm_max_ps(q, _mm_movehl_ps(q, q));
    q = _mm_max_ss(q, _mm_shuffle_ps(q, q, 1));
    return _mm_cvtss_f32(q);
  }

  // Pairs, then pairs of pairs within each 128-bit lane: b[4i + c] holds, in 128-bit lane q,
  // element 4q + c of rows 4i .. 4i + 3. Then the 128-bit lanes of b[c], b[4 + c], b[8 + c],
  // b[12 + c] are transposed, giving elements c, 4 + c, 8 + c and 12 + c of all rows.
  static void transpose(F (&r)[L]) {
    F a[L], b[L];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      a[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
      a[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
    }
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      b[4 * i] = _mm512_castpd_ps(_mm512_unpacklo_pd(pd(a[4 * i]), pd(a[4 * i + 2])));
      b[4 * i + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(pd(a[4 * i]), pd(a[4 * i + 2])));
      b[4 * i + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(pd(a[4 * i + 1]), pd(a[4 * i + 3])));
      b[4 * i + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(pd(a[4 * i + 1]), pd(a[4 * i + 3])));
    }
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
      F lo01 = _mm512_shuffle_f32x4(b[c], b[4 + c], 0x44), hi01 = _mm512_shuffle_f32x4(b[c], b[4 + c], 0xEE);
      F lo23 = _mm512_shuffle_f32x4(b[8 + c], b[12 + c], 0x44), hi23 = _mm512_shuffle_f32x4(b[8 + c], b[12 + c], 0xEE);
      r[c] = _mm512_shuffle_f32x4(lo01, lo23, 0x88);
      r[4 + c] = _mm512_shuffle_f32x4(lo01, lo23, 0xDD);
      r[8 + c] = _mm512_shuffle_f32x4(hi01, hi23, 0x88);
      r[12 + c] = _mm512_shuffle_f32x4(hi01, hi23, 0xDD);
    }
  }
};

#include "kernels/attention_kernels.inl"

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
