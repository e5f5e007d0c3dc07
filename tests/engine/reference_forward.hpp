#pragma once
// A plain, loop-by-loop transformer step over a TinyModel's kept f32 values: no shared code with
// the engine, no pool, every sum written out. The engine must agree with it bit for bit where
// its products sum like this one (F32 and the types that are dequantised first), and closely
// where a row kernel groups its terms differently.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "tiny_model.hpp"

namespace korvex::test {

struct ReferenceModel {
  const TinyModel& m;
  std::vector<std::vector<float>> keys, values;  // per layer, row after row

  explicit ReferenceModel(const TinyModel& model)
      : m(model), keys(model.spec.layers), values(model.spec.layers) {}

  const std::vector<float>& v(const std::string& name) const { return m.at(name); }
  static std::string blk(std::size_t l, const char* s) { return "blk." + std::to_string(l) + "." + s; }

  // rows x cols matrix starting at value `start` of w, times x.
  static std::vector<float> mat(const std::vector<float>& w, std::size_t rows, std::size_t cols,
                                const std::vector<float>& x, std::size_t start = 0) {
    std::vector<float> out(rows);
    for (std::size_t r = 0; r < rows; ++r) {
      float acc = -0.0f;
      for (std::size_t k = 0; k < cols; ++k) acc = acc + w[start + r * cols + k] * x[k];
      out[r] = acc;
    }
    return out;
  }

  static std::vector<float> norm(const std::vector<float>& x, const std::vector<float>& w) {
    float ss = -0.0f;
    for (float a : x) ss = ss + a * a;
    float rms = std::sqrt(ss / static_cast<float>(x.size()) + 1e-5f);
    std::vector<float> out(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = (x[i] / rms) * w[i];
    return out;
  }

  static float max_ignoring_nan(float a, float b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return std::max(a, b);
  }

  void rotate(std::vector<float>& x, std::size_t n_heads, std::size_t pos) const {
    const TinySpec& s = m.spec;
    std::size_t hd = s.head_dim, half = hd / 2;
    bool interleaved = s.arch && *s.arch == "llama";
    float L = static_cast<float>(s.orig_ctx);
    float D = L * -0.03125f + L;
    bool yarn = s.rope_scale > 1.0f && s.orig_ctx != 0;
    for (std::size_t h = 0; h < n_heads; ++h) {
      for (std::size_t i = 0; i < half; ++i) {
        float freq = 1.0f / powf(s.freq_base, static_cast<float>(2 * i) / static_cast<float>(hd));
        if (yarn) {
          float r = std::clamp((-6.2831855f / freq + L) / D, 0.0f, 1.0f);
          freq = (freq / s.rope_scale) * (1.0f - r) + freq * r;
        }
        float sn, cs;
        sincosf(freq * static_cast<float>(pos), &sn, &cs);
        std::size_t a = h * hd + (interleaved ? 2 * i : i);
        std::size_t b = interleaved ? a + 1 : a + half;
        float x0 = x[a], x1 = x[b];
        x[a] = cs * x0 - sn * x1;
        x[b] = sn * x0 + cs * x1;
      }
    }
  }

  std::vector<float> attention(const std::vector<float>& y, std::size_t l, std::size_t pos) {
    const TinySpec& s = m.spec;
    std::size_t hd = s.head_dim, q_dim = s.heads * hd, kv_dim = s.kv_heads * hd;
    auto q = mat(v(blk(l, "attn_q.weight")), q_dim, s.embed, y);
    auto k = mat(v(blk(l, "attn_k.weight")), kv_dim, s.embed, y);
    auto val = mat(v(blk(l, "attn_v.weight")), kv_dim, s.embed, y);
    if (s.qkv_bias) {
      for (std::size_t i = 0; i < q_dim; ++i) q[i] += v(blk(l, "attn_q.bias"))[i];
      for (std::size_t i = 0; i < kv_dim; ++i) k[i] += v(blk(l, "attn_k.bias"))[i];
      for (std::size_t i = 0; i < kv_dim; ++i) val[i] += v(blk(l, "attn_v.bias"))[i];
    }
    rotate(q, s.heads, pos);
    rotate(k, s.kv_heads, pos);
    keys[l].insert(keys[l].end(), k.begin(), k.end());
    values[l].insert(values[l].end(), val.begin(), val.end());

    float factor = 1.0f;
    if (s.rope_scale > 1.0f && s.orig_ctx != 0) {
      float f = logf(s.rope_scale) * 0.1f + 1.0f;
      factor = f * f;
    }
    float scale = (1.0f / std::sqrt(static_cast<float>(hd))) * factor;
    std::vector<float> out(q_dim, 0.0f);
    for (std::size_t h = 0; h < s.heads; ++h) {
      std::size_t g = h * s.kv_heads / s.heads;
      std::vector<float> score(pos + 1);
      for (std::size_t t = 0; t <= pos; ++t) {
        float dot = -0.0f;
        for (std::size_t j = 0; j < hd; ++j) dot = dot + q[h * hd + j] * keys[l][t * kv_dim + g * hd + j];
        score[t] = dot * scale;
      }
      float sink = -std::numeric_limits<float>::infinity();
      if (h < s.sinks) sink = v(blk(l, "attn_sinks.weight"))[h];
      float mx = sink;
      for (float sc : score) mx = max_ignoring_nan(mx, sc);
      float z = -0.0f;
      for (float& sc : score) z = z + (sc = expf(sc - mx));
      if (h < s.sinks) z = z + expf(sink - mx);
      for (std::size_t t = 0; t <= pos; ++t)
        for (std::size_t d = 0; d < hd; ++d)
          out[h * hd + d] = out[h * hd + d] + (score[t] / z) * values[l][t * kv_dim + g * hd + d];
    }
    auto o = mat(v(blk(l, "attn_output.weight")), s.embed, q_dim, out);
    if (s.output_bias)
      for (std::size_t i = 0; i < s.embed; ++i) o[i] += v(blk(l, "attn_output.bias"))[i];
    return o;
  }

  std::vector<float> dense(const std::vector<float>& xn, std::size_t l) const {
    const TinySpec& s = m.spec;
    auto g = mat(v(blk(l, "ffn_gate.weight")), s.ffn, s.embed, xn);
    auto u = mat(v(blk(l, "ffn_up.weight")), s.ffn, s.embed, xn);
    std::vector<float> a(s.ffn);
    for (std::size_t i = 0; i < s.ffn; ++i) a[i] = g[i] / (expf(-g[i]) + 1.0f) * u[i];
    return mat(v(blk(l, "ffn_down.weight")), s.embed, s.ffn, a);
  }

  std::vector<float> experts(const std::vector<float>& xn, std::size_t l) const {
    const TinySpec& s = m.spec;
    auto logits = mat(v(blk(l, "ffn_gate_inp.weight")), s.n_experts, s.embed, xn);
    if (s.router_bias)
      for (std::size_t i = 0; i < s.n_experts; ++i) logits[i] += v(blk(l, "ffn_gate_inp.bias"))[i];
    std::vector<std::size_t> order(s.n_experts);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return logits[a] > logits[b]; });
    std::size_t k = s.n_experts_used;
    float mx = logits[order[0]];
    std::vector<float> w(k);
    float z = -0.0f;
    for (std::size_t j = 0; j < k; ++j) z = z + (w[j] = expf(logits[order[j]] - mx));
    std::vector<float> acc(s.embed, 0.0f);
    std::size_t per = s.ffn * s.embed;
    for (std::size_t j = 0; j < k; ++j) {
      std::size_t e = order[j];
      auto g = mat(v(blk(l, "ffn_gate_exps.weight")), s.ffn, s.embed, xn, e * per);
      auto u = mat(v(blk(l, "ffn_up_exps.weight")), s.ffn, s.embed, xn, e * per);
      if (s.gate_exps_bias) for (std::size_t i = 0; i < s.ffn; ++i) g[i] += v(blk(l, "ffn_gate_exps.bias"))[e * s.ffn + i];
      if (s.up_exps_bias) for (std::size_t i = 0; i < s.ffn; ++i) u[i] += v(blk(l, "ffn_up_exps.bias"))[e * s.ffn + i];
      std::vector<float> a(s.ffn);
      for (std::size_t i = 0; i < s.ffn; ++i) {
        float gc = std::min(g[i], 7.0f), uc = std::clamp(u[i], -7.0f, 7.0f);
        a[i] = (uc + 1.0f) * (gc / (expf(gc * -1.702f) + 1.0f));
      }
      auto dn = mat(v(blk(l, "ffn_down_exps.weight")), s.embed, s.ffn, a, e * per);
      if (s.down_exps_bias) for (std::size_t i = 0; i < s.embed; ++i) dn[i] += v(blk(l, "ffn_down_exps.bias"))[e * s.embed + i];
      float c = w[j] / z;
      for (std::size_t i = 0; i < s.embed; ++i) acc[i] = acc[i] + dn[i] * c;
    }
    return acc;
  }

  // The hidden state after the last layer, as `forward` returns it.
  std::vector<float> hidden(std::size_t token, std::size_t pos) {
    const TinySpec& s = m.spec;
    const auto& e = v("token_embd.weight");
    std::vector<float> x(e.begin() + token * s.embed, e.begin() + (token + 1) * s.embed);
    for (std::size_t l = 0; l < s.layers; ++l) {
      auto o = attention(norm(x, v(blk(l, "attn_norm.weight"))), l, pos);
      std::vector<float> h(s.embed);
      for (std::size_t i = 0; i < s.embed; ++i) h[i] = x[i] + o[i];
      const char* norm_name = s.post_attention_norm ? "post_attention_norm.weight" : "ffn_norm.weight";
      auto xn = norm(h, v(blk(l, norm_name)));
      auto f = s.n_experts ? experts(xn, l) : dense(xn, l);
      for (std::size_t i = 0; i < s.embed; ++i) x[i] = h[i] + f[i];
    }
    return x;
  }

  std::vector<float> logits(std::size_t token, std::size_t pos) {
    auto xn = norm(hidden(token, pos), v("output_norm.weight"));
    return mat(v("output.weight"), m.spec.vocab, m.spec.embed, xn);
  }
};

}  // namespace korvex::test
