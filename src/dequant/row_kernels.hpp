#pragma once
// The plain row kernels: one row of a stored matrix times x, one accumulator, every
// product and sum its own f32 operation in index order. These fix the results; the fast
// kernels must reproduce them bit for bit.
#include <cstddef>
#include <cstdint>

#include "dequant/ggml_types.hpp"

namespace korvex {

// acc from -0.0; acc + w_k * x[k] for k < cols.
float row_dot_f32(const uint8_t* row, const float* x, std::size_t cols);
float row_dot_bf16(const uint8_t* row, const float* x, std::size_t cols);
// acc from +0.0 over the whole blocks of the row (cols / 32 of them). Q5_1 adds each pair
// (hi term + lo term) before adding it to acc; IQ4_NL adds (x * d) * level, low nibble
// then high nibble.
float row_dot_q5_1(const uint8_t* row, const float* x, std::size_t cols);
float row_dot_iq4_nl(const uint8_t* row, const float* x, std::size_t cols);

// The row of a type without its own kernel, summed as matvec_f32 sums the dequantised
// matrix: decoded one block at a time, acc from -0.0, acc + x[i] * w[i]. cols must be a
// whole number of the type's blocks.
float dequant_row_dot(const GgmlTypeInfo& type, const uint8_t* row, const float* x, std::size_t cols);

// One row of matvec_f32: acc from -0.0; acc + x[i] * row[i] for i < n.
float matvec_f32_row(const float* row, const float* x, std::size_t n);

}  // namespace korvex
