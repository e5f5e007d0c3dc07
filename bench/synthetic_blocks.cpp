#include "synthetic_blocks.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "dequant/ggml_types.hpp"

namespace korvex::bench {
namespace {

void put_u16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }

void random_bytes(uint8_t* p, std::size_t n, Rng& rng) {
  for (std::size_t i = 0; i < n; i += 8) {
    uint64_t r = rng.next();
    std::memcpy(p + i, &r, std::min<std::size_t>(8, n - i));
  }
}

// A positive normal half in [2^e, 2^(e+1)), its mantissa random.
uint16_t half_in_octave(int e, Rng& rng) {
  return static_cast<uint16_t>(((e + 15) << 10) | (rng.next() & 0x3FF));
}

// The same with a random sign. Codes of a lopsided range (-16..15, or the non-linear levels)
// have a mean off zero; with one sign for every scale, each row's sum of x would carry that
// mean into every output alike, the layers would pile it up in the residual stream, and the
// last norm would leave nearly the same vector for every token: one id generated over and
// over. Fitted blocks take either sign, which cancels the mean.
uint16_t signed_half_in_octave(int e, Rng& rng) {
  uint16_t h = half_in_octave(e, rng);
  return rng.next() & 1 ? static_cast<uint16_t>(h | 0x8000) : h;
}

uint16_t half_bits(float v) {
  _Float16 h = static_cast<_Float16>(v);
  uint16_t b;
  std::memcpy(&b, &h, 2);
  return b;
}

// A weight of magnitude in [2^-10, 0.05] and random sign: away from the half's subnormals.
float random_weight(Rng& rng) {
  float v = 0x1p-10f + (0.05f - 0x1p-10f) * rng.unit();
  return rng.next() & 1 ? -v : v;
}

// Each maker writes n_blocks blocks; the octave of every scale sets the weights' spread.

void q8_0_blocks(uint8_t* p, std::size_t n_blocks, Rng& rng) {
  for (std::size_t b = 0; b < n_blocks; ++b, p += 34) {
    put_u16(p, half_in_octave(-12, rng));  // codes spread about 73: weights 0.018..0.036
    for (int k = 0; k < 32; ++k) p[2 + k] = static_cast<uint8_t>(static_cast<int>(rng.next() % 255) - 127);
  }
}

void q5_0_blocks(uint8_t* p, std::size_t n_blocks, Rng& rng) {
  for (std::size_t b = 0; b < n_blocks; ++b, p += 22) {
    put_u16(p, signed_half_in_octave(-9, rng));  // codes -16..15 spread about 9.2
    random_bytes(p + 2, 20, rng);                // high bits, then low nibbles
  }
}

void q5_1_blocks(uint8_t* p, std::size_t n_blocks, Rng& rng) {
  for (std::size_t b = 0; b < n_blocks; ++b, p += 24) {
    uint16_t d = half_in_octave(-9, rng);
    _Float16 dh;
    std::memcpy(&dh, &d, 2);
    // The minimum cancels the codes' mean of 15.5 steps, give or take 4, as a fitted block's does.
    put_u16(p, d);
    put_u16(p + 2, half_bits(-static_cast<float>(dh) * (11.5f + 8.0f * rng.unit())));
    random_bytes(p + 4, 20, rng);
  }
}

void iq4_nl_blocks(uint8_t* p, std::size_t n_blocks, Rng& rng) {
  for (std::size_t b = 0; b < n_blocks; ++b, p += 18) {
    put_u16(p, signed_half_in_octave(-12, rng));  // levels spread about 65
    random_bytes(p + 2, 16, rng);
  }
}

// Eight sub-blocks of 32, each with a 6-bit scale and minimum packed into 12 bytes.
void q4_k_blocks(uint8_t* p, std::size_t n_blocks, Rng& rng) {
  for (std::size_t b = 0; b < n_blocks; ++b, p += 144) {
    uint16_t d = half_in_octave(-13, rng);
    _Float16 dh;
    std::memcpy(&dh, &d, 2);
    put_u16(p, d);
    // dmin * mn about 7.5 steps of d * sc when mn is near sc: the minimum centres the codes.
    put_u16(p + 2, half_bits(7.5f * static_cast<float>(dh)));
    uint8_t sc[8], mn[8];
    for (int i = 0; i < 8; ++i) {
      sc[i] = static_cast<uint8_t>(16 + rng.next() % 48);                           // 16..63
      mn[i] = static_cast<uint8_t>(std::clamp(sc[i] - 4 + static_cast<int>(rng.next() % 9), 0, 63));  // sc +- 4
    }
    uint8_t* s = p + 4;
    for (int i = 0; i < 4; ++i) {
      s[i] = static_cast<uint8_t>((sc[i] & 63) | ((sc[i + 4] >> 4) << 6));
      s[i + 4] = static_cast<uint8_t>((mn[i] & 63) | ((mn[i + 4] >> 4) << 6));
      s[i + 8] = static_cast<uint8_t>((sc[i + 4] & 0x0F) | ((mn[i + 4] & 0x0F) << 4));
    }
    random_bytes(p + 16, 128, rng);
  }
}

// Sixteen sub-blocks of 16 with signed 8-bit scales, 4..15 of either sign (see
// signed_half_in_octave); codes -32..31 spread about 18.5.
void q6_k_blocks(uint8_t* p, std::size_t n_blocks, Rng& rng) {
  for (std::size_t b = 0; b < n_blocks; ++b, p += 210) {
    random_bytes(p, 192, rng);  // low four bits, then high two bits
    for (int i = 0; i < 16; ++i) {
      int sc = 4 + static_cast<int>(rng.next() % 12);
      p[192 + i] = static_cast<uint8_t>(static_cast<int8_t>(rng.next() & 1 ? -sc : sc));
    }
    put_u16(p + 208, half_in_octave(-13, rng));
  }
}

}  // namespace

std::vector<uint8_t> random_matrix(uint32_t ggml_type, std::size_t rows, std::size_t cols, uint64_t seed) {
  const GgmlTypeInfo* info = ggml_type_info(ggml_type);
  if (info == nullptr || cols % info->block_elems != 0)
    throw std::invalid_argument("random_matrix: no blocks of type " + std::to_string(ggml_type) + " for " +
                                std::to_string(cols) + " columns");
  Rng rng{seed};
  const std::size_t n = rows * cols, n_blocks = n / info->block_elems;
  std::vector<uint8_t> out(n_blocks * info->block_bytes);
  uint8_t* p = out.data();
  switch (ggml_type) {
    case GgmlType::F32:
      for (std::size_t i = 0; i < n; ++i) {
        float v = random_weight(rng);
        std::memcpy(p + 4 * i, &v, 4);
      }
      break;
    case GgmlType::F16:
      for (std::size_t i = 0; i < n; ++i) put_u16(p + 2 * i, half_bits(random_weight(rng)));
      break;
    case GgmlType::BF16:
      for (std::size_t i = 0; i < n; ++i) {
        uint32_t u;
        float v = random_weight(rng);
        std::memcpy(&u, &v, 4);
        put_u16(p + 2 * i, static_cast<uint16_t>((u + 0x7FFF + ((u >> 16) & 1)) >> 16));  // nearest, ties even
      }
      break;
    case GgmlType::Q8_0: q8_0_blocks(p, n_blocks, rng); break;
    case GgmlType::Q5_0: q5_0_blocks(p, n_blocks, rng); break;
    case GgmlType::Q5_1: q5_1_blocks(p, n_blocks, rng); break;
    case GgmlType::IQ4_NL: iq4_nl_blocks(p, n_blocks, rng); break;
    case GgmlType::Q4_K: q4_k_blocks(p, n_blocks, rng); break;
    case GgmlType::Q6_K: q6_k_blocks(p, n_blocks, rng); break;
    default: throw std::invalid_argument(std::string("random_matrix: no maker for ") + info->name);
  }
  return out;
}

std::vector<float> random_near(std::size_t n, float centre, float spread, uint64_t seed) {
  Rng rng{seed};
  std::vector<float> v(n);
  for (auto& x : v) x = centre + spread * (2.0f * rng.unit() - 1.0f);
  return v;
}

}  // namespace korvex::bench
