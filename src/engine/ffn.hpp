#pragma once
// The feed-forward half of a layer: RMS norm, a dense gated block or a mixture of experts,
// residual sum.
#include <cstddef>
#include <span>
#include <vector>

#include "engine/config.hpp"
#include "engine/weights.hpp"

namespace korvex {

// h plus the feed-forward block of layer l applied to rms_norm(h, ffn_norm[l]).
std::vector<float> feed_forward(std::span<const float> h, std::size_t l, const ModelConfig& config,
                                const Weights& weights);

// down(g * sigmoid(g) * u) with g = gate(xn), u = up(xn); no biases.
std::vector<float> dense_ffn(std::span<const float> xn, std::size_t l, const ModelConfig& config,
                             const Weights& weights);

// The dense gate: (g / (expf(-g) + 1)) * u.
float silu_gate(float g, float u);
// The expert gate: the gate clipped from above at 7, the up value clamped to [-7, 7], then
// (u + 1) * (g / (expf(g * -1.702) + 1)).
float expert_gate(float g, float u);

struct ExpertCandidate {
  std::size_t index;
  float logit;
};

// Every expert, largest logit first under the IEEE total order (+NaN first, -NaN last, +0.0
// before -0.0); equal logits keep index order.
std::vector<ExpertCandidate> rank_experts(std::span<const float> logits);

// The router's logits for xn: the router matrix times xn, plus the router bias.
std::vector<float> router_logits(std::span<const float> xn, const MoeLayer& moe,
                                 const ModelConfig& config);

// The n_experts_used best experts of the router, weighted by a softmax over their logits and
// added up largest logit first.
std::vector<float> moe_ffn(std::span<const float> xn, const MoeLayer& moe,
                           const ModelConfig& config, const Weights& weights);

}  // namespace korvex
