#pragma once
// One token at one position through every layer: embedding row, then per layer RMS norm,
// self-attention, residual sum, feed-forward half. Returns the hidden state before the final
// norm and appends one key/value row per layer to the cache.
#include <cstddef>
#include <span>
#include <vector>

#include "engine/config.hpp"
#include "engine/kv_cache.hpp"
#include "engine/rope.hpp"
#include "engine/weights.hpp"

namespace korvex {

// x normalised by its root mean square (with 1e-5 inside the root), times the weight w.
std::vector<float> rms_norm(std::span<const float> x, std::span<const float> w);
// The same into out, resized to x's size, so a buffer can serve step after step.
void rms_norm(std::span<const float> x, std::span<const float> w, std::vector<float>& out);
// out[i] = (x[i] / rms) * w[i]: divided, not multiplied by a reciprocal.
std::vector<float> scale_by_norm(std::span<const float> x, float rms, std::span<const float> w);
// The same into out, which holds at least x's size.
void scale_by_norm(std::span<const float> x, float rms, std::span<const float> w, std::span<float> out);
// The larger of a and b, a NaN operand ignored (both NaN: NaN).
float nan_ignoring_max(float a, float b);
// a[i] + b[i] over the shorter of the two.
std::vector<float> add_residual(std::span<const float> a, std::span<const float> b);
// The same into b, cut to the shorter length: b[i] = a[i] + b[i].
void add_residual_in_place(std::span<const float> a, std::vector<float>& b);

// What every layer of one step shares: the rotation of this position and the score scale.
struct StepContext {
  std::size_t pos = 0;
  RopeTable rope;
  float score_scale = 1.0f;  // (1 / sqrt(head_dim)) * YaRN attention factor
};

StepContext step_context(const ModelConfig& config, const Weights& weights, std::size_t pos);

// The token's row of the embedding matrix, dequantised; "token {} out of vocab range {}" for an
// id at or above vocab.
std::vector<float> embedding_row(std::size_t token, const ModelConfig& config,
                                 const Weights& weights);

// The score of cache position t for one query head: q_head . key(t) from -0.0 in order, times
// the score scale.
float attention_score(std::span<const float> q_head, std::span<const float> keys, std::size_t t,
                      std::size_t kv_dim, std::size_t kv_h, std::size_t head_dim,
                      float score_scale);

// The attention half of layer l from the normalised input y to the output projection with its
// bias; appends this position's key and value rows to cache.layers[l].
std::vector<float> self_attention(std::span<const float> y, std::size_t l, const StepContext& step,
                                  const ModelConfig& config, const Weights& weights,
                                  KvCache& cache);

std::vector<float> forward(std::size_t token, std::size_t pos, const ModelConfig& config,
                           const Weights& weights, KvCache& cache);

}  // namespace korvex
