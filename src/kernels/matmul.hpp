#pragma once
// Batched products over stored weights: many input vectors against one matrix in one pass
// over its bytes. Each block of a row is decoded once and reused for every input, yet every
// output is the very float that matvec gives for that input: the same decoded weights, the
// same accumulator start, the products added one by one in matvec's column order.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvex {

// x holds `batch` inputs of `cols` values, row-major; out receives batch x rows values,
// out[b * rows + r] = matvec(x_b, w, ggml_type, cols, rows)[r] bit for bit. Rows are split
// over the data-parallel pool. Size mismatches are fatal stops; an unsupported type stops
// with "dequant: unsupported ggml_type {}".
void matmul_into(std::span<const float> x, std::size_t batch, std::span<const uint8_t> w,
                 uint32_t ggml_type, std::size_t cols, std::size_t rows, std::span<float> out);
std::vector<float> matmul(std::span<const float> x, std::size_t batch, std::span<const uint8_t> w,
                          uint32_t ggml_type, std::size_t cols, std::size_t rows);

// Several products of the same inputs in one call (query, key and value; gate and up): the
// inputs are rearranged once and every product's rows go to the pool together. Each job's
// out gets exactly what matmul_into gives it, with the same fatal stops.
struct MatmulJob {
  std::span<const uint8_t> w;
  uint32_t ggml_type;
  std::size_t rows;
  std::span<float> out;  // batch x rows
};
void matmul_same_input(std::span<const float> x, std::size_t batch, std::size_t cols,
                       std::span<const MatmulJob> jobs);

// The same for a plain f32 matrix of rows x cols values: out[b * rows + r] =
// matvec_f32(w, x_b, cols, rows)[r] with x_b of cols values.
void matmul_f32_into(std::span<const float> x, std::size_t batch, std::span<const float> w,
                     std::size_t cols, std::size_t rows, std::span<float> out);

}  // namespace korvex
