#pragma once
// The arithmetic floor of each type's decode product: only the f32 operations that the
// type's definition requires per weight (conversion of the code, scale products, input
// product, sums), on register data, one vector of rows per chain and enough chains for
// the add latency, with separate multiply and add as the products must use. What a kernel
// reaches with its matrix in the caches, as a share of this, is what its byte moves,
// shuffles, transposes and scale unpacking cost.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <chrono>
#include <cstdint>

#include "kernels/cpu_features.hpp"
#include "dequant/ggml_types.hpp"

namespace korvex::bench {

#define KX_CEIL_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2,f16c"), noinline))
#define KX_CEIL_AVX2 __attribute__((target("avx2,f16c"), noinline))
// Keeps the compiler from hoisting or sharing a value between chains and iterations.
#define KX_OPAQUE(v) __asm__("" : "+v"(v))

inline double weights_per_second(long iterations, int lanes, int per_step, double seconds) {
  return static_cast<double>(iterations) * 4 * lanes * per_step / seconds;
}

template <uint32_t type>
KX_CEIL_AVX512 double ceiling_avx512(long n) {
  using F = __m512;
  using I = __m512i;
  F acc[4];
  for (auto& a : acc) a = _mm512_set1_ps(0.0f);
  I q[4];
  // Codes in the top byte; as f32 bits (F32) a normal number, so nothing runs into subnormals.
  for (int c = 0; c < 4; ++c) q[c] = _mm512_set1_epi32(type == GgmlType::F32 ? 0x3F800000 : (c + 1) << 24);
  F d = _mm512_set1_ps(0x1p-30f), m = _mm512_set1_ps(0.5f), x = _mm512_set1_ps(0.25f);
  const F table = _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  int per_step = type == GgmlType::Q5_1 ? 2 : 1;
  auto t0 = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) {
    KX_OPAQUE(d);
    KX_OPAQUE(x);
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
      KX_OPAQUE(q[c]);
      switch (type) {  // a constant: one case survives
        case GgmlType::F32: acc[c] = _mm512_add_ps(acc[c], _mm512_mul_ps(_mm512_castsi512_ps(q[c]), x)); break;  // q: 1.0f
        case GgmlType::BF16:
          acc[c] = _mm512_add_ps(acc[c], _mm512_mul_ps(_mm512_castsi512_ps(_mm512_slli_epi32(q[c], 16)), x));
          break;
        case GgmlType::F16:
          acc[c] = _mm512_add_ps(acc[c], _mm512_mul_ps(x, _mm512_cvtph_ps(_mm512_castsi512_si256(q[c]))));
          break;
        case GgmlType::Q5_1: {  // a pair of weights: (code * d + m) * x for each, their sum, the sum
          F lo = _mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(q[c]), d), m);
          F hi = _mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_castps_si512(x)), d), m);
          acc[c] = _mm512_add_ps(acc[c], _mm512_add_ps(_mm512_mul_ps(hi, x), _mm512_mul_ps(lo, m)));
          break;
        }
        case GgmlType::IQ4_NL:  // (x * d) * level, the level looked up from the code
          acc[c] = _mm512_add_ps(acc[c], _mm512_mul_ps(_mm512_mul_ps(x, d), _mm512_permutexvar_ps(q[c], table)));
          break;
        case GgmlType::Q4_K:  // x * (code * d1 - m1)
          acc[c] = _mm512_add_ps(acc[c], _mm512_mul_ps(x, _mm512_sub_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(q[c]), d), m)));
          break;
        default:  // Q8_0, Q5_0, Q6_K: x * (code * scale)
          acc[c] = _mm512_add_ps(acc[c], _mm512_mul_ps(x, _mm512_mul_ps(_mm512_cvtepi32_ps(q[c]), d)));
          break;
      }
    }
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  for (auto& a : acc) KX_OPAQUE(a);
  return weights_per_second(n, 16, per_step, s);
}

template <uint32_t type>
KX_CEIL_AVX2 double ceiling_avx2(long n) {
  using F = __m256;
  using I = __m256i;
  F acc[4];
  for (auto& a : acc) a = _mm256_set1_ps(0.0f);
  I q[4];
  for (int c = 0; c < 4; ++c) q[c] = _mm256_set1_epi32(type == GgmlType::F32 ? 0x3F800000 : (c + 1) << 24);
  F d = _mm256_set1_ps(0x1p-30f), m = _mm256_set1_ps(0.5f), x = _mm256_set1_ps(0.25f);
  const F t_lo = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7), t_hi = _mm256_setr_ps(8, 9, 10, 11, 12, 13, 14, 15);
  int per_step = type == GgmlType::Q5_1 ? 2 : 1;
  auto t0 = std::chrono::steady_clock::now();
  for (long i = 0; i < n; ++i) {
    KX_OPAQUE(d);
    KX_OPAQUE(x);
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
      KX_OPAQUE(q[c]);
      switch (type) {  // a constant: one case survives
        case GgmlType::F32: acc[c] = _mm256_add_ps(acc[c], _mm256_mul_ps(_mm256_castsi256_ps(q[c]), x)); break;  // q: 1.0f
        case GgmlType::BF16:
          acc[c] = _mm256_add_ps(acc[c], _mm256_mul_ps(_mm256_castsi256_ps(_mm256_slli_epi32(q[c], 16)), x));
          break;
        case GgmlType::F16:
          acc[c] = _mm256_add_ps(acc[c], _mm256_mul_ps(x, _mm256_cvtph_ps(_mm256_castsi256_si128(q[c]))));
          break;
        case GgmlType::Q5_1: {
          F lo = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(q[c]), d), m);
          F hi = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_castps_si256(x)), d), m);
          acc[c] = _mm256_add_ps(acc[c], _mm256_add_ps(_mm256_mul_ps(hi, x), _mm256_mul_ps(lo, m)));
          break;
        }
        case GgmlType::IQ4_NL: {  // a 16-entry lookup is two permutes and a blend in AVX2
          F lv = _mm256_blendv_ps(_mm256_permutevar8x32_ps(t_lo, q[c]), _mm256_permutevar8x32_ps(t_hi, q[c]),
                                  _mm256_castsi256_ps(_mm256_slli_epi32(q[c], 28)));
          acc[c] = _mm256_add_ps(acc[c], _mm256_mul_ps(_mm256_mul_ps(x, d), lv));
          break;
        }
        case GgmlType::Q4_K:
          acc[c] = _mm256_add_ps(acc[c], _mm256_mul_ps(x, _mm256_sub_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(q[c]), d), m)));
          break;
        default:
          acc[c] = _mm256_add_ps(acc[c], _mm256_mul_ps(x, _mm256_mul_ps(_mm256_cvtepi32_ps(q[c]), d)));
          break;
      }
    }
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  for (auto& a : acc) KX_OPAQUE(a);
  return weights_per_second(n, 8, per_step, s);
}

// The floor's weights per second on this thread at the active instruction-set level.
template <uint32_t type>
double ceiling_for(long iterations) {
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return ceiling_avx512<type>(iterations);
    case SimdLevel::Avx2: return ceiling_avx2<type>(iterations);
    case SimdLevel::Scalar: break;
  }
  return 0.0;
}

inline double ceiling_weights_per_second(uint32_t type, long iterations = 2000000) {
  switch (type) {
    case GgmlType::F32: return ceiling_for<GgmlType::F32>(iterations);
    case GgmlType::BF16: return ceiling_for<GgmlType::BF16>(iterations);
    case GgmlType::F16: return ceiling_for<GgmlType::F16>(iterations);
    case GgmlType::Q5_1: return ceiling_for<GgmlType::Q5_1>(iterations);
    case GgmlType::IQ4_NL: return ceiling_for<GgmlType::IQ4_NL>(iterations);
    case GgmlType::Q4_K: return ceiling_for<GgmlType::Q4_K>(iterations);
    case GgmlType::Q5_0: return ceiling_for<GgmlType::Q5_0>(iterations);
    case GgmlType::Q6_K: return ceiling_for<GgmlType::Q6_K>(iterations);
    default: return ceiling_for<GgmlType::Q8_0>(iterations);
  }
}

#undef KX_OPAQUE
#undef KX_CEIL_AVX2
#undef KX_CEIL_AVX512

}  // namespace korvex::bench
