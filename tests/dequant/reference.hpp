#pragma once
// Scalar reference of the tensor formats for the tests, written element by element from the
// format definitions and independent of the production decoders' structure.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "common/fatal.hpp"
#include "dequant/ggml_types.hpp"

namespace korvex::test {

inline float ref_bits(uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}
inline uint32_t ref_f32_bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}
inline uint16_t ref_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ref_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Half precision by its value formula (NaNs are built from bits).
inline float ref_f16(uint16_t h) {
  int s = h >> 15, e = (h >> 10) & 31, f = h & 1023;
  if (e == 31) return ref_bits((static_cast<uint32_t>(s) << 31) | 0x7F800000u | (static_cast<uint32_t>(f) << 13));
  float v = e == 0 ? std::ldexp(static_cast<float>(f), -24) : std::ldexp(static_cast<float>(1024 + f), e - 25);
  return s ? -v : v;
}

inline const float kRefLevels[16] = {-127, -104, -83, -65, -49, -35, -22, -10, 1, 13, 25, 38, 53, 69, 89, 113};

// Element i (within its block) of the block at p.
inline float ref_element(uint32_t type, const uint8_t* p, int i) {
  switch (type) {
    case GgmlType::F32: return ref_bits(ref_u32(p));
    case GgmlType::F16: return ref_f16(ref_u16(p));
    case GgmlType::BF16: return ref_bits(static_cast<uint32_t>(ref_u16(p)) << 16);
    case GgmlType::Q8_0: return static_cast<float>(static_cast<int8_t>(p[2 + i])) * ref_f16(ref_u16(p));
    case GgmlType::Q5_0:
    case GgmlType::Q5_1: {
      bool q51 = type == GgmlType::Q5_1;
      const uint8_t* qs = p + (q51 ? 8 : 6);
      uint32_t qh = ref_u32(p + (q51 ? 4 : 2));
      int j = i % 16;
      int nib = i < 16 ? qs[j] & 15 : qs[j] >> 4;
      int q = nib | static_cast<int>(((qh >> i) & 1) << 4);
      float d = ref_f16(ref_u16(p));
      if (!q51) return static_cast<float>(q - 16) * d;
      return static_cast<float>(q) * d + ref_f16(ref_u16(p + 2));
    }
    case GgmlType::IQ4_NL: {
      int j = i % 16;
      int nib = i < 16 ? p[2 + j] & 15 : p[2 + j] >> 4;
      return ref_f16(ref_u16(p)) * kRefLevels[nib];
    }
    case GgmlType::Q4_K: {
      int g = i / 64, hi = (i % 64) / 32, l = i % 32, sub = 2 * g + hi;
      const uint8_t* sc = p + 4;
      int scale, min;
      if (sub < 4) {
        scale = sc[sub] & 63;
        min = sc[sub + 4] & 63;
      } else {
        scale = (sc[sub + 4] & 15) | ((sc[sub - 4] >> 6) << 4);
        min = (sc[sub + 4] >> 4) | ((sc[sub] >> 6) << 4);
      }
      int q = hi ? p[16 + 32 * g + l] >> 4 : p[16 + 32 * g + l] & 15;
      float d1 = ref_f16(ref_u16(p)) * static_cast<float>(scale);
      float m1 = ref_f16(ref_u16(p + 2)) * static_cast<float>(min);
      return static_cast<float>(q) * d1 - m1;
    }
    case GgmlType::Q6_K: {
      int h = i / 128, quarter = (i % 128) / 32, l = i % 32;
      int low_byte = p[64 * h + (quarter % 2) * 32 + l];
      int low = quarter < 2 ? low_byte & 15 : low_byte >> 4;
      int high = (p[128 + 32 * h + l] >> (2 * quarter)) & 3;
      int q = (low | (high << 4)) - 32;
      float scale = static_cast<float>(static_cast<int8_t>(p[192 + 8 * h + l / 16 + 2 * quarter]));
      return (scale * ref_f16(ref_u16(p + 208))) * static_cast<float>(q);
    }
  }
  ADD_FAILURE() << "no reference for type " << type;
  return 0;
}

inline std::vector<float> ref_dequantize(uint32_t type, const std::vector<uint8_t>& data, uint64_t n) {
  const GgmlTypeInfo* t = ggml_type_info(type);
  std::vector<float> out;
  for (uint64_t b = 0; b < n / t->block_elems; ++b)
    for (uint32_t i = 0; i < t->block_elems; ++i)
      out.push_back(ref_element(type, data.data() + b * t->block_bytes, static_cast<int>(i)));
  return out;
}

// The product of one row, with each type's own accumulator start and order; types without
// a row kernel of their own sum the dequantised row as matvec_f32 does.
inline float ref_row_product(uint32_t type, const uint8_t* row, const float* x, size_t cols) {
  switch (type) {
    case GgmlType::F32:
    case GgmlType::BF16: {
      size_t eb = type == GgmlType::F32 ? 4 : 2;
      float acc = -0.0f;
      for (size_t k = 0; k < cols; ++k) acc = acc + ref_element(type, row + eb * k, 0) * x[k];
      return acc;
    }
    case GgmlType::Q5_1: {
      float acc = 0.0f;
      for (size_t b = 0; b < cols / 32; ++b)
        for (int j = 0; j < 16; ++j) {
          float t_lo = ref_element(type, row + 24 * b, j) * x[32 * b + j];
          float t_hi = ref_element(type, row + 24 * b, j + 16) * x[32 * b + j + 16];
          acc = acc + (t_hi + t_lo);
        }
      return acc;
    }
    case GgmlType::IQ4_NL: {
      float acc = 0.0f;
      for (size_t b = 0; b < cols / 32; ++b) {
        const uint8_t* p = row + 18 * b;
        float d = ref_f16(ref_u16(p));
        for (int j = 0; j < 16; ++j) {
          acc = acc + (x[32 * b + j] * d) * kRefLevels[p[2 + j] & 15];
          acc = acc + (x[32 * b + j + 16] * d) * kRefLevels[p[2 + j] >> 4];
        }
      }
      return acc;
    }
  }
  ADD_FAILURE() << "ref_row_product: type " << type << " has no row kernel";
  return 0;
}

inline bool has_row_kernel(uint32_t type) {
  return type == GgmlType::F32 || type == GgmlType::BF16 || type == GgmlType::Q5_1 || type == GgmlType::IQ4_NL;
}

// The whole product as the reference defines it.
inline std::vector<float> ref_matvec(uint32_t type, const std::vector<uint8_t>& w, const std::vector<float>& x,
                                     size_t cols, size_t rows) {
  std::vector<float> out(rows);
  if (has_row_kernel(type)) {
    const GgmlTypeInfo* t = ggml_type_info(type);
    size_t rb = cols / t->block_elems * t->block_bytes;
    for (size_t r = 0; r < rows; ++r) out[r] = ref_row_product(type, w.data() + r * rb, x.data(), cols);
    return out;
  }
  std::vector<float> wf = ref_dequantize(type, w, static_cast<uint64_t>(cols) * rows);
  size_t n = std::min(cols, x.size());
  for (size_t r = 0; r < rows; ++r) {
    float acc = -0.0f;
    for (size_t i = 0; i < n; ++i) acc = acc + x[i] * wf[r * cols + i];
    out[r] = acc;
  }
  return out;
}

// Random blocks whose half-precision scale fields are finite values of moderate size, so
// that products stay finite unless a test asks otherwise.
inline std::vector<uint8_t> random_blocks(uint32_t type, size_t n_blocks, std::mt19937& rng) {
  const GgmlTypeInfo* t = ggml_type_info(type);
  std::vector<uint8_t> data(n_blocks * t->block_bytes);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  auto put_half = [&](uint8_t* p) {
    // sign, exponent 8..18 (about 2^-7 .. 2^3), any mantissa
    uint16_t h = static_cast<uint16_t>((rng() & 0x8000) | ((8 + rng() % 11) << 10) | (rng() & 0x3FF));
    p[0] = static_cast<uint8_t>(h);
    p[1] = static_cast<uint8_t>(h >> 8);
  };
  for (size_t b = 0; b < n_blocks; ++b) {
    uint8_t* p = data.data() + b * t->block_bytes;
    switch (type) {
      case GgmlType::F32: {
        float v = std::uniform_real_distribution<float>(-4, 4)(rng);
        std::memcpy(p, &v, 4);
        break;
      }
      case GgmlType::F16: put_half(p); break;
      case GgmlType::BF16: p[1] = static_cast<uint8_t>((p[1] & 0x80) | (0x3C + rng() % 8)); break;
      case GgmlType::Q5_1:
      case GgmlType::Q4_K: put_half(p); put_half(p + 2); break;
      case GgmlType::Q6_K: put_half(p + 208); break;
      default: put_half(p); break;  // Q5_0, Q8_0, IQ4_NL: d first
    }
  }
  return data;
}

inline std::vector<float> random_floats(size_t n, std::mt19937& rng) {
  std::vector<float> v(n);
  std::uniform_real_distribution<float> u(-2, 2);
  for (auto& f : v) f = u(rng);
  return v;
}

// Equal bits, except that any NaN matches any NaN: which of two NaN operands an x86
// operation propagates depends on operand order, which C++ does not pin down.
inline ::testing::AssertionResult same_bits(const std::vector<float>& got, const std::vector<float>& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(got[i]) && std::isnan(want[i])) continue;
    if (ref_f32_bits(got[i]) != ref_f32_bits(want[i]))
      return ::testing::AssertionFailure() << "index " << i << ": got " << got[i] << " (0x" << std::hex
                                           << ref_f32_bits(got[i]) << "), want " << want[i] << " (0x"
                                           << ref_f32_bits(want[i]) << ")";
  }
  return ::testing::AssertionSuccess();
}

// The message of the fatal stop that fn raises ("" if it returns).
template <typename Fn>
std::string fatal_message(Fn&& fn) {
  try {
    fn();
  } catch (const Fatal& f) {
    return f.what();
  }
  return "";
}

inline const uint32_t kAllTypes[] = {GgmlType::F32,  GgmlType::F16,  GgmlType::Q5_0,   GgmlType::Q5_1, GgmlType::Q8_0,
                                     GgmlType::Q4_K, GgmlType::Q6_K, GgmlType::IQ4_NL, GgmlType::BF16};

}  // namespace korvex::test
