#pragma once
// The vector kernels of the batched product: one SIMD lane per input vector, a tile of
// decoded weight rows broadcast against the inputs. Each lane adds its products in the
// column order of the matching row kernel, with separate multiply and add, so each lane's
// sum is exactly matvec's value for that input and row. Built per instruction set
// (matmul_avx512.cpp, matmul_avx2.cpp) from the one template in matmul_kernels.inl.
#include <cstddef>
#include <cstdint>

namespace korvex {

// How a row's products are summed, by the type's own kernel.
enum class SumOrder : uint8_t {
  WeightFirst,   // F32, BF16: acc from -0.0, acc + w * x
  InputFirst,    // matvec_f32 over decoded rows (F16, Q5_0, Q8_0, Q4_K, Q6_K): acc + x * w
  PairedHalves,  // Q5_1: acc from +0.0, per block acc + (w[j+16] * x[j+16] + w[j] * x[j])
  ScaledLevels,  // IQ4_NL: acc from +0.0, acc + (x * d) * level, element j then j + 16
};
inline constexpr int kSumOrders = 4;

// Rows of a tile, at most: the register tile of every instruction set fits.
inline constexpr std::size_t kMaxTileRows = 8;

// One tile of rows over one stretch of columns [k0, k0 + n), against every input group.
// The partial sums live in `acc` between stretches, so a long row can be cut into stretches
// whose inputs stay in the caches while each sum still runs in column order.
struct MatmulTile {
  const float* w[kMaxTileRows];      // decoded weights of each row from column k0 (IQ4_NL: levels)
  const float* scale[kMaxTileRows];  // IQ4_NL: d of each 32-block from column k0; unused otherwise
  // Transposed inputs from column k0: group g's column k0 + k at x[g * x_stride + k * lanes].
  const float* x;
  std::size_t x_stride;
  std::size_t n;       // columns of the stretch (a whole number of 32-blocks for Q5_1, IQ4_NL)
  std::size_t groups;  // input groups
  // Sums of row r for group g's lanes at acc[(g * rows + r) * lanes]; rows = the kernels'
  // tile_rows. Read unless `first`, where each sum starts from its order's start value.
  float* acc;
  bool first;
  // Cache lines to fetch towards the second-level cache while the products run (the weights
  // and outputs of the tiles that follow), one per column step, spread so that they never
  // crowd the memory requests of the tile's own loads.
  const void* const* prefetch = nullptr;
  std::size_t n_prefetch = 0;
};

using MatmulTileFn = void (*)(const MatmulTile& tile);

// Decodes n whole blocks into floats, the very values the plain decoder of the type gives.
using DecodeBlocksFn = void (*)(const uint8_t* blocks, std::size_t n_blocks, float* out);
// IQ4_NL as its row kernel consumes it: each element's level and each 32-block's d.
using DecodeLevelsFn = void (*)(const uint8_t* blocks, std::size_t n_blocks, float* levels, float* scales);

// Inputs x[i * x_cols + k] for i < n (n <= lanes), k < cols, as one lane-interleaved group:
// out[k * lanes + i], with zeros in the lanes i >= n.
using TransposeFn = void (*)(const float* x, std::size_t x_cols, std::size_t n, std::size_t cols, float* out);

// Sums laid out as MatmulTile::acc, for `groups` groups holding `batch` inputs, to
// out[b * out_stride + r] for r < n_rows.
using StoreSumsFn = void (*)(const float* acc, std::size_t groups, std::size_t batch, std::size_t n_rows,
                             float* out, std::size_t out_stride);

struct MatmulKernels {
  std::size_t lanes;
  std::size_t tile_rows;  // rows per tile, at most kMaxTileRows
  MatmulTileFn by_order[kSumOrders];  // indexed by SumOrder
  TransposeFn transpose;
  StoreSumsFn store_sums;
  // Vector decoders (F16 and BF16 elements count as blocks of one).
  DecodeBlocksFn f16, bf16, q5_0, q5_1, q8_0, q4_k, q6_k;
  DecodeLevelsFn iq4_nl;
};

const MatmulKernels& matmul_kernels_avx512();
const MatmulKernels& matmul_kernels_avx2();

}  // namespace korvex
