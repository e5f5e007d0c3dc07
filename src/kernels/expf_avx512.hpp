// The vector exponential on AVX-512F, for files compiled for that target: include it after
// the file's target pragma, at file scope; then expf_lanes(x) gives glibc's expf of each of
// 16 lanes (see expf_lanes.inl). It needs AVX-512F instructions only. Like every function
// built for the target, its functions have internal linkage.
#pragma once

// Only headers without inline functions of their own: the target pragma is in force here.
#include <immintrin.h>

#include "kernels/expf_constants.hpp"

namespace korvex {
namespace {

struct ExpfAvx512 {
  static constexpr int L = 16;
  static constexpr int kTableSize = 16;  // one two-register permute looks it up
  static constexpr int kDegree = 5;      // |r ln2 / 16| <= 0.0217: truncation below 2^-42.6
  using F = __m512;
  using D = __m512d;

  static F set1(float v) { return _mm512_set1_ps(v); }
  static F load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
  // The first n lanes (n < L); the others read as +0.0 and are not written.
  static F load_first(const float* p, unsigned n) {
    return _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << n) - 1), p);
  }
  static void store_first(float* p, F v, unsigned n) {
    _mm512_mask_storeu_ps(p, static_cast<__mmask16>((1u << n) - 1), v);
  }
  // a < b ? a : b and a > b ? a : b: the second operand when either is NaN.
  static F min(F a, F b) { return _mm512_min_ps(a, b); }
  static F max(F a, F b) { return _mm512_max_ps(a, b); }
  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
  // a * b with a as the first source, so a's NaN wins where both are NaN (nan_order.hpp).
  static F mul_nan_first(F a, F b) {
    F r;
    __asm__("vmulps %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));
    return r;
  }
  static F div(F a, F b) { return _mm512_div_ps(a, b); }
  static F neg(F a) {
    __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(a), sign));
  }
  static unsigned differ(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_NEQ_UQ); }

  static D set1(double v) { return _mm512_set1_pd(v); }
  static D add(D a, D b) { return _mm512_add_pd(a, b); }
  static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
  static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
  static D to_double_lo(F x) { return _mm512_cvtps_pd(_mm512_castps512_ps256(x)); }
  static D to_double_hi(F x) {
    return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)));
  }
  static F to_float(D lo, D hi) {
    __m512d joined = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(_mm512_cvtpd_ps(lo))),
                                        _mm256_castps_pd(_mm512_cvtpd_ps(hi)), 1);
    return _mm512_castpd_ps(joined);
  }
  // 2^(k / 16) for s = kExpfShift + k, whose low bits hold k: the permute reads the low four
  // bits of each index, and the shift leaves only those of k (exp2_fraction_steps).
  static D pow2_steps(D s) {
    static constexpr auto t = exp2_fraction_steps<16>();
    __m512i bits = _mm512_castpd_si512(s);
    __m512i entry = _mm512_permutex2var_epi64(_mm512_loadu_si512(t.v), bits, _mm512_loadu_si512(t.v + 8));
    return _mm512_castsi512_pd(_mm512_add_epi64(entry, _mm512_slli_epi64(bits, 48)));
  }
};

#include "kernels/expf_lanes.inl"

[[gnu::always_inline]] inline __m512 expf_lanes(__m512 x) { return expf_lanes_of<ExpfAvx512>(x); }

}  // namespace
}  // namespace korvex
