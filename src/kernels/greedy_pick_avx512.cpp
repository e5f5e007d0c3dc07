// The greedy pick for AVX-512F: 16 logits per vector.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <climits>
#include <cstddef>
#include <cstdint>

#include "kernels/greedy_pick.hpp"

#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif

namespace korvex {
namespace {

struct S {
  static constexpr int L = 16;
  using I = __m512i;
  static I set1(int32_t v) { return _mm512_set1_epi32(v); }
  static I iota() { return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }
  static I loadu(const float* p) { return _mm512_castps_si512(_mm512_loadu_ps(p)); }
  static I xor_(I a, I b) { return _mm512_xor_si512(a, b); }
  static I srai31(I a) { return _mm512_srai_epi32(a, 31); }
  static I srli1(I a) { return _mm512_srli_epi32(a, 1); }
  static I max(I a, I b) { return _mm512_max_epi32(a, b); }
  static I add(I a, I b) { return _mm512_add_epi32(a, b); }
  // `take` where best <= key, else `keep`.
  static I select_if_not_greater(I best, I key, I take, I keep) {
    return _mm512_mask_blend_epi32(_mm512_cmple_epi32_mask(best, key), keep, take);
  }
  static void store(int32_t* p, I v) { _mm512_store_si512(p, v); }
};

#include "kernels/greedy_pick.inl"

}  // namespace
}  // namespace korvex

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace korvex {
const GreedyPickKernel& greedy_pick_avx512() { return kGreedyPick; }
}  // namespace korvex
