#pragma once
// The one table that knows each tensor element type: its code and name, its block shape,
// how to dequantise whole blocks, and how to multiply rows of it by a vector.
#include <cstddef>
#include <cstdint>

namespace korvex {

// Element type codes in ggml numbering, held as the raw number the file stores.
namespace GgmlType {
inline constexpr uint32_t F32 = 0;
inline constexpr uint32_t F16 = 1;
inline constexpr uint32_t Q5_0 = 6;
inline constexpr uint32_t Q5_1 = 7;
inline constexpr uint32_t Q8_0 = 8;
inline constexpr uint32_t Q4_K = 12;
inline constexpr uint32_t Q5_K = 13;
inline constexpr uint32_t Q6_K = 14;
inline constexpr uint32_t IQ4_NL = 20;
inline constexpr uint32_t BF16 = 30;
}  // namespace GgmlType

// Decodes n_blocks whole blocks starting at `blocks` into out[0 .. n_blocks * block_elems).
using DequantBlocksFn = void (*)(const uint8_t* blocks, std::size_t n_blocks, float* out);
// One row's dot product with x: the row's bytes, x, and the column count.
using RowDotFn = float (*)(const uint8_t* row, const float* x, std::size_t cols);
// Rows [row_begin, row_end) of a matrix of `cols` columns, row r at w + r * row_bytes,
// written to out[row_begin .. row_end). Equals row_dot on every row, bit for bit.
using RowsDotFn = void (*)(const uint8_t* w, std::size_t row_bytes, const float* x, std::size_t cols,
                           std::size_t row_begin, std::size_t row_end, float* out);

struct GgmlTypeInfo {
  uint32_t code;
  const char* name;
  uint32_t block_elems;
  uint32_t block_bytes;
  DequantBlocksFn dequant;  // nullptr: sized only (Q5_K)
  // The type's own row kernel (F32, BF16, Q5_1, IQ4_NL), with its own accumulator start and
  // order. nullptr: products dequantise the matrix and sum as matvec_f32 does.
  RowDotFn row_dot;
};

// nullptr for a code the system does not know.
const GgmlTypeInfo* ggml_type_info(uint32_t code);

}  // namespace korvex
