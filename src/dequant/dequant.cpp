#include "dequant/dequant.hpp"

#include <algorithm>

#include "common/fatal.hpp"
#include "common/pool.hpp"
#include "dequant/block_formats.hpp"
#include "dequant/ggml_types.hpp"

namespace korvex {

float f16_to_f32(uint16_t h) {
  uint32_t sign = static_cast<uint32_t>(h >> 15) << 31;
  uint32_t exp = (h >> 10) & 0x1F;
  uint32_t mant = h & 0x3FF;
  uint32_t bits;
  if (exp == 0x1F) {
    bits = sign | 0x7F800000u | (mant << 13);  // infinity or NaN, payload kept as is
  } else if (exp != 0) {
    bits = sign | ((exp + 112) << 23) | (mant << 13);
  } else if (mant == 0) {
    bits = sign;
  } else {
    // Subnormal half: mant * 2^-24, normalised into a single's exponent.
    uint32_t e = 113;
    while ((mant & 0x400) == 0) {
      mant <<= 1;
      --e;
    }
    bits = sign | (e << 23) | ((mant & 0x3FF) << 13);
  }
  return bits_to_f32(bits);
}

void dequant_f32(const uint8_t* data, std::size_t n, float* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = bits_to_f32(load_u32(data + 4 * i));
}

void dequant_f16(const uint8_t* data, std::size_t n, float* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = f16_to_f32(load_u16(data + 2 * i));
}

void dequant_bf16(const uint8_t* data, std::size_t n, float* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = bits_to_f32(static_cast<uint32_t>(load_u16(data + 2 * i)) << 16);
}

void dequant_q5_0_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 22, out += 32) {
    float d = f16_to_f32(load_u16(blocks));
    uint32_t qh = load_u32(blocks + 2);
    const uint8_t* qs = blocks + 6;
    for (int j = 0; j < 16; ++j) {
      int lo = (qs[j] & 0x0F) | (((qh >> j) & 1) << 4);
      int hi = (qs[j] >> 4) | (((qh >> (j + 16)) & 1) << 4);
      out[j] = static_cast<float>(lo - 16) * d;
      out[j + 16] = static_cast<float>(hi - 16) * d;
    }
  }
}

void dequant_block_q5_1(const uint8_t* block, float* out) {
  float d = f16_to_f32(load_u16(block));
  float m = f16_to_f32(load_u16(block + 2));
  uint32_t qh = load_u32(block + 4);
  const uint8_t* qs = block + 8;
  for (int j = 0; j < 16; ++j) {
    int lo = (qs[j] & 0x0F) | (((qh >> j) & 1) << 4);
    int hi = (qs[j] >> 4) | (((qh >> (j + 16)) & 1) << 4);
    out[j] = static_cast<float>(lo) * d + m;
    out[j + 16] = static_cast<float>(hi) * d + m;
  }
}

void dequant_q5_1_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b) dequant_block_q5_1(blocks + 24 * b, out + 32 * b);
}

void dequant_q8_0_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 34, out += 32) {
    float d = f16_to_f32(load_u16(blocks));
    for (int k = 0; k < 32; ++k) out[k] = static_cast<float>(static_cast<int8_t>(blocks[2 + k])) * d;
  }
}

void dequant_q4_k_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 144, out += 256) {
    float d = f16_to_f32(load_u16(blocks));
    float dmin = f16_to_f32(load_u16(blocks + 2));
    const uint8_t* scales = blocks + 4;
    for (int g = 0; g < 4; ++g) {
      const uint8_t* qs = blocks + 16 + 32 * g;
      uint8_t sc1, mn1, sc2, mn2;
      q4_k_scale_min(scales, 2 * g, sc1, mn1);
      q4_k_scale_min(scales, 2 * g + 1, sc2, mn2);
      float d1 = d * static_cast<float>(sc1), m1 = dmin * static_cast<float>(mn1);
      float d2 = d * static_cast<float>(sc2), m2 = dmin * static_cast<float>(mn2);
      for (int l = 0; l < 32; ++l) {
        out[64 * g + l] = static_cast<float>(qs[l] & 0x0F) * d1 - m1;
        out[64 * g + 32 + l] = static_cast<float>(qs[l] >> 4) * d2 - m2;
      }
    }
  }
}

void dequant_q6_k_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 210, out += 256) {
    float d = f16_to_f32(load_u16(blocks + 208));
    for (int h = 0; h < 2; ++h) {
      const uint8_t* ql = blocks + 64 * h;
      const uint8_t* qh = blocks + 128 + 32 * h;
      const int8_t* sc = reinterpret_cast<const int8_t*>(blocks + 192 + 8 * h);
      float* o = out + 128 * h;
      for (int l = 0; l < 32; ++l) {
        int s = l / 16;
        int L = ql[l], L2 = ql[32 + l], H = qh[l];
        int q1 = ((L & 0x0F) | ((H & 3) << 4)) - 32;
        int q2 = ((L2 & 0x0F) | (((H >> 2) & 3) << 4)) - 32;
        int q3 = ((L >> 4) | (((H >> 4) & 3) << 4)) - 32;
        int q4 = ((L2 >> 4) | (((H >> 6) & 3) << 4)) - 32;
        o[l] = (static_cast<float>(sc[s]) * d) * static_cast<float>(q1);
        o[32 + l] = (static_cast<float>(sc[s + 2]) * d) * static_cast<float>(q2);
        o[64 + l] = (static_cast<float>(sc[s + 4]) * d) * static_cast<float>(q3);
        o[96 + l] = (static_cast<float>(sc[s + 6]) * d) * static_cast<float>(q4);
      }
    }
  }
}

void dequant_iq4_nl_blocks(const uint8_t* blocks, std::size_t n_blocks, float* out) {
  for (std::size_t b = 0; b < n_blocks; ++b, blocks += 18, out += 32) {
    float d = f16_to_f32(load_u16(blocks));
    const uint8_t* qs = blocks + 2;
    for (int j = 0; j < 16; ++j) {
      out[j] = d * kIq4nlTable[qs[j] & 0x0F];
      out[j + 16] = d * kIq4nlTable[qs[j] >> 4];
    }
  }
}

namespace {

// Q5_1 is the one format decoded on the pool. Block k of the output comes from data chunk
// k; blocks past the end of the data (a missing or incomplete chunk) stay 0.0, so short
// data is never read past its end.
std::vector<float> dequantize_q5_1(std::span<const uint8_t> data, uint64_t n) {
  std::size_t n_blocks = static_cast<std::size_t>(n / 32);
  std::vector<float> out(n_blocks * 32, 0.0f);
  std::size_t decodable = std::min<std::size_t>(n_blocks, data.size() / 24);
  const uint8_t* src = data.data();
  float* dst = out.data();
  parallel_ranges(decodable, 64, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) dequant_block_q5_1(src + 24 * k, dst + 32 * k);
  });
  return out;
}

}  // namespace

std::vector<float> dequantize(std::span<const uint8_t> data, uint32_t ggml_type, uint64_t n) {
  const GgmlTypeInfo* info = ggml_type_info(ggml_type);
  if (info == nullptr || info->dequant == nullptr) fatal("dequant: unsupported ggml_type {}", ggml_type);
  if (ggml_type == GgmlType::Q5_1) return dequantize_q5_1(data, n);

  uint64_t n_blocks = n / info->block_elems;
  // Checked by division so that no product can wrap.
  if (n_blocks > data.size() / info->block_bytes)
    fatal("dequant: {} data of {} bytes is too short for {} elements", info->name, data.size(), n);
  std::vector<float> out(static_cast<std::size_t>(n_blocks * info->block_elems));
  info->dequant(data.data(), static_cast<std::size_t>(n_blocks), out.data());
  return out;
}

}  // namespace korvex
