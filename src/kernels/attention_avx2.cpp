// The attention kernels for AVX2: 8 lanes per vector. Everything compiled for that target
// stays in the anonymous namespace.
#include <cstddef>

#include "kernels/attention_kernels.hpp"

// clang ignores GCC's target pragma (the fuzzing build uses clang); it takes the same
// target as an attribute on every function up to the matching pop.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "kernels/expf_avx2.hpp"

namespace korvex {
namespace {

struct S {
  static constexpr int L = 8;
  // Tiles in 16 registers: 7 heads over a transposed block of keys (7 sums, 8 key vectors,
  // a broadcast: the few spills while transposing cost less than a second pass over the keys
  // for the 7 heads of a group); 3 heads over 3 rows with lanes over positions; value sums
  // over 2 vectors of elements for 6 heads, or 3 heads at 2 positions.
  static constexpr int kRowHeads = 7, kLaneHeads = 3, kSumHeads = 6, kPairSums = 3, kSumBlocks = 2;
  static constexpr int lane_rows(int heads) { return heads >= 3 ? 3 : heads == 2 ? 5 : 8; }

  using F = __m256;
  using M = __m256;  // all ones in the lanes set

  static F zero() { return _mm256_setzero_ps(); }
  static F set1(float v) { return _mm256_set1_ps(v); }
  static F bcast(const float* p) { return _mm256_broadcast_ss(p); }
  static F loadu(const float* p) { return _mm256_loadu_ps(p); }
  static void storeu(float* p, F v) { _mm256_storeu_ps(p, v); }
  static __m256i iota() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
  static __m256i first(unsigned n) { return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), iota()); }
  static F load_first(const float* p, unsigned n) { return _mm256_maskload_ps(p, first(n)); }
  static void store_first(float* p, F v, unsigned n) { _mm256_maskstore_ps(p, first(n), v); }
  static M lanes_from(unsigned k) {
    return _mm256_castsi256_ps(_mm256_cmpgt_epi32(iota(), _mm256_set1_epi32(static_cast<int>(k) - 1)));
  }
  static F select(M m, F a, F b) { return _mm256_blendv_ps(b, a, m); }
  // a * b and a + b with a as the first source, so a's NaN wins where both are NaN.
  static F mul(F a, F b) {
    F r;
    __asm__("vmulps %2, %1, %0" : "=x"(r) : "x"(a), "x"(b));
    return r;
  }
  static F add(F a, F b) {
    F r;
    __asm__("vaddps %2, %1, %0" : "=x"(r) : "x"(a), "x"(b));
    return r;
  }
  static float add_one(float a, float b) {
    float r;
    __asm__("vaddss %2, %1, %0" : "=x"(r) : "x"(a), "x"(b));
    return r;
  }
  // Into the second-level cache only: the cache rows are read once per token, and fetched
  // into the first level they pushed out the lines being summed (decoding after 4,000 ids
  // was 9% slower so on Zen 4). As an asm statement: GCC 12 drops a function that holds
  // only the prefetch builtin.
  static void prefetch(const void* p) { __asm__ volatile("prefetcht2 (%0)" : : "r"(p)); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F div(F a, F b) { return _mm256_div_ps(a, b); }
  static F max(F a, F b) { return _mm256_max_ps(a, b); }
  static float hmax(F v) {
    __m128 q = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    q = _mm_max_ps(q, _mm_movehl_ps(q, q));
    q = _mm_max_ss(q, _mm_shuffle_ps(q, q, 1));
    return _mm_cvtss_f32(q);
  }

  // Pairs, then pairs of pairs within each 128-bit half: b[4i + c] holds, in half q,
  // element 4q + c of rows 4i .. 4i + 3; the halves of b[c] and b[4 + c] then give
  // elements c and 4 + c of all rows.
  static void transpose(F (&r)[L]) {
    F a[L], b[L];
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      a[2 * i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
      a[2 * i + 1] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
    }
#pragma GCC unroll 2
    for (int i = 0; i < 2; ++i) {
      b[4 * i] = _mm256_shuffle_ps(a[4 * i], a[4 * i + 2], 0x44);
      b[4 * i + 1] = _mm256_shuffle_ps(a[4 * i], a[4 * i + 2], 0xEE);
      b[4 * i + 2] = _mm256_shuffle_ps(a[4 * i + 1], a[4 * i + 3], 0x44);
      b[4 * i + 3] = _mm256_shuffle_ps(a[4 * i + 1], a[4 * i + 3], 0xEE);
    }
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
      r[c] = _mm256_permute2f128_ps(b[c], b[4 + c], 0x20);
      r[4 + c] = _mm256_permute2f128_ps(b[c], b[4 + c], 0x31);
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
const AttentionKernels& attention_kernels_avx2() { return kAttentionKernels; }
}  // namespace korvex
