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

// Rows decoded per tile; rows past the matrix point at zeros and are not stored.
inline constexpr std::size_t kTileRows = 4;

struct MatmulTile {
  const float* w[kTileRows];      // decoded weights of each row (IQ4_NL: the level values)
  const float* scale[kTileRows];  // IQ4_NL: each 32-block's d; unused otherwise
  std::size_t row0 = 0;           // matrix row of w[0]
  std::size_t n_rows = 0;         // rows of the tile that exist
};

struct MatmulInputs {
  // Inputs transposed in groups of `lanes`: input g * lanes + l, column k at
  // xt[(g * cols + k) * lanes + l]; lanes past the batch hold zeros.
  const float* xt;
  std::size_t cols;   // columns summed
  std::size_t batch;  // inputs
  std::size_t groups;
  float* out;         // out[b * out_stride + row]
  std::size_t out_stride;
};

using MatmulTileFn = void (*)(const MatmulInputs& in, const MatmulTile& tile);

// Decodes n whole blocks into floats, the very values the plain decoder of the type gives.
using DecodeBlocksFn = void (*)(const uint8_t* blocks, std::size_t n_blocks, float* out);

struct MatmulKernels {
  std::size_t lanes;
  MatmulTileFn by_order[kSumOrders];  // indexed by SumOrder
  // Vector decoders of the most common block types.
  DecodeBlocksFn q8_0, q4_k, q6_k;
};

const MatmulKernels& matmul_kernels_avx512();
const MatmulKernels& matmul_kernels_avx2();

}  // namespace korvex
