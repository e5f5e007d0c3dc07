// The batched attention kernels over an instruction-set struct `S` (S::L lanes of f32),
// included inside an anonymous namespace by prefill_attention_avx512.cpp and
// prefill_attention_avx2.cpp, each compiled for its own target. No fused operations.

using F = S::F;
constexpr int L = S::L;

// Scores of kRowsAtOnce cache rows at a time, so that as many independent sums are in
// flight; each row's sum is still one chain over the elements in order.
constexpr int kRowsAtOnce = 8;

template <int N>
inline void score_rows(const ScoreBlock& b, std::size_t t0) {
  F acc[N];
#pragma GCC unroll 8
  for (int i = 0; i < N; ++i) acc[i] = S::set1(-0.0f);
  const float* key = b.keys + t0 * b.kv_dim;
  for (std::size_t j = 0; j < b.head_dim; ++j) {
    F q = S::load(b.qt + j * L);
#pragma GCC unroll 8
    for (int i = 0; i < N; ++i) acc[i] = S::add(S::mul(q, S::bcast(key + i * b.kv_dim + j)), acc[i]);
  }
  F scale = S::set1(b.scale);
#pragma GCC unroll 8
  for (int i = 0; i < N; ++i) S::store(b.scores + (t0 + i) * L, S::mul(acc[i], scale));
}

void scores(const ScoreBlock& b) {
  std::size_t t = 0;
  for (; t + kRowsAtOnce <= b.rows; t += kRowsAtOnce) score_rows<kRowsAtOnce>(b, t);
  for (; t < b.rows; ++t) score_rows<1>(b, t);
}

void weighted_sum(const float* p, std::size_t p_stride, const float* values, std::size_t kv_dim,
                  std::size_t head_dim, std::size_t rows, float* out) {
  std::size_t d = 0;
  // Four vectors of the head at a time: four independent chains over the rows.
  for (; d + 4 * L <= head_dim; d += 4 * L) {
    F acc[4];
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) acc[i] = S::loadu(out + d + i * L);
    for (std::size_t t = 0; t < rows; ++t) {
      F pt = S::bcast(p + t * p_stride);
      const float* v = values + t * kv_dim + d;
#pragma GCC unroll 4
      for (int i = 0; i < 4; ++i) acc[i] = S::add(S::mul(pt, S::loadu(v + i * L)), acc[i]);
    }
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) S::storeu(out + d + i * L, acc[i]);
  }
  for (; d + L <= head_dim; d += L) {
    F acc = S::loadu(out + d);
    for (std::size_t t = 0; t < rows; ++t)
      acc = S::add(S::mul(S::bcast(p + t * p_stride), S::loadu(values + t * kv_dim + d)), acc);
    S::storeu(out + d, acc);
  }
  for (; d < head_dim; ++d) {
    float acc = out[d];
    for (std::size_t t = 0; t < rows; ++t) acc = p[t * p_stride] * values[t * kv_dim + d] + acc;
    out[d] = acc;
  }
}

constexpr AttentionKernels kAttentionKernels = {static_cast<std::size_t>(L), scores, weighted_sum};
