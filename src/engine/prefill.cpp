#include "engine/prefill.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <vector>

#include "common/fatal.hpp"
#include "common/pool.hpp"
#include "kernels/expf_array.hpp"
#include "dequant/ggml_types.hpp"
#include "kernels/matmul.hpp"
#include "kernels/matvec.hpp"
#include "engine/attention.hpp"
#include "engine/ffn.hpp"
#include "engine/forward.hpp"
#include "engine/logits.hpp"

namespace korvex {
namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

// A batch of vectors of one width, row-major; one allocation reused for every layer.
struct Rows {
  std::vector<float> data;
  std::size_t width = 0;

  void shape(std::size_t n, std::size_t w) {
    width = w;
    data.resize(n * w);
  }
  float* row(std::size_t i) { return data.data() + i * width; }
  const float* row(std::size_t i) const { return data.data() + i * width; }
};

// The activations of one chunk, sized once per prefill.
struct Workspace {
  Rows x, y, q, k, v, attn, o, h, xn, g, u, a, f;
  // Experts: the inputs routed to one expert, and every position's chosen expert outputs.
  Rows routed_in, routed_g, routed_u, routed_a, routed_out, expert_out;
  std::vector<std::size_t> routed_slot;
};

std::span<const float> view(const Rows& r, std::size_t n) { return {r.data.data(), n * r.width}; }
std::span<float> view(Rows& r, std::size_t n) { return {r.data.data(), n * r.width}; }

// rms_norm of each of n rows, into out: the same operations as rms_norm, without a vector
// per row.
void norm_rows(const Rows& x, std::size_t n, std::span<const float> w, Rows& out) {
  const std::size_t width = x.width;
  if (w.size() < width)
    fatal("norm weight holds {} values, fewer than the {} it scales", w.size(), width);
  out.shape(n, width);
  for (std::size_t i = 0; i < n; ++i) {
    const float* xi = x.row(i);
    float ss = -0.0f;
    for (std::size_t j = 0; j < width; ++j) ss = xi[j] * xi[j] + ss;
    float rms = std::sqrt(ss / static_cast<float>(width) + 1e-5f);
    float* oi = out.row(i);
    for (std::size_t j = 0; j < width; ++j) oi[j] = (xi[j] / rms) * w[j];
  }
}

// v[i] = bias[i] + v[i] in every row, for the elements both have.
void add_bias_rows(Rows& v, std::size_t n, std::span<const float> bias) {
  std::size_t m = std::min(v.width, bias.size());
  for (std::size_t i = 0; i < n; ++i) {
    float* r = v.row(i);
    for (std::size_t j = 0; j < m; ++j) r[j] = bias[j] + r[j];
  }
}

// out = a + b, row by row (both of one width).
void add_rows(const Rows& a, const Rows& b, std::size_t n, Rows& out) {
  out.shape(n, a.width);
  for (std::size_t i = 0; i < n * a.width; ++i) out.data[i] = a.data[i] + b.data[i];
}

void project(const Rows& in, std::size_t n, const TensorInfo& matrix, std::size_t rows,
             const Weights& weights, Rows& out) {
  out.shape(n, rows);
  matmul_into(view(in, n), n, weights.file->tensor_data(matrix), matrix.ggml_type, in.width, rows,
              view(out, n));
}

// One stored matrix of `rows` rows and the rows of the chunk it fills.
struct Projection {
  std::span<const uint8_t> matrix;
  uint32_t ggml_type;
  std::size_t rows;
  Rows* out;
};

// Products of the same inputs (query, key, value; gate, up) in one call: the inputs are
// rearranged once and all the rows share one hand-off to the pool.
void project_same_input(const Rows& in, std::size_t n, std::initializer_list<Projection> projections) {
  std::vector<MatmulJob> jobs;
  for (const Projection& p : projections) {
    p.out->shape(n, p.rows);
    jobs.push_back({p.matrix, p.ggml_type, p.rows, view(*p.out, n)});
  }
  matmul_same_input(view(in, n), n, in.width, jobs);
}

Projection projection(const TensorInfo& matrix, std::size_t rows, const Weights& weights, Rows& out) {
  return {weights.file->tensor_data(matrix), matrix.ggml_type, rows, &out};
}

// The attention half of layer l for the chunk's positions first..first+n-1.
void chunk_attention(std::size_t l, std::size_t first, std::size_t n,
                     const std::vector<StepContext>& steps, const ModelConfig& config,
                     const Weights& weights, KvCache& cache, Workspace& ws) {
  const std::size_t head_dim = config.head_dim;
  const std::size_t q_dim = config.heads * head_dim;
  const std::size_t kv_dim = config.kv_heads * head_dim;

  project_same_input(ws.y, n,
                     {projection(weights.attn_q[l], q_dim, weights, ws.q),
                      projection(weights.attn_k[l], kv_dim, weights, ws.k),
                      projection(weights.attn_v[l], kv_dim, weights, ws.v)});
  add_bias_rows(ws.q, n, weights.attn_q_bias[l]);
  add_bias_rows(ws.k, n, weights.attn_k_bias[l]);
  add_bias_rows(ws.v, n, weights.attn_v_bias[l]);

  // Every row of the chunk is appended before any score: a position reads only the rows up
  // to its own, so this gives what appending one position at a time gives.
  LayerCache& lc = cache.layers[l];
  for (std::size_t i = 0; i < n; ++i) {
    apply_rope({ws.q.row(i), q_dim}, config.heads, steps[i].rope);
    apply_rope({ws.k.row(i), kv_dim}, config.kv_heads, steps[i].rope);
    lc.keys.insert(lc.keys.end(), ws.k.row(i), ws.k.row(i) + kv_dim);
    lc.values.insert(lc.values.end(), ws.v.row(i), ws.v.row(i) + kv_dim);
  }

  ws.attn.shape(n, q_dim);
  std::fill(ws.attn.data.begin(), ws.attn.data.end(), 0.0f);
  const float score_scale = steps.empty() ? 1.0f : steps[0].score_scale;
  attend_chunk(ChunkAttention(ws.q.row(0), q_dim, first, n, lc, weights.attn_sinks[l],
                              {config.heads, config.kv_heads, head_dim, score_scale}, ws.attn.row(0), q_dim));

  project(ws.attn, n, weights.attn_output[l], config.embed, weights, ws.o);
  add_bias_rows(ws.o, n, weights.attn_output_bias[l]);
}

// out[i] = gate(g[i], u[i]) over n rows, with the gate's array kernel (silu_gate_rows or
// expert_gate_rows, each element computed alone, so the rows can run on the pool).
using GateRowsFn = void (*)(const float* g, const float* u, float* out, std::size_t n);

void gate_rows(const Rows& g, const Rows& u, std::size_t n, GateRowsFn gate, Rows& out) {
  out.shape(n, g.width);
  parallel_ranges(n, 1, [&](std::size_t b, std::size_t e) {
    std::size_t first = b * g.width, count = (e - b) * g.width;
    gate(g.data.data() + first, u.data.data() + first, out.data.data() + first, count);
  });
}

void dense_block(std::size_t l, std::size_t n, const ModelConfig& config, const Weights& weights,
                 Workspace& ws) {
  project_same_input(ws.xn, n,
                     {projection(weights.ffn_gate[l], config.ffn, weights, ws.g),
                      projection(weights.ffn_up[l], config.ffn, weights, ws.u)});
  gate_rows(ws.g, ws.u, n, silu_gate_rows, ws.a);
  project(ws.a, n, weights.ffn_down[l], config.embed, weights, ws.f);
}

// bias[e * width ...] added to each of n rows, over the elements both have.
void add_expert_bias_rows(Rows& v, std::size_t n, const std::vector<float>& bias, std::size_t e,
                          std::size_t width) {
  if (bias.empty()) return;
  std::size_t start = e * width;
  if (start >= bias.size()) return;
  std::size_t m = std::min({width, v.width, bias.size() - start});
  for (std::size_t i = 0; i < n; ++i) {
    float* r = v.row(i);
    for (std::size_t j = 0; j < m; ++j) r[j] = bias[start + j] + r[j];
  }
}

std::span<const uint8_t> expert_matrix(const TensorInfo& experts, std::size_t e, std::size_t rows,
                                       std::size_t cols, const Weights& weights) {
  uint64_t per = ggml_type_size(experts.ggml_type, static_cast<uint64_t>(rows) * cols);
  return tensor_part(weights.file->tensor_data(experts), e, per, experts);
}

void expert_project(const Rows& in, std::size_t n, const TensorInfo& experts, std::size_t e,
                    std::size_t rows, const Weights& weights, Rows& out) {
  out.shape(n, rows);
  matmul_into(view(in, n), n, expert_matrix(experts, e, rows, in.width, weights), experts.ggml_type,
              in.width, rows, view(out, n));
}

// Per position the router's choice and weights as moe_ffn makes them; then each expert runs
// once over all the positions that chose it, and each position adds its experts' outputs in
// its own ranked order.
void moe_block(std::size_t l, std::size_t n, const ModelConfig& config, const Weights& weights,
               Workspace& ws) {
  const MoeLayer& moe = weights.moe[l];
  const std::size_t embed = config.embed, ffn = config.ffn;
  ws.f.shape(n, embed);
  std::fill(ws.f.data.begin(), ws.f.data.end(), 0.0f);
  const std::size_t k = std::min(config.n_experts_used, config.n_experts);
  if (k == 0) return;

  std::vector<std::vector<ExpertCandidate>> chosen(n);
  std::vector<float> factor(n * k);
  for (std::size_t i = 0; i < n; ++i) {
    chosen[i] = rank_experts(router_logits({ws.xn.row(i), embed}, moe, config));
    chosen[i].resize(k);
    float mx = kNegInf;
    for (std::size_t j = 0; j < k; ++j) mx = nan_ignoring_max(mx, chosen[i][j].logit);
    float z = -0.0f;
    for (std::size_t j = 0; j < k; ++j) {
      factor[i * k + j] = expf(chosen[i][j].logit - mx);
      z = factor[i * k + j] + z;
    }
    for (std::size_t j = 0; j < k; ++j) factor[i * k + j] = factor[i * k + j] / z;
  }

  ws.expert_out.shape(n * k, embed);
  for (std::size_t e = 0; e < config.n_experts; ++e) {
    ws.routed_slot.clear();
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < k; ++j)
        if (chosen[i][j].index == e) ws.routed_slot.push_back(i * k + j);
    const std::size_t m = ws.routed_slot.size();
    if (m == 0) continue;
    ws.routed_in.shape(m, embed);
    for (std::size_t s = 0; s < m; ++s)
      std::copy_n(ws.xn.row(ws.routed_slot[s] / k), embed, ws.routed_in.row(s));
    project_same_input(
        ws.routed_in, m,
        {{expert_matrix(moe.gate_exps, e, ffn, embed, weights), moe.gate_exps.ggml_type, ffn, &ws.routed_g},
         {expert_matrix(moe.up_exps, e, ffn, embed, weights), moe.up_exps.ggml_type, ffn, &ws.routed_u}});
    add_expert_bias_rows(ws.routed_g, m, moe.gate_exps_bias, e, ffn);
    add_expert_bias_rows(ws.routed_u, m, moe.up_exps_bias, e, ffn);
    gate_rows(ws.routed_g, ws.routed_u, m, expert_gate_rows, ws.routed_a);
    expert_project(ws.routed_a, m, moe.down_exps, e, embed, weights, ws.routed_out);
    add_expert_bias_rows(ws.routed_out, m, moe.down_exps_bias, e, embed);
    for (std::size_t s = 0; s < m; ++s)
      std::copy_n(ws.routed_out.row(s), embed, ws.expert_out.row(ws.routed_slot[s]));
  }

  for (std::size_t i = 0; i < n; ++i) {
    float* acc = ws.f.row(i);
    for (std::size_t j = 0; j < k; ++j) {
      const float* dn = ws.expert_out.row(i * k + j);
      float c = factor[i * k + j];
      for (std::size_t d = 0; d < embed; ++d) acc[d] = dn[d] * c + acc[d];
    }
  }
}

// One chunk of positions first..first+n-1 through every layer; leaves the hidden states in
// ws.x.
void run_chunk(std::span<const std::size_t> ids, std::size_t first, const ModelConfig& config,
               const Weights& weights, KvCache& cache, Workspace& ws) {
  const std::size_t n = ids.size();
  ws.x.shape(n, config.embed);
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<float> row = embedding_row(ids[i], config, weights);
    std::copy(row.begin(), row.end(), ws.x.row(i));
  }
  std::vector<StepContext> steps;
  steps.reserve(n);
  for (std::size_t i = 0; i < n; ++i) steps.push_back(step_context(config, weights, first + i));

  for (std::size_t l = 0; l < config.layers; ++l) {
    norm_rows(ws.x, n, weights.attn_norm[l], ws.y);
    chunk_attention(l, first, n, steps, config, weights, cache, ws);
    add_rows(ws.x, ws.o, n, ws.h);
    norm_rows(ws.h, n, weights.ffn_norm[l], ws.xn);
    if (config.n_experts == 0)
      dense_block(l, n, config, weights, ws);
    else
      moe_block(l, n, config, weights, ws);
    add_rows(ws.h, ws.f, n, ws.x);
  }
}

// Rows already in the cache; every layer must hold the same whole number of rows.
std::size_t cached_positions(const KvCache& cache, const ModelConfig& config) {
  if (cache.layers.size() != config.layers)
    fatal("kv cache has {} layers, the model {}", cache.layers.size(), config.layers);
  const std::size_t kv_dim = config.kv_heads * config.head_dim;
  if (cache.layers.empty() || kv_dim == 0) return 0;
  const std::size_t floats = cache.layers[0].keys.size();
  for (std::size_t l = 0; l < cache.layers.size(); ++l) {
    const LayerCache& lc = cache.layers[l];
    if (lc.keys.size() != floats || lc.values.size() != floats || floats % kv_dim != 0)
      fatal("kv cache of layer {} holds {} key and {} value floats, not whole rows of {}", l,
            lc.keys.size(), lc.values.size(), kv_dim);
  }
  return floats / kv_dim;
}

}  // namespace

std::vector<float> prefill(std::span<const std::size_t> prompt, const ModelConfig& config,
                           const Weights& weights, KvCache& cache, std::size_t chunk,
                           const std::function<bool()>& stop) {
  const auto stopped = [&stop] { return stop && stop(); };
  if (prompt.empty()) fatal("empty prompt");
  for (std::size_t id : prompt)
    if (id >= config.vocab) fatal("token {} out of vocab range {}", id, config.vocab);
  const std::size_t start = cached_positions(cache, config);

  // A hidden state narrower than embed (an embedding of blocks that do not fill the width)
  // changes how the products read it; one position at a time keeps those semantics.
  const GgmlTypeInfo* embd = ggml_type_info(weights.token_embd.ggml_type);
  const bool narrow = embd == nullptr || config.embed % embd->block_elems != 0;
  if (narrow || config.layers == 0) {
    for (std::size_t i = 0; i + 1 < prompt.size(); ++i) {
      if (stopped()) return {};
      forward(prompt[i], start + i, config, weights, cache);
    }
    if (stopped()) return {};
    return forward_logits(prompt.back(), start + prompt.size() - 1, config, weights, cache);
  }

  const std::size_t kv_dim = config.kv_heads * config.head_dim;
  for (LayerCache& lc : cache.layers) {
    lc.keys.reserve((start + prompt.size()) * kv_dim);
    lc.values.reserve((start + prompt.size()) * kv_dim);
  }
  if (chunk == 0) chunk = kPrefillChunk;
  Workspace ws;
  for (std::size_t c = 0; c < prompt.size(); c += chunk) {
    if (stopped()) return {};
    std::size_t n = std::min(chunk, prompt.size() - c);
    run_chunk(prompt.subspan(c, n), start + c, config, weights, cache, ws);
  }

  const std::size_t last = (prompt.size() - 1) % chunk;
  std::vector<float> xn = rms_norm({ws.x.row(last), config.embed}, weights.output_norm);
  const TensorInfo& output = weights.output;
  return matvec(xn, weights.file->tensor_data(output), output.ggml_type, config.embed, config.vocab);
}

}  // namespace korvex
