#pragma once
// Rotary position embedding with the optional YaRN frequency blend. The angles depend only on
// the pair index and the position, so one table per step serves every head of every layer.
#include <cstddef>
#include <span>
#include <vector>

#include "engine/config.hpp"

namespace korvex {

// The per-step values that the rotation and the score scale derive from the configuration.
struct RopeScaling {
  float orig_ctx;          // L
  float blend_span;        // D = L - L/32
  bool blend_off;          // rope_scale <= 1 or orig_ctx == 0
  float attention_factor;  // YaRN's score boost, 1 without scaling
};

RopeScaling rope_scaling(const ModelConfig& config);

// The rotation of one position: sin and cos of every pair's angle.
struct RopeTable {
  std::size_t head_dim = 0;
  bool interleaved = false;  // pairs (2i, 2i+1) instead of (i, i + head_dim/2)
  std::vector<float> sin;
  std::vector<float> cos;
};

// The frequency of pair i: 1 / base^(2i/head_dim), blended towards freq / rope_scale by the
// pair's wavelength when YaRN is on.
float rope_frequency(std::size_t i, const ModelConfig& config, const RopeScaling& scaling);

RopeTable rope_table(const ModelConfig& config, const RopeScaling& scaling, std::size_t pos,
                     bool interleaved);

// Rotates each of the n_heads heads of v (head k = v[k*head_dim, (k+1)*head_dim)) in place.
void apply_rope(std::span<float> v, std::size_t n_heads, const RopeTable& table);

}  // namespace korvex
