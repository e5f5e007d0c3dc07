#pragma once
// Tiny transformer models written as GGUF files for the forward-pass tests, with every
// tensor's values kept as f32 so a test can compute what the model should give. Matrix values
// are chosen on each type's exact grid (multiples of 1/64 or 1/256), so a quantised matrix
// dequantises to exactly the kept values.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/fatal.hpp"
#include "dequant/ggml_types.hpp"
#include "engine/config.hpp"
#include "engine/weights.hpp"
#include "gguf/gguf.hpp"
#include "support/gguf_writer.hpp"

namespace korvex::test {

struct TinySpec {
  std::optional<std::string> arch = "qwen2";  // nullopt: no general.architecture key
  std::size_t vocab = 16, embed = 32, heads = 4, kv_heads = 2, layers = 2, ffn = 32, head_dim = 8;
  std::size_t n_experts = 0, n_experts_used = 0, orig_ctx = 0;
  float freq_base = 10000.0f, rope_scale = 1.0f;
  bool qkv_bias = false, output_bias = false;
  std::size_t sinks = 0;  // sink values per layer; 0: no sink tensor
  bool router_bias = false, gate_exps_bias = false, up_exps_bias = false, down_exps_bias = false;
  bool post_attention_norm = false;
  // Types of the matrices, taken in turn in the order the matrices are written.
  std::vector<uint32_t> matrix_types = {GgmlType::F32};
  uint32_t seed = 1;
};

// Little deterministic generator, so every model is the same on every run.
struct Lcg {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
  int range(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<uint32_t>(hi - lo + 1)); }
};

inline uint16_t exact_f16(float v) {
  // Only for values of the grids used here: zero or normal halves, checked below.
  if (v == 0.0f) return std::signbit(v) ? 0x8000 : 0;
  uint32_t b = std::bit_cast<uint32_t>(v);
  uint32_t sign = (b >> 16) & 0x8000, exp = (b >> 23) & 0xFF, man = b & 0x7FFFFF;
  int e = static_cast<int>(exp) - 127 + 15;
  EXPECT_TRUE(e > 0 && e < 31 && (man & 0x1FFF) == 0) << v << " is not an exact half";
  return static_cast<uint16_t>(sign | (static_cast<uint32_t>(e) << 10) | (man >> 13));
}

inline void put_u16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

constexpr int kIq4nlTable[16] = {-127, -104, -83, -65, -49, -35, -22, -10,
                                 1,    13,   25,  38,  53,  69,  89,  113};

// Values of one matrix on the type's grid, and their encoding.
struct Encoded {
  std::vector<float> values;
  std::vector<uint8_t> bytes;
};

inline Encoded encode_matrix(uint32_t type, std::size_t n, Lcg& rng) {
  Encoded e;
  e.values.resize(n);
  std::vector<int> q(n);
  switch (type) {
    case GgmlType::F32:
    case GgmlType::F16:
    case GgmlType::BF16:
    case GgmlType::Q8_0:
      for (std::size_t i = 0; i < n; ++i) q[i] = rng.range(-40, 40), e.values[i] = q[i] / 64.0f;
      break;
    case GgmlType::Q5_0:
      for (std::size_t i = 0; i < n; ++i) q[i] = rng.range(0, 31), e.values[i] = (q[i] - 16) / 64.0f;
      break;
    case GgmlType::Q5_1:  // d = 1/64, m = -1/4
      for (std::size_t i = 0; i < n; ++i) q[i] = rng.range(0, 31), e.values[i] = q[i] / 64.0f - 0.25f;
      break;
    case GgmlType::IQ4_NL:  // d = 1/256
      for (std::size_t i = 0; i < n; ++i) q[i] = rng.range(0, 15), e.values[i] = kIq4nlTable[q[i]] / 256.0f;
      break;
    default:
      ADD_FAILURE() << "no test encoding for type " << type;
  }
  auto& out = e.bytes;
  switch (type) {
    case GgmlType::F32:
      if (n != 0) out = f32_bytes(e.values);  // f32_bytes memcpys from data(), null when empty
      break;
    case GgmlType::F16:
      for (float v : e.values) put_u16(out, exact_f16(v));
      break;
    case GgmlType::BF16:
      for (float v : e.values) put_u16(out, static_cast<uint16_t>(std::bit_cast<uint32_t>(v) >> 16));
      break;
    case GgmlType::Q8_0:
      for (std::size_t b = 0; b + 32 <= n; b += 32) {
        put_u16(out, exact_f16(1.0f / 64));
        for (std::size_t j = 0; j < 32; ++j) out.push_back(static_cast<uint8_t>(static_cast<int8_t>(q[b + j])));
      }
      break;
    case GgmlType::Q5_0:
    case GgmlType::Q5_1:
      for (std::size_t b = 0; b + 32 <= n; b += 32) {
        put_u16(out, exact_f16(1.0f / 64));
        if (type == GgmlType::Q5_1) put_u16(out, exact_f16(-0.25f));
        uint32_t qh = 0;
        for (std::size_t j = 0; j < 32; ++j) qh |= static_cast<uint32_t>((q[b + j] >> 4) & 1) << j;
        for (int s = 0; s < 32; s += 8) out.push_back(static_cast<uint8_t>(qh >> s));
        for (std::size_t j = 0; j < 16; ++j)
          out.push_back(static_cast<uint8_t>((q[b + j] & 15) | ((q[b + j + 16] & 15) << 4)));
      }
      break;
    case GgmlType::IQ4_NL:
      for (std::size_t b = 0; b + 32 <= n; b += 32) {
        put_u16(out, exact_f16(1.0f / 256));
        for (std::size_t j = 0; j < 16; ++j) out.push_back(static_cast<uint8_t>(q[b + j] | (q[b + j + 16] << 4)));
      }
      break;
  }
  return e;
}

struct TinyModel {
  TinySpec spec;
  GgufBuilder builder;
  std::map<std::string, std::vector<float>> values;  // every tensor as the model should see it

  const std::vector<float>& at(const std::string& name) const { return values.at(name); }
  bool has(const std::string& name) const { return values.contains(name); }
};

inline TinyModel make_tiny_model(const TinySpec& s) {
  TinyModel m;
  m.spec = s;
  Lcg rng{s.seed * 0x9E3779B97F4A7C15ull + 7};
  std::size_t type_turn = 0;
  std::string prefix = s.arch.value_or("llama");
  auto& b = m.builder;
  b.kv("general.alignment", mv_u32(32));
  if (s.arch) b.kv("general.architecture", mv_str(*s.arch));
  b.kv(prefix + ".embedding_length", mv_u32(s.embed));
  b.kv(prefix + ".attention.head_count", mv_u32(s.heads));
  b.kv(prefix + ".attention.head_count_kv", mv_u32(s.kv_heads));
  b.kv(prefix + ".block_count", mv_u32(s.layers));
  b.kv(prefix + (s.n_experts ? ".expert_feed_forward_length" : ".feed_forward_length"), mv_u32(s.ffn));
  b.kv(prefix + ".rope.freq_base", mv_f32(s.freq_base));
  b.kv(prefix + ".attention.key_length", mv_u32(s.head_dim));
  b.kv(prefix + ".vocab_size", mv_u32(s.vocab));
  if (s.n_experts) {
    b.kv(prefix + ".expert_count", mv_u32(s.n_experts));
    b.kv(prefix + ".expert_used_count", mv_u32(s.n_experts_used));
  }
  if (s.rope_scale != 1.0f) b.kv(prefix + ".rope.scaling.factor", mv_f32(s.rope_scale));
  if (s.orig_ctx) b.kv(prefix + ".rope.scaling.original_context_length", mv_u32(s.orig_ctx));

  // dims in file order: columns first.
  auto matrix = [&](const std::string& name, std::size_t rows, std::size_t cols, std::size_t count = 1) {
    uint32_t type = s.matrix_types[type_turn++ % s.matrix_types.size()];
    Encoded e = encode_matrix(type, rows * cols * count, rng);
    std::vector<uint64_t> dims = {cols, rows};
    if (count > 1) dims.push_back(count);
    b.tensor(name, dims, type, std::move(e.bytes));
    m.values[name] = std::move(e.values);
  };
  // Vectors are F32: values near `centre`, on the 1/64 grid.
  auto vector = [&](const std::string& name, std::size_t n, float centre, int spread) {
    std::vector<float> v(n);
    for (auto& x : v) x = centre + rng.range(-spread, spread) / 64.0f;
    b.tensor_f32(name, {n}, v);
    m.values[name] = v;
  };

  std::size_t q_dim = s.heads * s.head_dim, kv_dim = s.kv_heads * s.head_dim;
  matrix("token_embd.weight", s.vocab, s.embed);
  for (std::size_t l = 0; l < s.layers; ++l) {
    auto n = [l](const char* suffix) { return "blk." + std::to_string(l) + "." + suffix; };
    vector(n("attn_norm.weight"), s.embed, 1.0f, 16);
    matrix(n("attn_q.weight"), q_dim, s.embed);
    matrix(n("attn_k.weight"), kv_dim, s.embed);
    matrix(n("attn_v.weight"), kv_dim, s.embed);
    matrix(n("attn_output.weight"), s.embed, q_dim);
    if (s.qkv_bias) {
      vector(n("attn_q.bias"), q_dim, 0.0f, 16);
      vector(n("attn_k.bias"), kv_dim, 0.0f, 16);
      vector(n("attn_v.bias"), kv_dim, 0.0f, 16);
    }
    if (s.output_bias) vector(n("attn_output.bias"), s.embed, 0.0f, 16);
    if (s.sinks) vector(n("attn_sinks.weight"), s.sinks, 0.0f, 64);
    vector(n(s.post_attention_norm ? "post_attention_norm.weight" : "ffn_norm.weight"), s.embed, 1.0f, 16);
    if (s.n_experts) {
      vector(n("ffn_gate_inp.weight"), s.n_experts * s.embed, 0.0f, 32);
      if (s.router_bias) vector(n("ffn_gate_inp.bias"), s.n_experts, 0.0f, 32);
      matrix(n("ffn_gate_exps.weight"), s.ffn, s.embed, s.n_experts);
      matrix(n("ffn_up_exps.weight"), s.ffn, s.embed, s.n_experts);
      matrix(n("ffn_down_exps.weight"), s.embed, s.ffn, s.n_experts);
      if (s.gate_exps_bias) vector(n("ffn_gate_exps.bias"), s.n_experts * s.ffn, 0.0f, 16);
      if (s.up_exps_bias) vector(n("ffn_up_exps.bias"), s.n_experts * s.ffn, 0.0f, 16);
      if (s.down_exps_bias) vector(n("ffn_down_exps.bias"), s.n_experts * s.embed, 0.0f, 16);
    } else {
      matrix(n("ffn_gate.weight"), s.ffn, s.embed);
      matrix(n("ffn_up.weight"), s.ffn, s.embed);
      matrix(n("ffn_down.weight"), s.embed, s.ffn);
    }
  }
  matrix("output.weight", s.vocab, s.embed);
  vector("output_norm.weight", s.embed, 1.0f, 16);
  return m;
}

// Replaces (or adds) a tensor's record and bytes; the kept values are dropped.
inline void set_tensor(TinyModel& m, const std::string& name, std::vector<uint64_t> dims,
                       uint32_t type, std::vector<uint8_t> bytes) {
  m.values.erase(name);
  for (auto& t : m.builder.tensors)
    if (t.name == name) {
      t.dims = std::move(dims);
      t.ggml_type = type;
      t.data = std::move(bytes);
      return;
    }
  m.builder.tensor(name, std::move(dims), type, std::move(bytes));
}

// Replaces a tensor of the model by F32 values (dims given in file order, columns first).
inline void set_tensor_f32(TinyModel& m, const std::string& name, std::vector<uint64_t> dims,
                           const std::vector<float>& values) {
  for (auto& t : m.builder.tensors)
    if (t.name == name) {
      t.dims = std::move(dims);
      t.ggml_type = GgmlType::F32;
      t.data = f32_bytes(values);
      m.values[name] = values;
      return;
    }
  m.builder.tensor_f32(name, std::move(dims), values);
  m.values[name] = values;
}

inline void remove_tensor(TinyModel& m, const std::string& name) {
  std::erase_if(m.builder.tensors, [&](const auto& t) { return t.name == name; });
  m.values.erase(name);
}

// The message of the fatal stop that f() ends in.
template <typename F>
std::string fatal_message(F&& f) {
  try {
    f();
  } catch (const Fatal& e) {
    return e.what();
  }
  return "<no fatal stop>";
}

// An opened model file with its configuration and weights.
struct LoadedModel {
  std::shared_ptr<const GgufFile> file;
  ModelConfig config;
  Weights weights;
};

inline std::shared_ptr<const GgufFile> open_gguf(const std::string& path) {
  auto opened = GgufFile::open(path);
  if (!opened) throw std::runtime_error("cannot open test model: " + opened.error().message);
  return std::make_shared<const GgufFile>(std::move(*opened));
}

inline LoadedModel load_model(const std::string& path) {
  LoadedModel m;
  m.file = open_gguf(path);
  m.config = ModelConfig::from_gguf(*m.file);
  m.weights = Weights::load(build_tensor_index(*m.file), m.file, m.config);
  return m;
}

inline LoadedModel load_model(const GgufBuilder& b) { return load_model(b.write()); }

}  // namespace korvex::test
