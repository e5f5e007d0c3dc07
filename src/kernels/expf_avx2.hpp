// The vector exponential on AVX2, for files compiled for that target: include it after the
// file's target pragma, at file scope; then expf_lanes(x) gives glibc's expf of each of 8
// lanes (see expf_lanes.inl). It needs AVX2 instructions only. Like every function built for
// the target, its functions have internal linkage.
#pragma once

// Only headers without inline functions of their own: the target pragma is in force here.
#include <immintrin.h>

#include "kernels/expf_constants.hpp"

namespace korvex {
namespace {

struct ExpfAvx2 {
  static constexpr int L = 8;
  static constexpr int kTableSize = 8;  // two word permutes and a blend look it up
  static constexpr int kDegree = 6;     // |r ln2 / 8| <= 0.0433: truncation below 2^-44
  using F = __m256;
  using D = __m256d;

  static F set1(float v) { return _mm256_set1_ps(v); }
  static F load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
  static __m256i first_lanes(unsigned n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  }
  // The first n lanes (n < L); the others read as +0.0 and are not written.
  static F load_first(const float* p, unsigned n) { return _mm256_maskload_ps(p, first_lanes(n)); }
  static void store_first(float* p, F v, unsigned n) { _mm256_maskstore_ps(p, first_lanes(n), v); }
  // a < b ? a : b and a > b ? a : b: the second operand when either is NaN.
  static F min(F a, F b) { return _mm256_min_ps(a, b); }
  static F max(F a, F b) { return _mm256_max_ps(a, b); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  // a * b with a as the first source, so a's NaN wins where both are NaN (nan_order.hpp).
  static F mul_nan_first(F a, F b) {
    F r;
    __asm__("vmulps %2, %1, %0" : "=x"(r) : "x"(a), "x"(b));
    return r;
  }
  static F div(F a, F b) { return _mm256_div_ps(a, b); }
  static F neg(F a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
  static unsigned differ(F a, F b) {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_NEQ_UQ)));
  }

  static D set1(double v) { return _mm256_set1_pd(v); }
  static D add(D a, D b) { return _mm256_add_pd(a, b); }
  static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
  static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
  static D to_double_lo(F x) { return _mm256_cvtps_pd(_mm256_castps256_ps128(x)); }
  static D to_double_hi(F x) { return _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)); }
  static F to_float(D lo, D hi) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)), _mm256_cvtpd_ps(hi), 1);
  }
  // 2^(k / 8) for s = kExpfShift + k, whose low bits hold k (exp2_fraction_steps). A word
  // permute reads one of four 64-bit entries per register through the word pair (2j, 2j + 1),
  // j = k mod 4 (it reads the low three bits of each word); bit 2 of k picks the register.
  static D pow2_steps(D s) {
    static constexpr auto t = exp2_fraction_steps<8>();
    __m256i bits = _mm256_castpd_si256(s);
    __m256i twice = _mm256_shuffle_epi32(_mm256_slli_epi64(bits, 1), 0xA0);  // 2k in both words
    __m256i pair = _mm256_or_si256(twice, _mm256_set1_epi64x(1LL << 32));
    __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.v));
    __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.v + 4));
    __m256i entry = _mm256_castpd_si256(_mm256_blendv_pd(_mm256_castsi256_pd(_mm256_permutevar8x32_epi32(first, pair)),
                                                         _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(second, pair)),
                                                         _mm256_castsi256_pd(_mm256_slli_epi64(bits, 61))));
    return _mm256_castsi256_pd(_mm256_add_epi64(entry, _mm256_slli_epi64(bits, 49)));
  }
};

#include "kernels/expf_lanes.inl"

[[gnu::always_inline]] inline __m256 expf_lanes(__m256 x) { return expf_lanes_of<ExpfAvx2>(x); }

}  // namespace
}  // namespace korvex
