#pragma once
// The attention's kernels: scores, softmax and weighted value sums over the key/value cache
// of one layer, for the query heads that share one key/value head. One table per
// instruction set (attention_avx512.cpp, attention_avx2.cpp from attention_kernels.inl, and
// the plain loops of attention_plain.cpp, whose order of operations fixes the results).
//
// Every number is computed by the same f32 operations in the same order on every table, so
// the tables agree bit for bit: a score is q[0] * key[0] + -0.0, then q[j] * key[j] + acc
// for j in order, then acc * scale; a softmax takes e[t] = expf(s[t] - mx), sums
// z = e[t] + z from -0.0 in row order, adds expf(sink - mx) last when sink > -inf, and
// divides e[t] / z; a weighted sum adds out = p[t] * value[d] + out in row order. Where two
// NaNs meet, the left operand as written here gives its NaN (common/nan_order.hpp), on
// every table. Vector lanes run over cache rows (decoding: one query position, the rows
// side by side) or over query positions (the batched prompt), never inside one sum.
#include <cstddef>

namespace korvex {

// Scores of `heads` query heads against cache rows [row_begin, row_end), one lane per row:
// the keys of a block of rows are transposed once and serve several heads.
struct RowScores {
  const float* q;  // query head k at q + k * q_stride
  std::size_t q_stride, heads;
  const float* keys;  // key of row t at keys + t * key_stride
  std::size_t key_stride, head_dim;
  std::size_t row_begin, row_end;
  float scale;
  float* scores;  // score of head k, row t at scores[k * score_stride + t]
  std::size_t score_stride;
  float* max;   // max[k]: the NaN-ignoring max of head k's scores here (-inf when all NaN)
  float* work;  // row_scores_work(...) floats of scratch
};

// Scores with one lane per query position: `heads` vectors of queries, each the transposed
// queries of one head at `lanes` consecutive positions, against cache rows 0 .. rows - 1.
struct LaneScores {
  const float* qt;  // element j of head k's query at lane l: qt[k * qt_stride + j * lanes + l]
  std::size_t qt_stride, heads;
  const float* keys;  // key of row t at keys + t * key_stride
  std::size_t key_stride, head_dim;
  std::size_t rows;
  float scale;
  float* scores;  // score of head k, row t, lane l at scores[k * score_stride + t * lanes + l]
  std::size_t score_stride;
};

// out[d] = p[t] * value_t[d] + out[d] for t in order, d in [d_begin, d_end), for `sums`
// weight rows that share the value rows, at each of `positions` consecutive positions, the
// position i over rows t < rows + i. The weight of row t for sum k of position i is at
// p[k * p_stride + (t / lanes) * p_block + i * lanes + t % lanes]: p_block = lanes for one
// position's weights in row order, lanes * lanes for the blocks lane_softmax leaves (lanes
// of a block being positions, so positions <= lanes). Its out is at
// out + i * out_position + k * out_stride.
struct WeightedSums {
  const float* p;
  std::size_t p_stride, p_block, sums, positions;
  const float* values;  // value row t at values + t * value_stride
  std::size_t value_stride;
  std::size_t d_begin, d_end, rows;
  float* out;
  std::size_t out_stride, out_position;
};

using RowScoresFn = void (*)(const RowScores& a);
using LaneScoresFn = void (*)(const LaneScores& a);
using WeightedSumsFn = void (*)(const WeightedSums& a);
// In place over s[k * stride + t], t < n, for k < heads: the softmax of head k's scores whose
// max, NaN-ignoring and taken with the sink, is mx[k], with sink[k].
using SoftmaxFn = void (*)(float* s, std::size_t stride, std::size_t heads, std::size_t n, const float* mx,
                           const float* sink);
// In place over lane_scores' layout of one head (s[t * lanes + l]), lane l covering rows
// t < full + l, for lanes l < count (count >= 1): every lane's softmax with the sink. Each
// block of `lanes` rows is then transposed in place, so that the weight of row t for lane l
// is at s[(t / lanes) * lanes * lanes + l * lanes + t % lanes]; s holds whole blocks up to
// row full + count - 2.
using LaneSoftmaxFn = void (*)(float* s, std::size_t full, std::size_t count, float sink);

struct AttentionKernels {
  std::size_t lanes;
  RowScoresFn row_scores;
  LaneScoresFn lane_scores;
  SoftmaxFn softmax;
  LaneSoftmaxFn lane_softmax;
  WeightedSumsFn weighted_sums;
};

// Scratch floats row_scores needs: a running max vector per head, and the queries of the
// heads it scores together (at most 8) interleaved element by element.
inline std::size_t row_scores_work(const AttentionKernels& k, std::size_t heads, std::size_t head_dim) {
  return heads * k.lanes + 8 * head_dim;
}

const AttentionKernels& attention_kernels_plain();
const AttentionKernels& attention_kernels_avx2();
const AttentionKernels& attention_kernels_avx512();
// The table of the active instruction-set level.
const AttentionKernels& attention_kernels();

}  // namespace korvex
