#include "engine/ffn.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "common/nan_order.hpp"
#include "kernels/expf_array.hpp"
#include "kernels/matvec.hpp"
#include "engine/forward.hpp"

namespace korvex {

std::vector<float> feed_forward(std::span<const float> h, std::size_t l, const ModelConfig& config,
                                const Weights& weights) {
  thread_local std::vector<float> xn;  // reused from layer to layer and token to token
  rms_norm(h, weights.ffn_norm[l], xn);
  std::vector<float> f = config.n_experts == 0 ? dense_ffn(xn, l, config, weights)
                                               : moe_ffn(xn, weights.moe[l], config, weights);
  add_residual_in_place(h, f);  // f = h + f
  return f;
}

namespace {

std::vector<float> product(std::span<const float> x, std::span<const uint8_t> bytes,
                           uint32_t type, std::size_t cols, std::size_t rows) {
  return matvec(x, bytes, type, cols, rows);
}

std::vector<float> product(std::span<const float> x, const TensorInfo& matrix, std::size_t cols,
                           std::size_t rows, const Weights& weights) {
  return matvec(x, weights.file->tensor_data(matrix), matrix.ggml_type, cols, rows);
}

}  // namespace

// The last product keeps u's NaN where both factors are NaN, as the vector gates do.
float silu_gate(float g, float u) { return mul_nan_first(u, g / (expf(-g) + 1.0f)); }

float expert_gate(float g, float u) {
  float gc = g < 7.0f ? g : 7.0f;  // a NaN gate gives 7
  float uc = u < -7.0f ? -7.0f : (u > 7.0f ? 7.0f : u);  // a NaN up value stays NaN
  float glu = gc / (expf(gc * -1.702f) + 1.0f);
  return mul_nan_first(glu, uc + 1.0f);  // glu's NaN where both are NaN
}

std::vector<float> dense_ffn(std::span<const float> xn, std::size_t l, const ModelConfig& config,
                             const Weights& weights) {
  const TensorInfo &gate = weights.ffn_gate[l], &up = weights.ffn_up[l];
  const MatvecJob jobs[] = {{weights.file->tensor_data(gate), gate.ggml_type, config.ffn},
                            {weights.file->tensor_data(up), up.ggml_type, config.ffn}};
  // Gate and up share their input: one pass computes both, and each task gates the rows it
  // has just computed.
  // Kept by the thread: the products write every row of g and u, and the gate every row of a.
  // The tasks run on other threads, so they see these through references, never by name.
  thread_local std::vector<float> kept_gu[2], kept_a;
  std::span<std::vector<float>> gu = kept_gu;
  std::vector<float>& a = kept_a;
  a.resize(config.ffn);
  const std::vector<float>&g = gu[0], &u = gu[1];
  auto gate_rows = [&](std::size_t b, std::size_t e) {
    silu_gate_rows(g.data() + b, u.data() + b, a.data() + b, e - b);
  };
  matvec_same_input(xn, jobs, config.embed, gu, gate_rows);
  return product(a, weights.ffn_down[l], config.ffn, config.embed, weights);
}

namespace {

// The IEEE 754 total order as a signed integer: flipping the magnitude bits of negative values
// makes integer comparison agree with it.
int32_t total_order_key(float f) {
  int32_t bits = std::bit_cast<int32_t>(f);
  return bits ^ static_cast<int32_t>(static_cast<uint32_t>(bits >> 31) >> 1);
}

// bias[e * width ...] added to v, over the elements both have; an empty bias adds nothing.
void add_expert_bias(std::vector<float>& v, const std::vector<float>& bias, std::size_t e,
                     std::size_t width) {
  if (bias.empty()) return;
  std::size_t start = e * width;
  if (start >= bias.size()) return;
  std::size_t n = std::min({width, v.size(), bias.size() - start});
  for (std::size_t i = 0; i < n; ++i) v[i] = bias[start + i] + v[i];
}

// Expert e's matrix of rows x cols inside an expert tensor.
std::span<const uint8_t> expert_matrix(const TensorInfo& experts, std::size_t e, std::size_t rows,
                                       std::size_t cols, const Weights& weights) {
  uint64_t per = ggml_type_size(experts.ggml_type, static_cast<uint64_t>(rows) * cols);
  return tensor_part(weights.file->tensor_data(experts), e, per, experts);
}

// Expert e's output for xn: gate and up with their biases, the clipped gate, down with its bias.
std::vector<float> expert_output(std::span<const float> xn, std::size_t e, const MoeLayer& moe,
                                 const ModelConfig& config, const Weights& weights) {
  std::size_t embed = config.embed, ffn = config.ffn;
  std::span<const uint8_t> gate = expert_matrix(moe.gate_exps, e, ffn, embed, weights);
  std::span<const uint8_t> up = expert_matrix(moe.up_exps, e, ffn, embed, weights);
  std::span<const uint8_t> down = expert_matrix(moe.down_exps, e, embed, ffn, weights);

  // Gate and up in one pass, each task adding the biases to the rows it has just computed
  // and gating them.
  const MatvecJob jobs[] = {{gate, moe.gate_exps.ggml_type, ffn}, {up, moe.up_exps.ggml_type, ffn}};
  std::vector<float> gu[2], a(ffn);
  std::vector<float>&g = gu[0], &u = gu[1];
  const std::vector<float>&bg = moe.gate_exps_bias, &bu = moe.up_exps_bias;
  auto gate_rows = [&](std::size_t b, std::size_t end) {
    for (std::size_t i = b; i < end; ++i) {
      if (e * ffn + i < bg.size()) g[i] = bg[e * ffn + i] + g[i];
      if (e * ffn + i < bu.size()) u[i] = bu[e * ffn + i] + u[i];
    }
    expert_gate_rows(g.data() + b, u.data() + b, a.data() + b, end - b);
  };
  matvec_same_input(xn, jobs, embed, gu, gate_rows);

  std::vector<float> dn = product(a, down, moe.down_exps.ggml_type, ffn, embed);
  add_expert_bias(dn, moe.down_exps_bias, e, embed);
  return dn;
}

}  // namespace

std::vector<ExpertCandidate> rank_experts(std::span<const float> logits) {
  std::vector<ExpertCandidate> candidates(logits.size());
  for (std::size_t i = 0; i < logits.size(); ++i) candidates[i] = {i, logits[i]};
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const ExpertCandidate& a, const ExpertCandidate& b) {
                     return total_order_key(a.logit) > total_order_key(b.logit);
                   });
  return candidates;
}

std::vector<float> router_logits(std::span<const float> xn, const MoeLayer& moe,
                                 const ModelConfig& config) {
  std::vector<float> logits = matvec_f32(moe.gate_inp, xn, config.embed, config.n_experts);
  std::size_t n = std::min(logits.size(), moe.gate_inp_bias.size());
  for (std::size_t i = 0; i < n; ++i) logits[i] = moe.gate_inp_bias[i] + logits[i];
  return logits;
}

std::vector<float> moe_ffn(std::span<const float> xn, const MoeLayer& moe,
                           const ModelConfig& config, const Weights& weights) {
  std::vector<ExpertCandidate> ranked = rank_experts(router_logits(xn, moe, config));
  std::size_t k = std::min(config.n_experts_used, ranked.size());
  std::vector<float> acc(config.embed, 0.0f);
  if (k == 0) return acc;

  // Softmax over the chosen logits only.
  float mx = -std::numeric_limits<float>::infinity();
  for (std::size_t j = 0; j < k; ++j) mx = nan_ignoring_max(mx, ranked[j].logit);
  std::vector<float> w(k);
  float z = -0.0f;
  for (std::size_t j = 0; j < k; ++j) {
    w[j] = expf(ranked[j].logit - mx);
    z = w[j] + z;
  }

  for (std::size_t j = 0; j < k; ++j) {
    std::vector<float> dn = expert_output(xn, ranked[j].index, moe, config, weights);
    float c = w[j] / z;
    std::size_t n = std::min(dn.size(), config.embed);
    for (std::size_t i = 0; i < n; ++i) acc[i] = dn[i] * c + acc[i];
  }
  return acc;
}

}  // namespace korvex
