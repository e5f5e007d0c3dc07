// The batched product's kernels, written once over an instruction-set struct `S` that the
// including file defines: S::L lanes of f32; S::kRows rows per tile; S::kGroups input groups
// per pass for the one-multiply orders and S::kPairGroups for Q5_1 and IQ4_NL, whose passes
// hold two inputs (or a scale per row) more in registers; loads, broadcasts, arithmetic.
// Included inside an anonymous namespace, after `S`, by matmul_avx512.cpp and
// matmul_avx2.cpp, each compiled for its own target. No instruction here may be fused: the
// build keeps -ffp-contract=off and nothing calls an FMA.
//
// A pass keeps rows x groups accumulators in registers, one (row, lane) sum each, and per
// column loads each group's inputs once and broadcasts each row's weight once: the loads
// stay a fraction of the multiplies and adds, and there are enough independent sums to
// cover the add latency.

using F = S::F;
using I = S::I;
constexpr int L = S::L;
constexpr int R = S::kRows;
static_assert(R <= static_cast<int>(kMaxTileRows));

#define KX_INLINE inline __attribute__((always_inline))

// As an asm statement: GCC 12 may drop a prefetch builtin it takes for an effect-free call.
KX_INLINE void prefetch_line(const void* p) { __asm__ volatile("prefetcht1 (%0)" : : "r"(p)); }

// The next line of the tile's list, if any is left.
struct Prefetches {
  const void* const* next;
  std::size_t left;
  KX_INLINE void one() {
    if (left != 0) {
      prefetch_line(*next++);
      --left;
    }
  }
};

template <SumOrder O>
constexpr float start_value() {
  return O == SumOrder::PairedHalves || O == SumOrder::ScaledLevels ? 0.0f : -0.0f;
}

// Groups g0 .. g0 + G - 1 of a tile over its stretch of columns. The loops over rows and
// groups unroll fully so that the accumulators stay in registers.
template <SumOrder O, int G>
KX_INLINE void tile_pass(const MatmulTile& t, std::size_t g0, Prefetches& pf) {
  F acc[R][G];
  float* a = t.acc + g0 * R * L;
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g)
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) acc[r][g] = t.first ? S::set1(start_value<O>()) : S::load(a + (g * R + r) * L);
  const float* xg[G];
#pragma GCC unroll 16
  for (int g = 0; g < G; ++g) xg[g] = t.x + (g0 + g) * t.x_stride;
  const float* w[R];
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) w[r] = t.w[r];
  const std::size_t n = t.n;

  if constexpr (O == SumOrder::WeightFirst || O == SumOrder::InputFirst) {
#pragma GCC unroll 2
    for (std::size_t k = 0; k < n; ++k) {
      pf.one();
      F xv[G];
#pragma GCC unroll 16
      for (int g = 0; g < G; ++g) xv[g] = S::load(xg[g] + k * L);
#pragma GCC unroll 16
      for (int r = 0; r < R; ++r) {
        F wv = S::bcast(w[r] + k);
#pragma GCC unroll 16
        for (int g = 0; g < G; ++g)
          acc[r][g] = S::add(acc[r][g], O == SumOrder::WeightFirst ? S::mul(wv, xv[g]) : S::mul(xv[g], wv));
      }
    }
  } else if constexpr (O == SumOrder::PairedHalves) {
    for (std::size_t b = 0; b < n / 32; ++b)
      for (std::size_t j = 0; j < 16; ++j) {
        pf.one();
        std::size_t lo = 32 * b + j, hi = lo + 16;
        F xlo[G], xhi[G];
#pragma GCC unroll 16
        for (int g = 0; g < G; ++g) {
          xlo[g] = S::load(xg[g] + lo * L);
          xhi[g] = S::load(xg[g] + hi * L);
        }
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r) {
          F wlo = S::bcast(w[r] + lo), whi = S::bcast(w[r] + hi);
#pragma GCC unroll 16
          for (int g = 0; g < G; ++g) {
            F t_lo = S::mul(wlo, xlo[g]), t_hi = S::mul(whi, xhi[g]);
            acc[r][g] = S::add(acc[r][g], S::add(t_hi, t_lo));
          }
        }
      }
  } else {
    const float* sc[R];
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) sc[r] = t.scale[r];
    for (std::size_t b = 0; b < n / 32; ++b) {
      F d[R];
#pragma GCC unroll 16
      for (int r = 0; r < R; ++r) d[r] = S::bcast(sc[r] + b);
      for (std::size_t j = 0; j < 16; ++j) {
        pf.one();
        // Every sum takes element j before element j + 16; all sums take their element j
        // first, so that only one column of inputs is live at a time.
#pragma GCC unroll 2
        for (std::size_t e = 32 * b + j; e < 32 * b + 32; e += 16) {
          F xv[G];
#pragma GCC unroll 16
          for (int g = 0; g < G; ++g) xv[g] = S::load(xg[g] + e * L);
#pragma GCC unroll 16
          for (int r = 0; r < R; ++r) {
            F lv = S::bcast(w[r] + e);
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) acc[r][g] = S::add(acc[r][g], S::mul(S::mul(xv[g], d[r]), lv));
          }
        }
      }
    }
  }

#pragma GCC unroll 16
  for (int g = 0; g < G; ++g)
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) S::store(a + (g * R + r) * L, acc[r][g]);
}

template <SumOrder O>
void tile(const MatmulTile& t) {
  constexpr int G = O == SumOrder::WeightFirst || O == SumOrder::InputFirst ? S::kGroups : S::kPairGroups;
  Prefetches pf{t.prefetch, t.n_prefetch};
  std::size_t g = 0;
  for (; g + G <= t.groups; g += G) tile_pass<O, G>(t, g, pf);
  // The last groups of a batch that is not a whole number of passes.
  if constexpr (G > 1) {
    switch (t.groups - g) {
      case 1: tile_pass<O, 1>(t, g, pf); break;
      case 2: if constexpr (G > 2) tile_pass<O, 2>(t, g, pf); break;
      case 3: if constexpr (G > 3) tile_pass<O, 3>(t, g, pf); break;
      default: break;
    }
  }
  while (pf.left != 0) pf.one();  // more lines than column steps
}

static_assert(S::kGroups <= 4 && S::kPairGroups <= 4, "the tail switch covers at most 3 leftover groups");

// ---- input transposition ----

void transpose_group(const float* x, std::size_t x_cols, std::size_t n, std::size_t cols, float* out) {
  std::size_t k = 0;
  if (n == static_cast<std::size_t>(L)) {
    for (; k + L <= cols; k += L) {
      F v[L];
#pragma GCC unroll 16
      for (int i = 0; i < L; ++i) v[i] = S::loadu(x + i * x_cols + k);
      S::transpose(v);
#pragma GCC unroll 16
      for (int j = 0; j < L; ++j) S::store(out + (k + j) * L, v[j]);
    }
  }
  for (; k < cols; ++k)
    for (std::size_t i = 0; i < static_cast<std::size_t>(L); ++i) out[k * L + i] = i < n ? x[i * x_cols + k] : 0.0f;
}

// ---- finished sums to the outputs ----

// The tile's sums, held as one vector of inputs per row, go out as one run of rows per
// input: transposed in registers (rows past the tile are zeros) and stored n_rows floats
// at a time.
void store_sums(const float* acc, std::size_t groups, std::size_t batch, std::size_t n_rows, float* out,
                std::size_t out_stride) {
  for (std::size_t g = 0; g < groups; ++g) {
    F v[L];
#pragma GCC unroll 16
    for (int r = 0; r < L; ++r) v[r] = r < R ? S::load(acc + (g * R + r) * L) : S::set1(0.0f);
    S::transpose(v);
    const std::size_t b0 = g * L, n = std::min<std::size_t>(L, batch - b0);
    for (std::size_t l = 0; l < n; ++l) S::store_first(out + (b0 + l) * out_stride, v[l], n_rows);
  }
}

// ---- row decoders: the plain decoders' formulas, L elements at a time ----

// A block's half-precision scale, converted by the vector unit: the plain conversion's value
// for every half but a signalling NaN, which comes out quiet; every scale only ever meets
// a multiply or an add, which quiets it anyway, so no decoded weight differs.
KX_INLINE float half(const uint8_t* p) { return S::half(load_u16(p)); }

void decode_f16(const uint8_t* p, std::size_t n, float* out) {
  std::size_t i = 0;
  for (; i + L <= n; i += L) S::storeu(out + i, S::load_f16(p + 2 * i));
  for (; i < n; ++i) out[i] = f16_to_f32(load_u16(p + 2 * i));
}

void decode_bf16(const uint8_t* p, std::size_t n, float* out) {
  std::size_t i = 0;
  for (; i + L <= n; i += L) S::storeu(out + i, S::as_f(S::slli(S::load_u16(p + 2 * i), 16)));
  for (; i < n; ++i) out[i] = bits_to_f32(static_cast<uint32_t>(load_u16(p + 2 * i)) << 16);
}

// The 5-bit codes of elements h .. h + L - 1 (high: 16 + h ..) of a Q5_0 or Q5_1 block:
// nibble from qs, fifth bit from qh.
KX_INLINE I q5_codes(I qs, I qh, int h, bool high) {
  I nib = high ? S::srli(qs, 4) : S::and_(qs, 0x0F);
  I bit = S::and_(S::srlv(qh, S::add_i(S::iota(), (high ? 16 : 0) + h)), 1);
  return S::or_(nib, S::slli(bit, 4));
}

void decode_q5_0(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 22, out += 32) {
    F d = S::set1(half(blocks));
    I qh = S::set1_i(static_cast<int>(load_u32(blocks + 2)));
#pragma GCC unroll 2
    for (int h = 0; h < 16; h += L) {
      I qs = S::load_u8(blocks + 6 + h);
      S::storeu(out + h, S::mul(S::cvt(S::subi(q5_codes(qs, qh, h, false), 16)), d));
      S::storeu(out + 16 + h, S::mul(S::cvt(S::subi(q5_codes(qs, qh, h, true), 16)), d));
    }
  }
}

void decode_q5_1(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 24, out += 32) {
    F d = S::set1(half(blocks));
    F m = S::set1(half(blocks + 2));
    I qh = S::set1_i(static_cast<int>(load_u32(blocks + 4)));
#pragma GCC unroll 2
    for (int h = 0; h < 16; h += L) {
      I qs = S::load_u8(blocks + 8 + h);
      S::storeu(out + h, S::add(S::mul(S::cvt(q5_codes(qs, qh, h, false)), d), m));
      S::storeu(out + 16 + h, S::add(S::mul(S::cvt(q5_codes(qs, qh, h, true)), d), m));
    }
  }
}

void decode_iq4_nl(const uint8_t* blocks, std::size_t n_blocks, float* levels, float* scales) {
  const typename S::Table table = S::table16(kIq4nlTable);
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 18, levels += 32) {
    scales[b] = half(blocks);
#pragma GCC unroll 2
    for (int h = 0; h < 16; h += L) {
      I qs = S::load_u8(blocks + 2 + h);
      S::storeu(levels + h, S::lookup16(S::and_(qs, 0x0F), table));
      S::storeu(levels + 16 + h, S::lookup16(S::srli(qs, 4), table));
    }
  }
}

void decode_q8_0(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 34, out += 32) {
    F d = S::set1(half(blocks));
    for (int k = 0; k < 32; k += L) S::storeu(out + k, S::mul(S::cvt(S::load_i8(blocks + 2 + k)), d));
  }
}

void decode_q4_k(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 144, out += 256) {
    float d = half(blocks);
    float dmin = half(blocks + 2);
    const uint8_t* scales = blocks + 4;
    for (int g = 0; g < 4; ++g) {
      const uint8_t* qs = blocks + 16 + 32 * g;
      uint8_t sc1, mn1, sc2, mn2;
      q4_k_scale_min(scales, 2 * g, sc1, mn1);
      q4_k_scale_min(scales, 2 * g + 1, sc2, mn2);
      F d1 = S::set1(d * static_cast<float>(sc1)), m1 = S::set1(dmin * static_cast<float>(mn1));
      F d2 = S::set1(d * static_cast<float>(sc2)), m2 = S::set1(dmin * static_cast<float>(mn2));
      for (int l = 0; l < 32; l += L) {
        I q = S::load_u8(qs + l);
        S::storeu(out + 64 * g + l, S::sub(S::mul(S::cvt(S::and_(q, 0x0F)), d1), m1));
        S::storeu(out + 64 * g + 32 + l, S::sub(S::mul(S::cvt(S::srli(q, 4)), d2), m2));
      }
    }
  }
}

void decode_q6_k(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 210, out += 256) {
    float d = half(blocks + 208);
    for (int h = 0; h < 2; ++h) {
      const uint8_t* ql = blocks + 64 * h;
      const uint8_t* qh = blocks + 128 + 32 * h;
      const int8_t* sc = reinterpret_cast<const int8_t*>(blocks + 192 + 8 * h);
      float* o = out + 128 * h;
      for (int l = 0; l < 32; l += L) {  // L divides 16, so one scale per vector
        int s = l / 16;
        I lo = S::load_u8(ql + l), lo2 = S::load_u8(ql + 32 + l), hi = S::load_u8(qh + l);
        I q1 = S::subi(S::or_(S::and_(lo, 0x0F), S::slli(S::and_(hi, 3), 4)), 32);
        I q2 = S::subi(S::or_(S::and_(lo2, 0x0F), S::slli(S::and_(S::srli(hi, 2), 3), 4)), 32);
        I q3 = S::subi(S::or_(S::srli(lo, 4), S::slli(S::and_(S::srli(hi, 4), 3), 4)), 32);
        I q4 = S::subi(S::or_(S::srli(lo2, 4), S::slli(S::and_(S::srli(hi, 6), 3), 4)), 32);
        S::storeu(o + l, S::mul(S::set1(static_cast<float>(sc[s]) * d), S::cvt(q1)));
        S::storeu(o + 32 + l, S::mul(S::set1(static_cast<float>(sc[s + 2]) * d), S::cvt(q2)));
        S::storeu(o + 64 + l, S::mul(S::set1(static_cast<float>(sc[s + 4]) * d), S::cvt(q3)));
        S::storeu(o + 96 + l, S::mul(S::set1(static_cast<float>(sc[s + 6]) * d), S::cvt(q4)));
      }
    }
  }
}

#undef KX_INLINE

constexpr MatmulKernels kMatmulKernels = {
    static_cast<std::size_t>(L),
    static_cast<std::size_t>(R),
    {tile<SumOrder::WeightFirst>, tile<SumOrder::InputFirst>, tile<SumOrder::PairedHalves>,
     tile<SumOrder::ScaledLevels>},
    transpose_group,
    store_sums,
    decode_f16,
    decode_bf16,
    decode_q5_0,
    decode_q5_1,
    decode_q8_0,
    decode_q4_k,
    decode_q6_k,
    decode_iq4_nl,
};
