#pragma once
// Vector kernels of the batched attention. Scores run one SIMD lane per query position
// (the queries of a block of positions transposed, each key broadcast); the weighted sum of
// the value rows runs across the head's elements. Every lane and element keeps the
// one-position order: the dot product from -0.0 in element order, q * key + acc, then
// times the score scale; the value sum p * value + out in position order. Built per
// instruction set (prefill_attention_avx512.cpp, prefill_attention_avx2.cpp) from
// prefill_attention.inl.
#include <cstddef>

namespace korvex {

struct ScoreBlock {
  const float* qt;     // query element j of lane l at qt[j * lanes + l]
  const float* keys;   // key of cache row t at keys + t * kv_dim (already at its head)
  std::size_t kv_dim;
  std::size_t head_dim;
  std::size_t rows;    // cache rows 0 .. rows - 1
  float scale;
  float* scores;       // score of row t for lane l at scores[t * lanes + l]
};

using ScoresFn = void (*)(const ScoreBlock& block);
// out[d] = p[t * p_stride] * values[t * kv_dim + d] + out[d] for t < rows, d < head_dim.
using WeightedSumFn = void (*)(const float* p, std::size_t p_stride, const float* values, std::size_t kv_dim,
                               std::size_t head_dim, std::size_t rows, float* out);

struct AttentionKernels {
  std::size_t lanes;
  ScoresFn scores;
  WeightedSumFn weighted_sum;
};

const AttentionKernels& attention_kernels_avx512();
const AttentionKernels& attention_kernels_avx2();
// The kernels for this CPU, or null where it has neither instruction set.
const AttentionKernels* attention_kernels();

}  // namespace korvex
