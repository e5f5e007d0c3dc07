#pragma once
// Little-endian field access and the constants of the block formats, shared by the
// dequantisers and the row kernels.
#include <cstdint>
#include <cstring>

namespace korvex {

inline uint16_t load_u16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);  // x86-64 is little-endian, as the file is
  return v;
}
inline uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline float bits_to_f32(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}
inline uint32_t f32_to_bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

// The 16 non-linear levels of IQ4_NL, indexed by a 4-bit code.
inline constexpr int8_t kIq4nlLevels[16] = {-127, -104, -83, -65, -49, -35, -22, -10,
                                             1,    13,   25,  38,  53,  69,  89,  113};
inline constexpr float kIq4nlTable[16] = {-127.f, -104.f, -83.f, -65.f, -49.f, -35.f, -22.f, -10.f,
                                          1.f,    13.f,   25.f,  38.f,  53.f,  69.f,  89.f,  113.f};

// Q4_K's packed 6-bit scale and minimum of sub-block i (0..7) from its 12 scale bytes.
inline void q4_k_scale_min(const uint8_t* scales, int i, uint8_t& sc, uint8_t& mn) {
  if (i < 4) {
    sc = scales[i] & 63;
    mn = scales[i + 4] & 63;
  } else {
    sc = static_cast<uint8_t>((scales[i + 4] & 0x0F) | ((scales[i - 4] >> 6) << 4));
    mn = static_cast<uint8_t>((scales[i + 4] >> 4) | ((scales[i] >> 6) << 4));
  }
}

}  // namespace korvex
