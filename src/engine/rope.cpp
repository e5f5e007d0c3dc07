#include "engine/rope.hpp"

#include <cmath>

namespace korvex {

namespace {

// A NaN stays NaN: neither comparison holds for it.
float clamp_keep_nan(float t, float lo, float hi) {
  if (t < lo) return lo;
  if (t > hi) return hi;
  return t;
}

}  // namespace

RopeScaling rope_scaling(const ModelConfig& config) {
  RopeScaling s;
  s.orig_ctx = static_cast<float>(config.orig_ctx);
  s.blend_span = s.orig_ctx * -0.03125f + s.orig_ctx;
  // Written so that a NaN rope_scale keeps the blend on but gets no attention factor.
  s.blend_off = config.rope_scale <= 1.0f || config.orig_ctx == 0;
  s.attention_factor = 1.0f;
  if (config.rope_scale > 1.0f && config.orig_ctx != 0) {
    float m = logf(config.rope_scale) * 0.1f + 1.0f;
    s.attention_factor = m * m;
  }
  return s;
}

float rope_frequency(std::size_t i, const ModelConfig& config, const RopeScaling& scaling) {
  float e = static_cast<float>(2 * i) / static_cast<float>(config.head_dim);
  float pw = powf(config.rope_freq_base, e);
  float freq = 1.0f / pw;
  if (!scaling.blend_off) {
    // -2*pi / freq is minus the pair's wavelength, so r = (L - wavelength) / D.
    float t = -6.2831855f / freq;
    t = t + scaling.orig_ctx;
    t = t / scaling.blend_span;
    float r = clamp_keep_nan(t, 0.0f, 1.0f);
    float scaled = (freq / config.rope_scale) * (1.0f - r);
    float kept = freq * r;
    freq = scaled + kept;
  }
  return freq;
}

RopeTable rope_table(const ModelConfig& config, const RopeScaling& scaling, std::size_t pos,
                     bool interleaved) {
  RopeTable table;
  table.head_dim = config.head_dim;
  table.interleaved = interleaved;
  if (config.head_dim < 2) return table;
  std::size_t half = config.head_dim / 2;
  table.sin.resize(half);
  table.cos.resize(half);
  float pos_f = static_cast<float>(pos);
  for (std::size_t i = 0; i < half; ++i) {
    float angle = rope_frequency(i, config, scaling) * pos_f;
    sincosf(angle, &table.sin[i], &table.cos[i]);
  }
  return table;
}

void apply_rope(std::span<float> v, std::size_t n_heads, const RopeTable& table) {
  std::size_t head_dim = table.head_dim;
  if (head_dim < 2) return;
  std::size_t half = head_dim / 2;
  // Split halves pair element i with i + half; interleaved pairs 2i with 2i + 1. Either way an
  // odd head_dim leaves the head's last element unrotated.
  std::size_t stride = table.interleaved ? 2 : 1;
  std::size_t partner = table.interleaved ? 1 : half;
  if (n_heads > v.size() / head_dim) n_heads = v.size() / head_dim;
  for (std::size_t k = 0; k < n_heads; ++k) {
    float* head = v.data() + k * head_dim;
    for (std::size_t i = 0; i < half; ++i) {
      float& a = head[i * stride];
      float& b = head[i * stride + partner];
      float s = table.sin[i], c = table.cos[i];
      float x0 = a, x1 = b;
      a = c * x0 - s * x1;
      b = s * x0 + c * x1;
    }
  }
}

}  // namespace korvex
