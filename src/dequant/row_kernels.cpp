#include "dequant/row_kernels.hpp"

#include "dequant/block_formats.hpp"
#include "dequant/dequant.hpp"

namespace korvex {

float row_dot_f32(const uint8_t* row, const float* x, std::size_t cols) {
  float acc = -0.0f;
  for (std::size_t k = 0; k < cols; ++k) acc = acc + bits_to_f32(load_u32(row + 4 * k)) * x[k];
  return acc;
}

float row_dot_bf16(const uint8_t* row, const float* x, std::size_t cols) {
  float acc = -0.0f;
  for (std::size_t k = 0; k < cols; ++k)
    acc = acc + bits_to_f32(static_cast<uint32_t>(load_u16(row + 2 * k)) << 16) * x[k];
  return acc;
}

float row_dot_q5_1(const uint8_t* row, const float* x, std::size_t cols) {
  float acc = 0.0f;
  std::size_t n_blocks = cols / 32;
  for (std::size_t b = 0; b < n_blocks; ++b) {
    const uint8_t* blk = row + 24 * b;
    float d = f16_to_f32(load_u16(blk));
    float m = f16_to_f32(load_u16(blk + 2));
    uint32_t qh = load_u32(blk + 4);
    const uint8_t* qs = blk + 8;
    const float* xb = x + 32 * b;
    for (int j = 0; j < 16; ++j) {
      int lo = (qs[j] & 0x0F) | (((qh >> j) & 1) << 4);
      int hi = (qs[j] >> 4) | (((qh >> (j + 16)) & 1) << 4);
      float t_lo = (static_cast<float>(lo) * d + m) * xb[j];
      float t_hi = (static_cast<float>(hi) * d + m) * xb[j + 16];
      acc = acc + (t_hi + t_lo);
    }
  }
  return acc;
}

float row_dot_iq4_nl(const uint8_t* row, const float* x, std::size_t cols) {
  float acc = 0.0f;
  std::size_t n_blocks = cols / 32;
  for (std::size_t b = 0; b < n_blocks; ++b) {
    const uint8_t* blk = row + 18 * b;
    float d = f16_to_f32(load_u16(blk));
    const uint8_t* qs = blk + 2;
    const float* xb = x + 32 * b;
    for (int j = 0; j < 16; ++j) {
      acc = acc + (xb[j] * d) * kIq4nlTable[qs[j] & 0x0F];
      acc = acc + (xb[j + 16] * d) * kIq4nlTable[qs[j] >> 4];
    }
  }
  return acc;
}

float dequant_row_dot(const GgmlTypeInfo& type, const uint8_t* row, const float* x, std::size_t cols) {
  float buf[256];  // a whole number of blocks of any type
  const std::size_t per_pass = 256 / type.block_elems;
  std::size_t blocks = cols / type.block_elems;
  float acc = -0.0f;
  for (std::size_t b = 0; b < blocks; b += per_pass) {
    std::size_t nb = blocks - b < per_pass ? blocks - b : per_pass;
    type.dequant(row + b * type.block_bytes, nb, buf);
    const float* xb = x + b * type.block_elems;
    for (std::size_t i = 0; i < nb * type.block_elems; ++i) acc = acc + xb[i] * buf[i];
  }
  return acc;
}

float matvec_f32_row(const float* row, const float* x, std::size_t n) {
  float acc = -0.0f;
  for (std::size_t i = 0; i < n; ++i) acc = acc + x[i] * row[i];
  return acc;
}

}  // namespace korvex
