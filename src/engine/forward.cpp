#include "engine/forward.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/fatal.hpp"
#include "common/pool.hpp"
#include "dequant/dequant.hpp"
#include "kernels/matvec.hpp"
#include "engine/attention.hpp"
#include "engine/ffn.hpp"

namespace korvex {

namespace {

// Four floats of an element-wise step at once: each lane does the one operation the scalar
// loop does on its element, so the bits are the same; SSE is in every x86-64 CPU.
using F4 = float __attribute__((vector_size(16)));
F4 load4(const float* p) {
  F4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void store4(float* p, F4 v) { std::memcpy(p, &v, sizeof v); }

// out[i] = a[i] + b[i] over n elements; out may be a or b.
void add_elements(const float* a, const float* b, float* out, std::size_t n) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) store4(out + i, load4(a + i) + load4(b + i));
  for (; i < n; ++i) out[i] = a[i] + b[i];
}

// v[i] = bias[i] + v[i] for the elements both have.
void add_bias(std::vector<float>& v, std::span<const float> bias) {
  std::size_t n = std::min(v.size(), bias.size());
  add_elements(bias.data(), v.data(), v.data(), n);
}

}  // namespace

void scale_by_norm(std::span<const float> x, float rms, std::span<const float> w, std::span<float> out) {
  if (w.size() < x.size())
    fatal("norm weight holds {} values, fewer than the {} it scales", w.size(), x.size());
  const F4 r = {rms, rms, rms, rms};
  std::size_t i = 0;
  for (; i + 4 <= x.size(); i += 4) store4(&out[i], (load4(&x[i]) / r) * load4(&w[i]));
  for (; i < x.size(); ++i) out[i] = (x[i] / rms) * w[i];
}

std::vector<float> scale_by_norm(std::span<const float> x, float rms, std::span<const float> w) {
  std::vector<float> out(x.size());
  scale_by_norm(x, rms, w, out);
  return out;
}

void rms_norm(std::span<const float> x, std::span<const float> w, std::vector<float>& out) {
  float ss = -0.0f;
  for (float v : x) ss = v * v + ss;
  float rms = std::sqrt(ss / static_cast<float>(x.size()) + 1e-5f);
  out.resize(x.size());
  scale_by_norm(x, rms, w, out);
}

std::vector<float> rms_norm(std::span<const float> x, std::span<const float> w) {
  std::vector<float> out;
  rms_norm(x, w, out);
  return out;
}

float nan_ignoring_max(float a, float b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a > b ? a : b;
}

std::vector<float> add_residual(std::span<const float> a, std::span<const float> b) {
  std::vector<float> out(std::min(a.size(), b.size()));
  add_elements(a.data(), b.data(), out.data(), out.size());
  return out;
}

void add_residual_in_place(std::span<const float> a, std::vector<float>& b) {
  b.resize(std::min(a.size(), b.size()));
  add_elements(a.data(), b.data(), b.data(), b.size());
}

StepContext step_context(const ModelConfig& config, const Weights& weights, std::size_t pos) {
  RopeScaling scaling = rope_scaling(config);
  StepContext step;
  step.pos = pos;
  step.rope = rope_table(config, scaling, pos, weights.rope_interleaved);
  float root = std::sqrt(static_cast<float>(config.head_dim));
  step.score_scale = (1.0f / root) * scaling.attention_factor;
  return step;
}

std::vector<float> embedding_row(std::size_t token, const ModelConfig& config,
                                 const Weights& weights) {
  const TensorInfo& embd = weights.token_embd;
  std::span<const uint8_t> bytes = weights.file->tensor_data(embd);
  uint64_t row_bytes = ggml_type_size(embd.ggml_type, config.embed);
  if (token >= config.vocab) fatal("token {} out of vocab range {}", token, config.vocab);
  return dequantize(tensor_part(bytes, token, row_bytes, embd), embd.ggml_type, config.embed);
}

float attention_score(std::span<const float> q_head, std::span<const float> keys, std::size_t t,
                      std::size_t kv_dim, std::size_t kv_h, std::size_t head_dim,
                      float score_scale) {
  const float* key = keys.data() + t * kv_dim + kv_h * head_dim;
  float dot = -0.0f;
  for (std::size_t j = 0; j < head_dim; ++j) dot = q_head[j] * key[j] + dot;
  return dot * score_scale;
}

namespace {

struct Projections {
  std::vector<float> q, k, v;
};

std::vector<float> project(std::span<const float> x, const TensorInfo& matrix, std::size_t cols,
                           std::size_t rows, const Weights& weights) {
  return matvec(x, weights.file->tensor_data(matrix), matrix.ggml_type, cols, rows);
}

// Query, key and value of this position: projections, biases, rotation.
Projections project_qkv(std::span<const float> y, std::size_t l, const StepContext& step,
                        const ModelConfig& config, const Weights& weights) {
  std::size_t q_dim = config.heads * config.head_dim;
  std::size_t kv_dim = config.kv_heads * config.head_dim;
  // The three products share their input: one pass over the pool computes them all.
  auto job = [&](const TensorInfo& m, std::size_t rows) {
    return MatvecJob{weights.file->tensor_data(m), m.ggml_type, rows};
  };
  const MatvecJob jobs[] = {job(weights.attn_q[l], q_dim), job(weights.attn_k[l], kv_dim),
                            job(weights.attn_v[l], kv_dim)};
  auto outs = matvec_same_input(y, jobs, config.embed);
  Projections p{std::move(outs[0]), std::move(outs[1]), std::move(outs[2])};
  add_bias(p.q, weights.attn_q_bias[l]);
  add_bias(p.k, weights.attn_k_bias[l]);
  add_bias(p.v, weights.attn_v_bias[l]);
  apply_rope(p.q, config.heads, step.rope);
  apply_rope(p.k, config.kv_heads, step.rope);
  return p;
}

}  // namespace

std::vector<float> self_attention(std::span<const float> y, std::size_t l, const StepContext& step,
                                  const ModelConfig& config, const Weights& weights,
                                  KvCache& cache) {
  std::size_t head_dim = config.head_dim;
  std::size_t q_dim = config.heads * head_dim;
  Projections p = project_qkv(y, l, step, config, weights);

  // Appended before the scores, so the position attends to itself.
  LayerCache& lc = cache.layers[l];
  lc.keys.insert(lc.keys.end(), p.k.begin(), p.k.end());
  lc.values.insert(lc.values.end(), p.v.begin(), p.v.end());

  std::vector<float> attn_out(q_dim, 0.0f);
  attend_position(p.q, lc, weights.attn_sinks[l], step.pos + 1,
                  {config.heads, config.kv_heads, head_dim, step.score_scale}, attn_out);

  std::vector<float> o = project(attn_out, weights.attn_output[l], q_dim, config.embed, weights);
  add_bias(o, weights.attn_output_bias[l]);
  return o;
}

namespace {

// Every layer must hold exactly pos rows on entry; anything else would read outside the cache.
void check_cache(const KvCache& cache, std::size_t pos, const ModelConfig& config) {
  if (cache.layers.size() != config.layers)
    fatal("kv cache has {} layers, the model {}", cache.layers.size(), config.layers);
  std::size_t expected = pos * config.kv_heads * config.head_dim;
  for (std::size_t l = 0; l < cache.layers.size(); ++l) {
    const LayerCache& lc = cache.layers[l];
    if (lc.keys.size() != expected || lc.values.size() != expected)
      fatal("kv cache of layer {} holds {} key and {} value floats, position {} needs {}", l,
            lc.keys.size(), lc.values.size(), pos, expected);
  }
}

}  // namespace

std::vector<float> forward(std::size_t token, std::size_t pos, const ModelConfig& config,
                           const Weights& weights, KvCache& cache) {
  std::vector<float> x = embedding_row(token, config, weights);
  if (config.layers == 0) return x;
  check_cache(cache, pos, config);
  StepContext step = step_context(config, weights, pos);
  // The token's parallel steps are phases of one region: the pool's threads start once for
  // the token instead of once for each product.
  ParallelRegion region;

  // The norm's output is the one vector every layer needs that no product returns: one for
  // the thread, reused from token to token.
  thread_local std::vector<float> y;
  for (std::size_t l = 0; l < config.layers; ++l) {
    rms_norm(x, weights.attn_norm[l], y);
    std::vector<float> h = self_attention(y, l, step, config, weights, cache);
    add_residual_in_place(x, h);  // h = x + the attention's output
    x = feed_forward(h, l, config, weights);
  }
  return x;
}

}  // namespace korvex
