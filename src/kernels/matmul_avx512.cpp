// The batched product's kernels for AVX-512: 16 inputs per vector; a tile of 6 rows against
// 4 groups (3 for Q5_1 and IQ4_NL) holds 24 (18) accumulators in the 32 vector registers.
// Everything compiled for that target stays in the anonymous namespace.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "dequant/block_formats.hpp"
#include "dequant/dequant.hpp"
#include "kernels/matmul_kernels.hpp"

#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,f16c"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,f16c")
#endif

namespace korvex {
namespace {

struct S {
  static constexpr int L = 16;
  static constexpr int kRows = 6;
  static constexpr int kGroups = 4;
  static constexpr int kPairGroups = 3;
  using F = __m512;
  using I = __m512i;
  using Table = __m512;
  static F set1(float v) { return _mm512_set1_ps(v); }
  static I set1_i(int v) { return _mm512_set1_epi32(v); }
  static F bcast(const float* p) { return _mm512_set1_ps(*p); }
  static F load(const float* p) { return _mm512_load_ps(p); }
  static F loadu(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, F v) { _mm512_store_ps(p, v); }
  static void storeu(float* p, F v) { _mm512_storeu_ps(p, v); }
  // Lanes 0 .. n - 1 of v to p[0 .. n); nothing past them is touched.
  static void store_first(float* p, F v, std::size_t n) {
    _mm512_mask_storeu_ps(p, static_cast<__mmask16>((1u << n) - 1), v);
  }
  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static F cvt(I v) { return _mm512_cvtepi32_ps(v); }
  static F as_f(I v) { return _mm512_castsi512_ps(v); }
  // 16 bytes or 16 halves, sign- or zero-extended to one 32-bit lane each.
  static I load_i8(const uint8_t* p) { return _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
  static I load_u8(const uint8_t* p) { return _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
  static I load_u16(const uint8_t* p) {
    return _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  }
  // 16 halves to f32; exact for every half, NaNs keep their payload.
  static F load_f16(const uint8_t* p) { return _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))); }
  static float half(uint16_t h) { return _cvtsh_ss(h); }
  static I and_(I v, int m) { return _mm512_and_si512(v, _mm512_set1_epi32(m)); }
  static I or_(I a, I b) { return _mm512_or_si512(a, b); }
  static I srli(I v, unsigned n) { return _mm512_srli_epi32(v, n); }
  static I slli(I v, unsigned n) { return _mm512_slli_epi32(v, n); }
  static I srlv(I v, I n) { return _mm512_srlv_epi32(v, n); }
  static I subi(I v, int c) { return _mm512_sub_epi32(v, _mm512_set1_epi32(c)); }
  static I add_i(I v, int c) { return _mm512_add_epi32(v, _mm512_set1_epi32(c)); }
  static I iota() { return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }
  static Table table16(const float* t) { return _mm512_loadu_ps(t); }
  // Entry (v & 15) of the table in every lane.
  static F lookup16(I v, Table t) { return _mm512_permutexvar_ps(v, t); }

  // v[i] lane j becomes v[j] lane i.
  static inline __attribute__((always_inline)) void transpose(F (&v)[16]) {
    F t[16], u[16];
    for (int i = 0; i < 8; ++i) {
      t[2 * i] = _mm512_unpacklo_ps(v[2 * i], v[2 * i + 1]);
      t[2 * i + 1] = _mm512_unpackhi_ps(v[2 * i], v[2 * i + 1]);
    }
    // Within each 128-bit lane c, u[4 * i + j] holds column 4c + j of rows 4i .. 4i + 3.
    for (int i = 0; i < 4; ++i) {
      u[4 * i] = _mm512_shuffle_ps(t[4 * i], t[4 * i + 2], 0x44);
      u[4 * i + 1] = _mm512_shuffle_ps(t[4 * i], t[4 * i + 2], 0xEE);
      u[4 * i + 2] = _mm512_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0x44);
      u[4 * i + 3] = _mm512_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0xEE);
    }
    // Column 4c + j gathers lane c of u[j], u[4 + j], u[8 + j], u[12 + j].
    for (int j = 0; j < 4; ++j) {
      F a = _mm512_shuffle_f32x4(u[j], u[4 + j], 0x44), b = _mm512_shuffle_f32x4(u[j], u[4 + j], 0xEE);
      F c = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], 0x44), d = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], 0xEE);
      v[j] = _mm512_shuffle_f32x4(a, c, 0x88);
      v[4 + j] = _mm512_shuffle_f32x4(a, c, 0xDD);
      v[8 + j] = _mm512_shuffle_f32x4(b, d, 0x88);
      v[12 + j] = _mm512_shuffle_f32x4(b, d, 0xDD);
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
const MatmulKernels& matmul_kernels_avx512() { return kMatmulKernels; }
}  // namespace korvex
