// The batched product's tile kernels, written once over an instruction-set struct `S`
// (S::L lanes of f32, S::kGroups input groups per pass, load/broadcast/add/mul/store) that
// the including file defines. Included inside an anonymous namespace, after `S`, by
// matmul_avx512.cpp and matmul_avx2.cpp, each compiled for its own target. No instruction
// here may be fused: the build keeps -ffp-contract=off and nothing calls an FMA.

using F = S::F;
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

static_assert(S::kGroups <= 4, "the tail switch covers at most 3 leftover groups");

constexpr MatmulKernels kMatmulKernels = {
    static_cast<std::size_t>(L),
    {tile<SumOrder::WeightFirst>, tile<SumOrder::InputFirst>, tile<SumOrder::PairedHalves>,
     tile<SumOrder::ScaledLevels>},
};
