// The batched product's tile kernels, written once over an instruction-set struct `S`
// (S::L lanes of f32, S::kGroups input groups per pass, load/broadcast/add/mul/store) that
// the including file defines. Included inside an anonymous namespace, after `S`, by
// matmul_avx512.cpp and matmul_avx2.cpp, each compiled for its own target. No instruction
// here may be fused: the build keeps -ffp-contract=off and nothing calls an FMA.

using F = S::F;
using I = S::I;
constexpr int L = S::L;
constexpr int R = static_cast<int>(kTileRows);

// A pass over G input groups: R x G independent accumulators, each one (row, lane) sum in
// its row kernel's order, then scattered to out for the inputs and rows that exist.
// The loops over rows and groups are unrolled so that the accumulators stay in registers.
template <SumOrder O, int G>
inline void tile_pass(const MatmulInputs& in, const MatmulTile& t, std::size_t g0) {
  const float start = O == SumOrder::PairedHalves || O == SumOrder::ScaledLevels ? 0.0f : -0.0f;
  F acc[R][G];
  #pragma GCC unroll 16
  for (int r = 0; r < R; ++r)
    #pragma GCC unroll 16
    for (int g = 0; g < G; ++g) acc[r][g] = S::set1(start);
  const float* xg[G];
  #pragma GCC unroll 16
  for (int g = 0; g < G; ++g) xg[g] = in.xt + (g0 + g) * in.cols * L;
  const std::size_t cols = in.cols;

  if constexpr (O == SumOrder::WeightFirst || O == SumOrder::InputFirst) {
    for (std::size_t k = 0; k < cols; ++k) {
      F xv[G];
      #pragma GCC unroll 16
      for (int g = 0; g < G; ++g) xv[g] = S::load(xg[g] + k * L);
      #pragma GCC unroll 16
      for (int r = 0; r < R; ++r) {
        F wv = S::bcast(t.w[r] + k);
        #pragma GCC unroll 16
        for (int g = 0; g < G; ++g)
          acc[r][g] = S::add(acc[r][g], O == SumOrder::WeightFirst ? S::mul(wv, xv[g]) : S::mul(xv[g], wv));
      }
    }
  } else if constexpr (O == SumOrder::PairedHalves) {
    for (std::size_t b = 0; b < cols / 32; ++b)
      for (std::size_t j = 0; j < 16; ++j) {
        std::size_t lo = 32 * b + j, hi = lo + 16;
        F xlo[G], xhi[G];
        #pragma GCC unroll 16
        for (int g = 0; g < G; ++g) {
          xlo[g] = S::load(xg[g] + lo * L);
          xhi[g] = S::load(xg[g] + hi * L);
        }
        #pragma GCC unroll 16
        for (int r = 0; r < R; ++r) {
          F wlo = S::bcast(t.w[r] + lo), whi = S::bcast(t.w[r] + hi);
          #pragma GCC unroll 16
          for (int g = 0; g < G; ++g) {
            F t_lo = S::mul(wlo, xlo[g]), t_hi = S::mul(whi, xhi[g]);
            acc[r][g] = S::add(acc[r][g], S::add(t_hi, t_lo));
          }
        }
      }
  } else {
    for (std::size_t b = 0; b < cols / 32; ++b) {
      F d[R];
      #pragma GCC unroll 16
      for (int r = 0; r < R; ++r) d[r] = S::bcast(t.scale[r] + b);
      for (std::size_t j = 0; j < 16; ++j) {
        std::size_t lo = 32 * b + j, hi = lo + 16;
        F xlo[G], xhi[G];
        #pragma GCC unroll 16
        for (int g = 0; g < G; ++g) {
          xlo[g] = S::load(xg[g] + lo * L);
          xhi[g] = S::load(xg[g] + hi * L);
        }
        #pragma GCC unroll 16
        for (int r = 0; r < R; ++r) {
          F tlo = S::bcast(t.w[r] + lo), thi = S::bcast(t.w[r] + hi);
          #pragma GCC unroll 16
          for (int g = 0; g < G; ++g) {
            acc[r][g] = S::add(acc[r][g], S::mul(S::mul(xlo[g], d[r]), tlo));
            acc[r][g] = S::add(acc[r][g], S::mul(S::mul(xhi[g], d[r]), thi));
          }
        }
      }
    }
  }

  alignas(64) float lanes[L];
  #pragma GCC unroll 16
  for (int g = 0; g < G; ++g) {
    std::size_t b0 = (g0 + g) * L;
    std::size_t n = in.batch - b0 < static_cast<std::size_t>(L) ? in.batch - b0 : static_cast<std::size_t>(L);
    #pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
      if (static_cast<std::size_t>(r) >= t.n_rows) break;
      S::store(lanes, acc[r][g]);
      float* o = in.out + b0 * in.out_stride + t.row0 + r;
      for (std::size_t l = 0; l < n; ++l) o[l * in.out_stride] = lanes[l];
    }
  }
}

template <SumOrder O>
void tile(const MatmulInputs& in, const MatmulTile& t) {
  constexpr int G = S::kGroups;
  std::size_t g = 0;
  for (; g + G <= in.groups; g += G) tile_pass<O, G>(in, t, g);
  // The last groups of a batch that is not a whole number of passes.
  switch (in.groups - g) {
    case 0: break;
    case 1: tile_pass<O, 1>(in, t, g); break;
    case 2: if constexpr (G > 2) tile_pass<O, 2>(in, t, g); break;
    case 3: if constexpr (G > 3) tile_pass<O, 3>(in, t, g); break;
    default: break;
  }
}

// ---- row decoders: the plain decoders' formulas, L elements at a time ----

void decode_q8_0(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 34, out += 32) {
    F d = S::set1(f16_to_f32(load_u16(blocks)));
    for (int k = 0; k < 32; k += L) S::storeu(out + k, S::mul(S::cvt(S::load_i8(blocks + 2 + k)), d));
  }
}

void decode_q4_k(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 144, out += 256) {
    float d = f16_to_f32(load_u16(blocks));
    float dmin = f16_to_f32(load_u16(blocks + 2));
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
    float d = f16_to_f32(load_u16(blocks + 208));
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

static_assert(S::kGroups <= 4, "the tail switch covers at most 3 leftover groups");

constexpr MatmulKernels kMatmulKernels = {
    static_cast<std::size_t>(L),
    {tile<SumOrder::WeightFirst>, tile<SumOrder::InputFirst>, tile<SumOrder::PairedHalves>,
     tile<SumOrder::ScaledLevels>},
    decode_q8_0,
    decode_q4_k,
    decode_q6_k,
};
