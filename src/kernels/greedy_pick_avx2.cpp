// The greedy pick for AVX2: 8 logits per vector.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <climits>
#include <cstddef>
#include <cstdint>

#include "kernels/greedy_pick.hpp"

#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace korvex {
namespace {

struct S {
  static constexpr int L = 8;
  using I = __m256i;
  static I set1(int32_t v) { return _mm256_set1_epi32(v); }
  static I iota() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
  static I loadu(const float* p) { return _mm256_castps_si256(_mm256_loadu_ps(p)); }
  static I xor_(I a, I b) { return _mm256_xor_si256(a, b); }
  static I srai31(I a) { return _mm256_srai_epi32(a, 31); }
  static I srli1(I a) { return _mm256_srli_epi32(a, 1); }
  static I max(I a, I b) { return _mm256_max_epi32(a, b); }
  static I add(I a, I b) { return _mm256_add_epi32(a, b); }
  // `take` where best <= key, else `keep`.
  static I select_if_not_greater(I best, I key, I take, I keep) {
    return _mm256_blendv_epi8(take, keep, _mm256_cmpgt_epi32(best, key));
  }
  static void store(int32_t* p, I v) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), v); }
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
const GreedyPickKernel& greedy_pick_avx2() { return kGreedyPick; }
}  // namespace korvex
