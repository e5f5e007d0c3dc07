// The attention kernels as plain loops, one lane: the order of operations every vector table
// reproduces. Also the choice of table for the active instruction-set level.
#include <cmath>
#include <limits>

#include "common/nan_order.hpp"
#include "kernels/attention_kernels.hpp"
#include "kernels/kernel_tables.hpp"

namespace korvex {
namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

// The larger of m and s, a NaN s ignored; m is never NaN.
float max_of(float m, float s) { return s > m ? s : m; }

float score(const float* q, const float* key, std::size_t head_dim, float scale) {
  float dot = -0.0f;
  for (std::size_t j = 0; j < head_dim; ++j) dot = add_nan_first(mul_nan_first(q[j], key[j]), dot);
  return mul_nan_first(dot, scale);
}

void row_scores(const RowScores& a) {
  for (std::size_t k = 0; k < a.heads; ++k) {
    const float* q = a.q + k * a.q_stride;
    float* out = a.scores + k * a.score_stride;
    float m = kNegInf;
    for (std::size_t t = a.row_begin; t < a.row_end; ++t) {
      out[t] = score(q, a.keys + t * a.key_stride, a.head_dim, a.scale);
      m = max_of(m, out[t]);
    }
    a.max[k] = m;
  }
}

// One lane: qt and scores are plain rows.
void lane_scores(const LaneScores& a) {
  for (std::size_t k = 0; k < a.heads; ++k)
    for (std::size_t t = 0; t < a.rows; ++t)
      a.scores[k * a.score_stride + t] = score(a.qt + k * a.qt_stride, a.keys + t * a.key_stride, a.head_dim, a.scale);
}

void softmax_one(float* s, std::size_t n, float mx, float sink) {
  float z = -0.0f;
  for (std::size_t t = 0; t < n; ++t) {
    s[t] = expf(s[t] - mx);
    z = add_nan_first(s[t], z);
  }
  if (sink > kNegInf) z = add_nan_first(z, expf(sink - mx));
  for (std::size_t t = 0; t < n; ++t) s[t] = s[t] / z;
}

void softmax(float* s, std::size_t stride, std::size_t heads, std::size_t n, const float* mx, const float* sink) {
  for (std::size_t k = 0; k < heads; ++k) softmax_one(s + k * stride, n, mx[k], sink[k]);
}

// One lane: count is 1 and the layout needs no transposing.
void lane_softmax(float* s, std::size_t full, std::size_t, float sink) {
  float m = kNegInf;
  for (std::size_t t = 0; t < full; ++t) m = max_of(m, s[t]);
  softmax_one(s, full, std::isnan(sink) ? m : max_of(m, sink), sink);
}

void weighted_sums(const WeightedSums& a) {
  // One lane: position i's weights start i floats on.
  for (std::size_t i = 0; i < a.positions; ++i)
    for (std::size_t k = 0; k < a.sums; ++k) {
      const float* p = a.p + k * a.p_stride + i;
      float* out = a.out + i * a.out_position + k * a.out_stride;
      for (std::size_t t = 0; t < a.rows + i; ++t) {
        const float* value = a.values + t * a.value_stride;
        for (std::size_t d = a.d_begin; d < a.d_end; ++d)
          out[d] = add_nan_first(mul_nan_first(p[t * a.p_block], value[d]), out[d]);
      }
    }
}

constexpr AttentionKernels kPlain = {1, row_scores, lane_scores, softmax, lane_softmax, weighted_sums};

}  // namespace

const AttentionKernels& attention_kernels_plain() { return kPlain; }

const AttentionKernels& attention_kernels() { return *kernel_tables().attention; }

}  // namespace korvex
