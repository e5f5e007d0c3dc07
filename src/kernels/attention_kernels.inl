// The attention kernels over an instruction-set struct `S` (S::L lanes of f32), included
// inside an anonymous namespace by attention_avx512.cpp and attention_avx2.cpp after their
// target pragma and expf_<isa>.hpp, so that expf_lanes is in scope. Each lane runs the
// plain loops' operations (attention_plain.cpp) in their order; multiplies and adds go
// through S::mul and S::add, which keep the left operand's NaN.
//
// S provides: F and the lane mask M; zero, set1, bcast, loadu, storeu, load_first and
// store_first (the first n lanes; the others read as zero and are not written), lanes_from(k)
// (the mask of lanes k and up), select(m, a, b) (a where m is set), mul, add, sub, div, max
// (a > b ? a : b), hmax (the largest lane of a vector without NaNs), add_one (the scalar
// pinned add), transpose (an L x L block in registers: r[i] lane j becomes r[j] lane i), and
// the tile sizes named below.

using F = S::F;
constexpr std::size_t L = S::L;
constexpr float kNegInf = -__builtin_inff();

inline unsigned lanes_left(std::size_t n) { return n < L ? static_cast<unsigned>(n) : static_cast<unsigned>(L); }
inline std::size_t round_to_lanes(std::size_t n) { return (n + L - 1) / L * L; }

// ---- Scores, one lane per cache row --------------------------------------------------------

// The products of one transposed chunk of keys (r[c]: element j0 + c of every row of the
// block) with Q heads' elements j0 .. j0 + w - 1, added to each head's sums in element order.
// qi holds the heads' queries interleaved: element j of head i at qi[j * Q + i].
template <int Q, bool Whole>
[[gnu::always_inline]] inline void add_chunk(F (&acc)[Q], const float* qi, const F (&r)[L], unsigned w) {
#pragma GCC unroll 16
  for (std::size_t c = 0; c < L; ++c) {
    if (!Whole && c >= w) break;
#pragma GCC unroll 8
    for (int i = 0; i < Q; ++i) acc[i] = S::add(S::mul(S::bcast(qi + c * Q + i), r[c]), acc[i]);
  }
}

// Decoding reads a few cache lines of each key row, rows a whole row apart, too sparse for
// the hardware prefetchers to keep ahead; prefetches run this many rows ahead of the loads.
constexpr std::size_t kKeysAhead = 32;

// Q heads over the block of L rows from t0, n of them real (n <= L): the keys are loaded and
// transposed in registers a chunk of L elements at a time, and every chunk serves all Q heads
// before the next is loaded. Scores of head i go to out + i * a.score_stride; running max
// vectors per head in vmax.
template <int Q>
inline void row_score_block(const RowScores& a, const float* qi, float* out, std::size_t t0, unsigned n,
                            float* vmax) {
  const float* keys = a.keys + t0 * a.key_stride;
  F acc[Q];
#pragma GCC unroll 8
  for (int i = 0; i < Q; ++i) acc[i] = S::set1(-0.0f);
  std::size_t j0 = 0;
  if (n == L) {
    const float* ahead = keys + kKeysAhead * a.key_stride;
    for (; j0 + L <= a.head_dim; j0 += L) {
      F r[L];
#pragma GCC unroll 16
      for (std::size_t i = 0; i < L; ++i) {
        r[i] = S::loadu(keys + i * a.key_stride + j0);
        S::prefetch(ahead + i * a.key_stride + j0);
      }
      S::transpose(r);
      add_chunk<Q, true>(acc, qi + j0 * Q, r, L);
    }
  }
  for (; j0 < a.head_dim; j0 += L) {
    // Rows past n and elements past the head read as zero; they reach no stored lane.
    const unsigned w = lanes_left(a.head_dim - j0);
    F r[L];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < L; ++i) r[i] = i < n ? S::load_first(keys + i * a.key_stride + j0, w) : S::zero();
    S::transpose(r);
    add_chunk<Q, false>(acc, qi + j0 * Q, r, w);
  }
  const F scale = S::set1(a.scale);
#pragma GCC unroll 8
  for (int i = 0; i < Q; ++i) {
    F s = S::mul(acc[i], scale), m = S::loadu(vmax + i * L);
    if (n == L) {
      S::storeu(out + i * a.score_stride + t0, s);
      m = S::max(s, m);
    } else {
      S::store_first(out + i * a.score_stride + t0, s, n);
      m = S::max(S::select(S::lanes_from(n), S::set1(kNegInf), s), m);
    }
    S::storeu(vmax + i * L, m);
  }
}

template <int Q>
inline void row_score_rows(const RowScores& a, std::size_t k0, float* qi, float* vmax) {
  for (std::size_t j = 0; j < a.head_dim; ++j)
#pragma GCC unroll 8
    for (int i = 0; i < Q; ++i) qi[j * Q + i] = a.q[(k0 + i) * a.q_stride + j];
  float* out = a.scores + k0 * a.score_stride;
  for (std::size_t t = a.row_begin; t < a.row_end; t += L)
    row_score_block<Q>(a, qi, out, t, lanes_left(a.row_end - t), vmax + k0 * L);
}

void row_scores(const RowScores& a) {
  float* vmax = a.work;
  float* qi = a.work + a.heads * L;
  for (std::size_t k = 0; k < a.heads; ++k) S::storeu(vmax + k * L, S::set1(kNegInf));
  // Heads in tiles of at most kRowHeads, as even as they come (7 heads as 4 and 3 where 6
  // fit); every tile reads the rows' keys again, from the nearest cache after the first.
  const std::size_t tiles = (a.heads + S::kRowHeads - 1) / S::kRowHeads;
  for (std::size_t i = 0, k0 = 0; i < tiles; ++i) {
    const std::size_t q = (a.heads - k0) / (tiles - i) + ((a.heads - k0) % (tiles - i) != 0);
    switch (q) {
      case 1: row_score_rows<1>(a, k0, qi, vmax); break;
      case 2: row_score_rows<2>(a, k0, qi, vmax); break;
      case 3: row_score_rows<3>(a, k0, qi, vmax); break;
      case 4: row_score_rows<4>(a, k0, qi, vmax); break;
      case 5: row_score_rows<5>(a, k0, qi, vmax); break;
      case 6: row_score_rows<6>(a, k0, qi, vmax); break;
      case 7: if constexpr (S::kRowHeads >= 7) row_score_rows<7>(a, k0, qi, vmax); break;
      case 8: if constexpr (S::kRowHeads >= 8) row_score_rows<8>(a, k0, qi, vmax); break;
    }
    k0 += q;
  }
  for (std::size_t k = 0; k < a.heads; ++k) a.max[k] = S::hmax(S::loadu(vmax + k * L));
}

// ---- Scores, one lane per query position ---------------------------------------------------

// Q query vectors (heads from k0) against R rows from t0.
template <int Q, int R>
inline void lane_score_tile(const LaneScores& a, std::size_t k0, std::size_t t0) {
  const float* qt = a.qt + k0 * a.qt_stride;
  const float* key = a.keys + t0 * a.key_stride;
  F acc[Q][R];
#pragma GCC unroll 8
  for (int i = 0; i < Q; ++i)
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) acc[i][r] = S::set1(-0.0f);
  for (std::size_t j = 0; j < a.head_dim; ++j) {
    F q[Q];
#pragma GCC unroll 8
    for (int i = 0; i < Q; ++i) q[i] = S::loadu(qt + i * a.qt_stride + j * L);
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      F k = S::bcast(key + r * a.key_stride + j);
#pragma GCC unroll 8
      for (int i = 0; i < Q; ++i) acc[i][r] = S::add(S::mul(q[i], k), acc[i][r]);
    }
  }
  const F scale = S::set1(a.scale);
#pragma GCC unroll 8
  for (int i = 0; i < Q; ++i)
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r)
      S::storeu(a.scores + (k0 + i) * a.score_stride + (t0 + r) * L, S::mul(acc[i][r], scale));
}

template <int Q>
inline void lane_score_rows(const LaneScores& a, std::size_t k0, std::size_t t0, std::size_t t1) {
  constexpr int R = S::lane_rows(Q);
  std::size_t t = t0;
  for (; t + R <= t1; t += R) lane_score_tile<Q, R>(a, k0, t);
  for (; t < t1; ++t) lane_score_tile<Q, 1>(a, k0, t);
}

// Rows a stretch at a time, every tile of heads over the stretch before the next: the
// stretch's keys are read from memory once and stay in the nearest cache for the other
// tiles.
constexpr std::size_t kKeyStretch = 64;

void lane_scores(const LaneScores& a) {
  const std::size_t tiles = (a.heads + S::kLaneHeads - 1) / S::kLaneHeads;
  for (std::size_t t0 = 0; t0 < a.rows; t0 += kKeyStretch) {
    const std::size_t t1 = a.rows - t0 < kKeyStretch ? a.rows : t0 + kKeyStretch;
    for (std::size_t i = 0, k0 = 0; i < tiles; ++i) {
      const std::size_t q = (a.heads - k0) / (tiles - i) + ((a.heads - k0) % (tiles - i) != 0);
      switch (q) {
        case 1: lane_score_rows<1>(a, k0, t0, t1); break;
        case 2: lane_score_rows<2>(a, k0, t0, t1); break;
        case 3: if constexpr (S::kLaneHeads >= 3) lane_score_rows<3>(a, k0, t0, t1); break;
        case 4: if constexpr (S::kLaneHeads >= 4) lane_score_rows<4>(a, k0, t0, t1); break;
      }
      k0 += q;
    }
  }
}

// ---- Softmax -----------------------------------------------------------------------------

// H heads side by side: their sums of e[t] are H chains of dependent additions, each as
// long as the rows, and interleaved they take the time of one.
template <int H>
void softmax_heads(float* s, std::size_t stride, std::size_t n, const float* mx, const float* sink) {
  F m[H];
  float z[H];
#pragma GCC unroll 4
  for (int h = 0; h < H; ++h) m[h] = S::set1(mx[h]), z[h] = -0.0f;
  std::size_t t = 0;
  for (; t + L <= n; t += L) {
#pragma GCC unroll 4
    for (int h = 0; h < H; ++h) S::storeu(s + h * stride + t, expf_lanes(S::sub(S::loadu(s + h * stride + t), m[h])));
#pragma GCC unroll 16
    for (std::size_t i = 0; i < L; ++i)
#pragma GCC unroll 4
      for (int h = 0; h < H; ++h) z[h] = S::add_one(s[h * stride + t + i], z[h]);
  }
  if (const unsigned w = static_cast<unsigned>(n - t); w != 0) {
#pragma GCC unroll 4
    for (int h = 0; h < H; ++h) {
      float* e = s + h * stride + t;
      S::store_first(e, expf_lanes(S::sub(S::load_first(e, w), m[h])), w);
    }
    for (unsigned i = 0; i < w; ++i)
#pragma GCC unroll 4
      for (int h = 0; h < H; ++h) z[h] = S::add_one(s[h * stride + t + i], z[h]);
  }
#pragma GCC unroll 4
  for (int h = 0; h < H; ++h) {
    if (sink[h] > kNegInf) z[h] = S::add_one(z[h], __builtin_expf(sink[h] - mx[h]));
    const F zv = S::set1(z[h]);
    float* p = s + h * stride;
    for (t = 0; t + L <= n; t += L) S::storeu(p + t, S::div(S::loadu(p + t), zv));
    if (const unsigned w = static_cast<unsigned>(n - t); w != 0) S::store_first(p + t, S::div(S::load_first(p + t, w), zv), w);
  }
}

void softmax(float* s, std::size_t stride, std::size_t heads, std::size_t n, const float* mx, const float* sink) {
  for (std::size_t h = 0; h < heads;) {
    switch (heads - h) {
      case 1: softmax_heads<1>(s + h * stride, stride, n, mx + h, sink + h); h += 1; break;
      case 2: softmax_heads<2>(s + h * stride, stride, n, mx + h, sink + h); h += 2; break;
      case 3: softmax_heads<3>(s + h * stride, stride, n, mx + h, sink + h); h += 3; break;
      default: softmax_heads<4>(s + h * stride, stride, n, mx + h, sink + h); h += 4; break;
    }
  }
}

void lane_softmax(float* s, std::size_t full, std::size_t count, float sink) {
  const std::size_t rows = full + count - 1;  // lane count - 1 reaches row rows - 1
  F m = S::set1(kNegInf);
  for (std::size_t t = 0; t < full; ++t) m = S::max(S::loadu(s + t * L), m);
  for (std::size_t t = full; t < rows; ++t)
    m = S::max(S::select(S::lanes_from(static_cast<unsigned>(t - full + 1)), S::loadu(s + t * L), S::set1(kNegInf)), m);
  // The NaN-ignoring max with the sink: m holds no NaN, and a NaN sink leaves it.
  const F mx = sink != sink ? m : S::max(m, S::set1(sink));

  F z = S::set1(-0.0f);
  for (std::size_t t = 0; t < full; ++t) {
    F e = expf_lanes(S::sub(S::loadu(s + t * L), mx));
    S::storeu(s + t * L, e);
    z = S::add(e, z);
  }
  for (std::size_t t = full; t < rows; ++t) {
    F e = expf_lanes(S::sub(S::loadu(s + t * L), mx));
    S::storeu(s + t * L, e);
    z = S::select(S::lanes_from(static_cast<unsigned>(t - full + 1)), S::add(e, z), z);
  }
  if (sink > kNegInf) z = S::add(z, expf_lanes(S::sub(S::set1(sink), mx)));

  // Divided and transposed a block at a time; rows past the end of the block's last lane
  // hold whatever was there, divided.
  for (std::size_t t0 = 0; t0 < rows; t0 += L) {
    F r[L];
    float* blk = s + t0 * L;
#pragma GCC unroll 16
    for (std::size_t i = 0; i < L; ++i) r[i] = S::div(S::loadu(blk + i * L), z);
    S::transpose(r);
#pragma GCC unroll 16
    for (std::size_t i = 0; i < L; ++i) S::storeu(blk + i * L, r[i]);
  }
}

// ---- Weighted sums of value rows -------------------------------------------------------

// Decoding reads one cache line of each value row, rows a whole row apart: too sparse for
// the hardware prefetchers to keep ahead, so prefetches run this many rows ahead.
constexpr std::size_t kValuesAhead = 64;

// P positions (from i0) times Q sums (from k0) over B vectors of elements from d, for rows
// [r0, r1); with Partial the one vector holds only its first w elements. Every value row
// loaded serves all P * Q sums.
template <int P, int Q, int B, bool Partial>
inline void weighted_tile(const WeightedSums& a, std::size_t i0, std::size_t k0, std::size_t d, unsigned w,
                          std::size_t r0, std::size_t r1) {
  F acc[P][Q][B];
  float* out[P][Q];
  const float* p[Q];
#pragma GCC unroll 8
  for (int k = 0; k < Q; ++k) p[k] = a.p + (k0 + k) * a.p_stride + i0 * L;
#pragma GCC unroll 4
  for (int i = 0; i < P; ++i)
#pragma GCC unroll 8
    for (int k = 0; k < Q; ++k) {
      out[i][k] = a.out + (i0 + i) * a.out_position + (k0 + k) * a.out_stride + d;
#pragma GCC unroll 4
      for (int b = 0; b < B; ++b) acc[i][k][b] = Partial ? S::load_first(out[i][k], w) : S::loadu(out[i][k] + b * L);
    }
  const float* value = a.values + r0 * a.value_stride + d;
  const std::size_t ahead = kValuesAhead * a.value_stride;
  for (std::size_t t = r0; t < r1;) {
    // Rows t .. end share one block of weights.
    const std::size_t end = (t / L + 1) * L < r1 ? (t / L + 1) * L : r1;
    const std::size_t at = (t / L) * a.p_block;
    for (; t < end; ++t, value += a.value_stride) {
      S::prefetch(value + ahead);
      if (B * L > 16) S::prefetch(value + ahead + 16);
      F v[B];
#pragma GCC unroll 4
      for (int b = 0; b < B; ++b) v[b] = Partial ? S::load_first(value, w) : S::loadu(value + b * L);
#pragma GCC unroll 8
      for (int k = 0; k < Q; ++k)
#pragma GCC unroll 4
        for (int i = 0; i < P; ++i) {
          F x = S::bcast(p[k] + at + i * L + t % L);
#pragma GCC unroll 4
          for (int b = 0; b < B; ++b) acc[i][k][b] = S::add(S::mul(x, v[b]), acc[i][k][b]);
        }
    }
  }
#pragma GCC unroll 4
  for (int i = 0; i < P; ++i)
#pragma GCC unroll 8
    for (int k = 0; k < Q; ++k)
#pragma GCC unroll 4
      for (int b = 0; b < B; ++b) {
        if (Partial) S::store_first(out[i][k], acc[i][k][b], w);
        else S::storeu(out[i][k] + b * L, acc[i][k][b]);
      }
}

// P positions from i0, sums in tiles of at most H as even as they come, over B vectors of
// elements from d, for rows [r0, r1).
template <int P, int H, int B, bool Partial>
inline void weighted_sums_at(const WeightedSums& a, std::size_t i0, std::size_t d, unsigned w, std::size_t r0,
                             std::size_t r1) {
  const std::size_t tiles = (a.sums + H - 1) / H;
  for (std::size_t i = 0, k0 = 0; i < tiles; ++i) {
    const std::size_t q = (a.sums - k0) / (tiles - i) + ((a.sums - k0) % (tiles - i) != 0);
    switch (q) {
      case 1: weighted_tile<P, 1, B, Partial>(a, i0, k0, d, w, r0, r1); break;
      case 2: weighted_tile<P, 2, B, Partial>(a, i0, k0, d, w, r0, r1); break;
      case 3: if constexpr (H >= 3) weighted_tile<P, 3, B, Partial>(a, i0, k0, d, w, r0, r1); break;
      case 4: if constexpr (H >= 4) weighted_tile<P, 4, B, Partial>(a, i0, k0, d, w, r0, r1); break;
      case 5: if constexpr (H >= 5) weighted_tile<P, 5, B, Partial>(a, i0, k0, d, w, r0, r1); break;
      case 6: if constexpr (H >= 6) weighted_tile<P, 6, B, Partial>(a, i0, k0, d, w, r0, r1); break;
      case 7: if constexpr (H >= 7) weighted_tile<P, 7, B, Partial>(a, i0, k0, d, w, r0, r1); break;
      case 8: if constexpr (H >= 8) weighted_tile<P, 8, B, Partial>(a, i0, k0, d, w, r0, r1); break;
    }
    k0 += q;
  }
}

// Every element range of P positions from i0 over rows [r0, r1).
template <int P, int H>
inline void weighted_sums_rows(const WeightedSums& a, std::size_t i0, std::size_t r0, std::size_t r1) {
  std::size_t d = a.d_begin;
  for (; d + S::kSumBlocks * L <= a.d_end; d += S::kSumBlocks * L)
    weighted_sums_at<P, H, S::kSumBlocks, false>(a, i0, d, L, r0, r1);
  for (; d + L <= a.d_end; d += L) weighted_sums_at<P, H, 1, false>(a, i0, d, L, r0, r1);
  if (d < a.d_end) weighted_sums_at<P, H, 1, true>(a, i0, d, static_cast<unsigned>(a.d_end - d), r0, r1);
}

// Rows per stretch of the value sums: every position and element range goes over a stretch
// before the next, so that its value rows (32 KB of a 64-element head) stay in the nearest
// cache.
constexpr std::size_t kValueStretch = 128;

// The rows every position has, a stretch at a time, positions in pairs where there are
// several (each value row serves both); then each position's rows past those, one more per
// position. Every sum still adds its rows in order.
void weighted_sums(const WeightedSums& a) {
  for (std::size_t r0 = 0; r0 < a.rows; r0 += kValueStretch) {
    const std::size_t r1 = a.rows - r0 < kValueStretch ? a.rows : r0 + kValueStretch;
    std::size_t i = 0;
    for (; i + 2 <= a.positions; i += 2) weighted_sums_rows<2, S::kPairSums>(a, i, r0, r1);
    if (i < a.positions) weighted_sums_rows<1, S::kSumHeads>(a, i, r0, r1);
  }
  for (std::size_t i = 1; i < a.positions; ++i) weighted_sums_rows<1, S::kSumHeads>(a, i, a.rows, a.rows + i);
}

constexpr AttentionKernels kAttentionKernels = {L, row_scores, lane_scores,
                                                softmax, lane_softmax, weighted_sums};
