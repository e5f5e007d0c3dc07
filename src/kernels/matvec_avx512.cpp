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
#include <type_traits>
#include <utility>

#include "kernels/matvec_kernels.hpp"

// clang ignores GCC's target pragma (the fuzzing build uses clang); it takes the same
// target as an attribute on every function up to the matching pop.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2,f16c"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx2,f16c")
// Out of SSA, GCC forwards each single-use decoded value to its use, which in these long
// unrolled bodies moves whole groups of decodes ahead of the adds and spills them.
#pragma GCC optimize("no-tree-ter")
#endif

namespace korvex {
namespace {

#define KX_INLINE inline __attribute__((always_inline))

struct Quad {
  __m512i a, b, c, d;
};

// 4x4 transpose of 32-bit words inside every 128-bit lane of a, b, c, d. Plain values
// throughout: arrays here end up in memory, and every stage then waits on a store.
KX_INLINE Quad transpose4_in_lanes(__m512i a, __m512i b, __m512i c, __m512i d) {
  __m512i t0 = _mm512_unpacklo_epi32(a, b), t1 = _mm512_unpacklo_epi32(c, d);
  __m512i t2 = _mm512_unpackhi_epi32(a, b), t3 = _mm512_unpackhi_epi32(c, d);
  return {_mm512_unpacklo_epi64(t0, t1), _mm512_unpackhi_epi64(t0, t1), _mm512_unpacklo_epi64(t2, t3),
          _mm512_unpackhi_epi64(t2, t3)};
}

KX_INLINE __m128i load128(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
KX_INLINE __m256i load256(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Rows r, r + 4, r + 8, r + 12 (16 bytes each) as the four 128-bit lanes.
KX_INLINE __m512i lanes4(const uint8_t* p, std::size_t s, int r) {
  __m512i v = _mm512_castsi128_si512(load128(p + r * s));
  v = _mm512_inserti32x4(v, load128(p + (4 + r) * s), 1);
  v = _mm512_inserti32x4(v, load128(p + (8 + r) * s), 2);
  return _mm512_inserti32x4(v, load128(p + (12 + r) * s), 3);
}

// Rows r and r + 8 (32 bytes each) as the two 256-bit halves.
KX_INLINE __m512i halves2(const uint8_t* p, std::size_t s, int r) {
  return _mm512_inserti64x4(_mm512_castsi256_si512(load256(p + r * s)), load256(p + (8 + r) * s), 1);
}

// Lane c of the result is lane c of q0.x, q1.x, q2.x, q3.x in turn: the 128-bit lanes of
// four vectors transposed.
KX_INLINE Quad transpose_lanes(__m512i q0, __m512i q1, __m512i q2, __m512i q3) {
  __m512i a = _mm512_shuffle_i32x4(q0, q1, 0x44), b = _mm512_shuffle_i32x4(q0, q1, 0xEE);
  __m512i c = _mm512_shuffle_i32x4(q2, q3, 0x44), d = _mm512_shuffle_i32x4(q2, q3, 0xEE);
  return {_mm512_shuffle_i32x4(a, c, 0x88), _mm512_shuffle_i32x4(a, c, 0xDD), _mm512_shuffle_i32x4(b, d, 0x88),
          _mm512_shuffle_i32x4(b, d, 0xDD)};
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
  // Both halves of every word as f32: one word permute gathers the low halves into the low
  // 256 bits and the high halves into the top ones.
  static KX_INLINE void f16_pair(I v, F& lo, F& hi) {
    const I idx = _mm512_setr_epi32(0x00020000, 0x00060004, 0x000A0008, 0x000E000C, 0x00120010, 0x00160014,
                                    0x001A0018, 0x001E001C, 0x00030001, 0x00070005, 0x000B0009, 0x000F000D,
                                    0x00130011, 0x00170015, 0x001B0019, 0x001F001D);
    I p = _mm512_permutexvar_epi16(idx, v);
    lo = _mm512_cvtph_ps(_mm512_castsi512_si256(p));
    hi = _mm512_cvtph_ps(_mm512_extracti64x4_epi64(p, 1));
  }
  // f32 of the low 4 bits of each lane.
  static F nib_f(I v) {
    return _mm512_permutexvar_ps(v, _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  }
  static I sub_bytes(I v, int c) { return _mm512_sub_epi8(v, _mm512_set1_epi8(static_cast<char>(c))); }
  // Byte s of each word moved to the word's top byte (or its bottom byte), the rest zero.
  static I byte_top(I v, int s) {
    return _mm512_shuffle_epi8(v, _mm512_set4_epi32(0x0C808080 + (s << 24), 0x08808080 + (s << 24),
                                                    0x04808080 + (s << 24), 0x00808080 + (s << 24)));
  }
  static I byte_low(I v, int s) {
    return _mm512_shuffle_epi8(v, _mm512_set4_epi32(static_cast<int>(0x8080800C) + s, static_cast<int>(0x80808008) + s,
                                                    static_cast<int>(0x80808004) + s, static_cast<int>(0x80808000) + s));
  }
  // 0x10 in byte s of each word where bit (first + s) of the word in qh is set, for s < 4;
  // first is a multiple of 4.
  static I spread_bit4(I qh, int first) {
    int byte = first / 8, o = first % 8;
    I rep = _mm512_shuffle_epi8(qh, _mm512_set4_epi32(0x0C0C0C0C + 0x01010101 * byte, 0x08080808 + 0x01010101 * byte,
                                                      0x04040404 + 0x01010101 * byte, 0x00000000 + 0x01010101 * byte));
    int bits = static_cast<int>((1u << o) | (2u << o) << 8 | (4u << o) << 16 | (8u << o) << 24);
    __mmask64 k = _mm512_test_epi8_mask(rep, _mm512_set1_epi32(bits));
    return _mm512_maskz_mov_epi8(k, _mm512_set1_epi8(0x10));
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
    I rep = _mm512_shuffle_epi8(qh, _mm512_set4_epi32(0x0C0C0C0C + sel, 0x08080808 + sel, 0x04040404 + sel, sel));
    __mmask64 k = when_clear ? _mm512_testn_epi8_mask(rep, _mm512_set1_epi32(test))
                             : _mm512_test_epi8_mask(rep, _mm512_set1_epi32(test));
    // Held in a register: left to itself GCC broadcasts the constant from a general
    // register under the mask, two instructions where one does.
    I m = _mm512_set1_epi8(static_cast<char>(mark));
    __asm__("" : "+v"(m));
    return _mm512_maskz_mov_epi8(k, m);
  }
  // (a & mask) | b in one instruction.
  static KX_INLINE I merge_bits(I a, I b, int mask) {
    return _mm512_ternarylogic_epi32(a, b, _mm512_set1_epi32(mask), 0xEC);
  }
  static Table table16(const float* t) { return _mm512_loadu_ps(t); }
  static F lookup16(I v, Table t) { return _mm512_permutexvar_ps(v, t); }
  static I lane_offsets(std::size_t stride) {
    return _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                              _mm512_set1_epi32(static_cast<int>(stride)));
  }
  // The 32-bit word at base + offs[lane] for every lane.
  static I gather(const uint8_t* base, I offs) { return _mm512_i32gather_epi32(offs, base, 1); }
  // Into the second-level cache only: weights are read once, and fetched into the first
  // level they pushed out the lines being summed (on Zen 4 one thread decoded a token 1.7
  // times slower so). As an asm statement: GCC 12 judged a function holding only the
  // prefetch builtin free of effects and dropped every call to it.
  static KX_INLINE void prefetch(const uint8_t* p) { __asm__ volatile("prefetcht2 (%0)" : : "r"(p)); }
  static void store(float* p, F v) { _mm512_storeu_ps(p, v); }

  // 16 bytes of 16 rows: out[j] holds word j of every row.
  static KX_INLINE void load_d4(const uint8_t* p, std::size_t s, I* out) {
    Quad q = transpose4_in_lanes(lanes4(p, s, 0), lanes4(p, s, 1), lanes4(p, s, 2), lanes4(p, s, 3));
    out[0] = q.a;
    out[1] = q.b;
    out[2] = q.c;
    out[3] = q.d;
  }

  // 32 bytes of 16 rows: out[0..8).
  static KX_INLINE void load_d8(const uint8_t* p, std::size_t s, I* out) {
    Quad sl = transpose4_in_lanes(halves2(p, s, 0), halves2(p, s, 1), halves2(p, s, 2), halves2(p, s, 3));
    Quad ul = transpose4_in_lanes(halves2(p, s, 4), halves2(p, s, 5), halves2(p, s, 6), halves2(p, s, 7));
    // sl holds rows 0-3 | 8-11, ul rows 4-7 | 12-15, each as (words j, words j + 4).
    const I lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const I hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    out[0] = _mm512_permutex2var_epi64(sl.a, lo, ul.a);
    out[1] = _mm512_permutex2var_epi64(sl.b, lo, ul.b);
    out[2] = _mm512_permutex2var_epi64(sl.c, lo, ul.c);
    out[3] = _mm512_permutex2var_epi64(sl.d, lo, ul.d);
    out[4] = _mm512_permutex2var_epi64(sl.a, hi, ul.a);
    out[5] = _mm512_permutex2var_epi64(sl.b, hi, ul.b);
    out[6] = _mm512_permutex2var_epi64(sl.c, hi, ul.c);
    out[7] = _mm512_permutex2var_epi64(sl.d, hi, ul.d);
  }

  // 64 bytes of 16 rows: out[0..16).
  static KX_INLINE void load_d16(const uint8_t* p, std::size_t s, I* out) {
    auto row = [&](int r) { return _mm512_loadu_si512(p + r * s); };
    Quad g0 = transpose4_in_lanes(row(0), row(1), row(2), row(3));
    Quad g1 = transpose4_in_lanes(row(4), row(5), row(6), row(7));
    Quad g2 = transpose4_in_lanes(row(8), row(9), row(10), row(11));
    Quad g3 = transpose4_in_lanes(row(12), row(13), row(14), row(15));
    // gq.x holds words 4c + x of rows 4q .. 4q+3 in lane c
    Quad o0 = transpose_lanes(g0.a, g1.a, g2.a, g3.a);
    Quad o1 = transpose_lanes(g0.b, g1.b, g2.b, g3.b);
    Quad o2 = transpose_lanes(g0.c, g1.c, g2.c, g3.c);
    Quad o3 = transpose_lanes(g0.d, g1.d, g2.d, g3.d);
    out[0] = o0.a;
    out[1] = o1.a;
    out[2] = o2.a;
    out[3] = o3.a;
    out[4] = o0.b;
    out[5] = o1.b;
    out[6] = o2.b;
    out[7] = o3.b;
    out[8] = o0.c;
    out[9] = o1.c;
    out[10] = o2.c;
    out[11] = o3.c;
    out[12] = o0.d;
    out[13] = o1.d;
    out[14] = o2.d;
    out[15] = o3.d;
  }
  static KX_INLINE void load_dL(const uint8_t* p, std::size_t s, I* out) { load_d16(p, s, out); }

  // The top nibble of every word, as nibble * 2^kTopNibbleExp: masked in place and converted
  // unsigned, as its bit 31 would convert with a sign.
  static constexpr int kTopNibbleExp = 28;
  static F top_nibble_f(I v) { return _mm512_cvtepu32_ps(and_(v, static_cast<int>(0xF0000000u))); }
  // The bits of a where mask has ones, the bits of b elsewhere.
  static I select(int mask, I a, I b) {
    // b's register takes the result: every caller passes a value it has no further use for
    return _mm512_ternarylogic_epi32(b, a, _mm512_set1_epi32(mask), 0xD8);
  }
  // The 16-byte table t in every 128-bit lane, and each byte of idx (bit 7 clear) replaced by
  // the table's byte at its low 4 bits.
  static I table_bytes(const uint8_t* t) { return _mm512_broadcast_i32x4(load128(t)); }
  static I lookup_bytes(I table, I idx) { return _mm512_shuffle_epi8(table, idx); }
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
const MatvecKernels& matvec_kernels_avx512() { return kKernels; }
}  // namespace korvex
