// The vectorised products for AVX2 (with F16C): 8 rows per vector, 16 per tile. Compiled
// for that target inside the anonymous namespace only.
// GCC 12's AVX-512 headers build vectors from deliberately undefined ones, which its
// uninitialised-use analysis reports once the intrinsics are inlined here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "kernels/matvec_kernels.hpp"

// clang ignores GCC's target pragma (the fuzzing build uses clang); it takes the same
// target as an attribute on every function up to the matching pop.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2,f16c"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,f16c")
// Out of SSA, GCC forwards each single-use decoded value to its use, which in these long
// unrolled bodies moves whole groups of decodes ahead of the adds and spills them.
#pragma GCC optimize("no-tree-ter")
#endif

namespace korvex {
namespace {

#define KX_INLINE inline __attribute__((always_inline))

struct Quad {
  __m256i a, b, c, d;
};

// 4x4 transpose of 32-bit words inside both 128-bit lanes; plain values, so that no stage
// goes through memory.
KX_INLINE Quad transpose4_in_lanes(__m256i a, __m256i b, __m256i c, __m256i d) {
  __m256i t0 = _mm256_unpacklo_epi32(a, b), t1 = _mm256_unpacklo_epi32(c, d);
  __m256i t2 = _mm256_unpackhi_epi32(a, b), t3 = _mm256_unpackhi_epi32(c, d);
  return {_mm256_unpacklo_epi64(t0, t1), _mm256_unpackhi_epi64(t0, t1), _mm256_unpacklo_epi64(t2, t3),
          _mm256_unpackhi_epi64(t2, t3)};
}

KX_INLINE __m128i load128(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
KX_INLINE __m256i load256(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Rows r and r + 4 (16 bytes each) as the two 128-bit lanes.
KX_INLINE __m256i lanes2(const uint8_t* p, std::size_t s, int r) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(load128(p + r * s)), load128(p + (4 + r) * s), 1);
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
  // Both halves of every word as f32, in one pack: lo from the low 16 bits, hi from the top.
  static KX_INLINE void f16_pair(I v, F& lo, F& hi) {
    I packed = _mm256_packus_epi32(_mm256_and_si256(v, _mm256_set1_epi32(0xFFFF)), _mm256_srli_epi32(v, 16));
    packed = _mm256_permute4x64_epi64(packed, 0xD8);  // lo halves 0-7, then hi halves 0-7
    lo = _mm256_cvtph_ps(_mm256_castsi256_si128(packed));
    hi = _mm256_cvtph_ps(_mm256_extracti128_si256(packed, 1));
  }
  static F nib_f(I v) { return _mm256_cvtepi32_ps(and_(v, 0x0F)); }
  static I sub_bytes(I v, int c) { return _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(c))); }
  // Byte s of each word moved to the word's top byte (or its bottom byte), the rest zero.
  static I byte_top(I v, int s) {
    int a = 0x00808080 + (s << 24), b = 0x04808080 + (s << 24), c = 0x08808080 + (s << 24), d = 0x0C808080 + (s << 24);
    return _mm256_shuffle_epi8(v, _mm256_setr_epi32(a, b, c, d, a, b, c, d));
  }
  static I byte_low(I v, int s) {
    int a = static_cast<int>(0x80808000) + s, b = static_cast<int>(0x80808004) + s, c = static_cast<int>(0x80808008) + s,
        d = static_cast<int>(0x8080800C) + s;
    return _mm256_shuffle_epi8(v, _mm256_setr_epi32(a, b, c, d, a, b, c, d));
  }
  // 0x10 in byte s of each word where bit (first + s) of the word in qh is set, for s < 4;
  // first is a multiple of 4.
  static I spread_bit4(I qh, int first) {
    int byte = first / 8, o = first % 8;
    int r = 0x01010101 * byte;
    I rep = _mm256_shuffle_epi8(qh, _mm256_setr_epi32(r, 0x04040404 + r, 0x08080808 + r, 0x0C0C0C0C + r, r,
                                                      0x04040404 + r, 0x08080808 + r, 0x0C0C0C0C + r));
    I bits = _mm256_set1_epi32(static_cast<int>((1u << o) | (2u << o) << 8 | (4u << o) << 16 | (8u << o) << 24));
    I set = _mm256_cmpeq_epi8(_mm256_and_si256(rep, bits), bits);
    return _mm256_and_si256(set, _mm256_set1_epi8(0x10));
  }
  // `mark` in byte s of each word where bit b[s] of the word in qh is set (or, with
  // when_clear, where it is clear), zero elsewhere.
  static KX_INLINE I mark_bytes(I qh, int b0, int b1, int b2, int b3, int mark, bool when_clear) {
    const int bits[4] = {b0, b1, b2, b3};
    int sel = 0, test = 0;
    for (int s = 0; s < 4; ++s) {
      sel |= (bits[s] / 8) << (8 * s);
      test |= (1 << (bits[s] % 8)) << (8 * s);
    }
    I rep = _mm256_shuffle_epi8(qh, _mm256_setr_epi32(sel, 0x04040404 + sel, 0x08080808 + sel, 0x0C0C0C0C + sel, sel,
                                                      0x04040404 + sel, 0x08080808 + sel, 0x0C0C0C0C + sel));
    I t = _mm256_set1_epi32(test);
    I set = _mm256_cmpeq_epi8(_mm256_and_si256(rep, t), t);
    I m = _mm256_set1_epi8(static_cast<char>(mark));
    return when_clear ? _mm256_andnot_si256(set, m) : _mm256_and_si256(set, m);
  }
  // (a & mask) | b.
  static KX_INLINE I merge_bits(I a, I b, int mask) { return _mm256_or_si256(and_(a, mask), b); }
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
  // Into the second-level cache only: weights are read once, and fetched into the first
  // level they pushed out the lines being summed (on Zen 4 one thread decoded a token 1.7
  // times slower so). As an asm statement: GCC 12 judged a function holding only the
  // prefetch builtin free of effects and dropped every call to it.
  static KX_INLINE void prefetch(const uint8_t* p) { __asm__ volatile("prefetcht2 (%0)" : : "r"(p)); }
  static void store(float* p, F v) { _mm256_storeu_ps(p, v); }

  // 16 bytes of 8 rows: out[0..4).
  static KX_INLINE void load_d4(const uint8_t* p, std::size_t s, I* out) {
    Quad q = transpose4_in_lanes(lanes2(p, s, 0), lanes2(p, s, 1), lanes2(p, s, 2), lanes2(p, s, 3));
    out[0] = q.a;
    out[1] = q.b;
    out[2] = q.c;
    out[3] = q.d;
  }
  // 32 bytes of 8 rows: out[0..8).
  static KX_INLINE void load_d8(const uint8_t* p, std::size_t s, I* out) {
    Quad sl = transpose4_in_lanes(load256(p), load256(p + s), load256(p + 2 * s), load256(p + 3 * s));
    Quad ul = transpose4_in_lanes(load256(p + 4 * s), load256(p + 5 * s), load256(p + 6 * s), load256(p + 7 * s));
    out[0] = _mm256_permute2x128_si256(sl.a, ul.a, 0x20);
    out[1] = _mm256_permute2x128_si256(sl.b, ul.b, 0x20);
    out[2] = _mm256_permute2x128_si256(sl.c, ul.c, 0x20);
    out[3] = _mm256_permute2x128_si256(sl.d, ul.d, 0x20);
    out[4] = _mm256_permute2x128_si256(sl.a, ul.a, 0x31);
    out[5] = _mm256_permute2x128_si256(sl.b, ul.b, 0x31);
    out[6] = _mm256_permute2x128_si256(sl.c, ul.c, 0x31);
    out[7] = _mm256_permute2x128_si256(sl.d, ul.d, 0x31);
  }
  // 64 bytes of 8 rows: out[0..16).
  static KX_INLINE void load_d16(const uint8_t* p, std::size_t s, I* out) {
    load_d8(p, s, out);
    load_d8(p + 32, s, out + 8);
  }
  static KX_INLINE void load_dL(const uint8_t* p, std::size_t s, I* out) { load_d8(p, s, out); }

  // The top nibble of every word, as nibble * 2^kTopNibbleExp: shifted down, as there is no
  // unsigned conversion and its bit 31 would convert with a sign.
  static constexpr int kTopNibbleExp = 0;
  static F top_nibble_f(I v) { return _mm256_cvtepi32_ps(srli(v, 28)); }
  // The bits of a where mask has ones, the bits of b elsewhere.
  static I select(int mask, I a, I b) {
    I m = _mm256_set1_epi32(mask);
    return _mm256_or_si256(_mm256_and_si256(m, a), _mm256_andnot_si256(m, b));
  }
  // The 16-byte table t in both 128-bit lanes, and each byte of idx (bit 7 clear) replaced by
  // the table's byte at its low 4 bits.
  static I table_bytes(const uint8_t* t) { return _mm256_broadcastsi128_si256(load128(t)); }
  static I lookup_bytes(I table, I idx) { return _mm256_shuffle_epi8(table, idx); }
};

#include "kernels/matvec_kernels.inl"

}  // namespace
}  // namespace korvex

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace korvex {
const MatvecKernels& matvec_kernels_avx2() { return kKernels; }
}  // namespace korvex
