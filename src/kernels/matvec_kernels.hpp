#pragma once
// The vectorised products: one SIMD lane per output row, each lane summing its own row in
// index order with separate multiplies and adds, so every lane computes exactly what the
// plain kernel computes for that row. Built per instruction set (matvec_avx512.cpp,
// matvec_avx2.cpp) from the one template in matvec_kernels.inl.
#include <cstddef>
#include <cstdint>

namespace korvex {

// Rows [row_begin, row_end) of a matrix with rows row_bytes apart, written to out[row].
// Returns the end of the rows it did, row_begin plus a multiple of the lane count; the
// caller finishes the rest with the plain kernel.
using SimdRowsFn = std::size_t (*)(const uint8_t* w, std::size_t row_bytes, const float* x, std::size_t cols,
                                   std::size_t row_begin, std::size_t row_end, float* out);

struct MatvecKernels {
  std::size_t lanes;  // rows per vector: tasks split rows in multiples of it
  // The types' own row kernels.
  SimdRowsFn f32, bf16, q5_1, iq4_nl;
  // Sums of the dequantised row as matvec_f32 sums them (acc from -0.0, acc + x * w);
  // cols a whole number of blocks.
  SimdRowsFn f16, q5_0, q8_0, q4_k, q6_k;
  // matvec_f32's rows: w holds f32 values, `cols` here is the count summed; row_bytes
  // the row stride.
  SimdRowsFn f32_matvec;
};

// Units (whole vectors of rows) per pool task of a product: one task per thread, since
// every row costs the same and even shares balance. But a task must carry enough weights
// to pay for handing it to another thread (a few microseconds of waking and starting), so
// small products use fewer threads, and the smallest run on the calling thread alone.
inline constexpr std::size_t kMinTaskWeights = std::size_t{1} << 15;

inline std::size_t product_task_units(std::size_t units, std::size_t threads, std::size_t unit_weights) {
  if (threads == 0) threads = 1;
  std::size_t per = (units + threads - 1) / threads;
  if (unit_weights == 0) unit_weights = 1;
  std::size_t least = (kMinTaskWeights + unit_weights - 1) / unit_weights;
  if (per < least) per = least;
  return per == 0 ? 1 : per;
}

const MatvecKernels& matvec_kernels_avx512();
const MatvecKernels& matvec_kernels_avx2();

}  // namespace korvex
