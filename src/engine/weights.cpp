#include "engine/weights.hpp"

#include <fmt/format.h>

#include <string>

#include "common/fatal.hpp"
#include "dequant/dequant.hpp"
#include "engine/weights_check.hpp"

namespace korvex {

TensorIndex TensorIndex::build(const GgufFile& file) {
  TensorIndex index;
  index.records.reserve(file.tensors.size());
  for (const TensorInfo& info : file.tensors) index.records.insert_or_assign(info.name, &info);
  return index;
}

TensorIndex build_tensor_index(const GgufFile& file) { return TensorIndex::build(file); }

namespace {

const TensorInfo& find_tensor(const TensorIndex& index, std::string_view name) {
  auto it = index.records.find(name);
  if (it == index.records.end()) fatal("tensor not found: {}", name);
  return *it->second;
}

}  // namespace

TensorInfo tensor_ref(const TensorIndex& index, std::string_view name) {
  return find_tensor(index, name);
}

std::vector<float> load_tensor_f32(const TensorIndex& index, const GgufFile& file,
                                   std::string_view name) {
  const TensorInfo& info = find_tensor(index, name);
  return dequantize(file.tensor_data(info), info.ggml_type, info.n_elements());
}

std::span<const uint8_t> tensor_part(std::span<const uint8_t> bytes, uint64_t index, uint64_t size,
                                     const TensorInfo& tensor) {
  uint64_t start;
  if (__builtin_mul_overflow(index, size, &start) || start > bytes.size() ||
      bytes.size() - start < size)
    fatal("tensor {}: part {} of {} bytes lies beyond its {} bytes", tensor.name, index, size,
          bytes.size());
  return bytes.subspan(start, size);
}

namespace {

// Loads the tensors of one layer or of the whole model by name template.
struct Loader {
  const TensorIndex& index;
  const GgufFile& file;
  std::size_t layer = 0;

  std::string name(std::string_view suffix) const { return fmt::format("blk.{}.{}", layer, suffix); }
  std::vector<float> f32(std::string_view suffix) const {
    return load_tensor_f32(index, file, name(suffix));
  }
  TensorInfo record(std::string_view suffix) const { return tensor_ref(index, name(suffix)); }
  // A present optional tensor, or `absent` when the file has none.
  std::vector<float> optional_f32(std::string_view suffix, std::vector<float> absent) const {
    std::string full = name(suffix);
    if (!index.contains(full)) return absent;
    return load_tensor_f32(index, file, full);
  }
};

MoeLayer load_moe_layer(const Loader& at) {
  MoeLayer moe;
  moe.gate_inp = at.f32("ffn_gate_inp.weight");
  moe.gate_inp_bias = at.optional_f32("ffn_gate_inp.bias", {});
  moe.gate_exps = at.record("ffn_gate_exps.weight");
  moe.up_exps = at.record("ffn_up_exps.weight");
  moe.down_exps = at.record("ffn_down_exps.weight");
  moe.gate_exps_bias = at.optional_f32("ffn_gate_exps.bias", {});
  moe.up_exps_bias = at.optional_f32("ffn_up_exps.bias", {});
  moe.down_exps_bias = at.optional_f32("ffn_down_exps.bias", {});
  return moe;
}

void load_layer(Weights& w, const Loader& at, const ModelConfig& config) {
  std::size_t q_dim = config.heads * config.head_dim;
  std::size_t kv_dim = config.kv_heads * config.head_dim;
  w.attn_norm.push_back(at.f32("attn_norm.weight"));
  w.attn_q.push_back(at.record("attn_q.weight"));
  w.attn_k.push_back(at.record("attn_k.weight"));
  w.attn_v.push_back(at.record("attn_v.weight"));
  w.attn_output.push_back(at.record("attn_output.weight"));
  // The forward pass adds these three in every layer, so an absent one is zeros.
  w.attn_q_bias.push_back(at.optional_f32("attn_q.bias", std::vector<float>(q_dim, 0.0f)));
  w.attn_k_bias.push_back(at.optional_f32("attn_k.bias", std::vector<float>(kv_dim, 0.0f)));
  w.attn_v_bias.push_back(at.optional_f32("attn_v.bias", std::vector<float>(kv_dim, 0.0f)));
  w.attn_output_bias.push_back(at.optional_f32("attn_output.bias", {}));
  w.attn_sinks.push_back(at.optional_f32("attn_sinks.weight", {}));
  // The post-attention norm, where a file has one, is the norm before the feed-forward block.
  if (at.index.contains(at.name("post_attention_norm.weight")))
    w.ffn_norm.push_back(at.f32("post_attention_norm.weight"));
  else
    w.ffn_norm.push_back(at.f32("ffn_norm.weight"));

  if (config.n_experts != 0) {
    w.moe.push_back(load_moe_layer(at));
  } else {
    w.ffn_gate.push_back(at.record("ffn_gate.weight"));
    w.ffn_up.push_back(at.record("ffn_up.weight"));
    w.ffn_down.push_back(at.record("ffn_down.weight"));
  }
}

}  // namespace

Weights Weights::load(const TensorIndex& index, std::shared_ptr<const GgufFile> file,
                      const ModelConfig& config) {
  check_attention_widths(config, file->mmap.size);
  Weights w;
  Loader at{index, *file};
  for (std::size_t l = 0; l < config.layers; ++l) {
    at.layer = l;
    load_layer(w, at, config);
  }
  w.token_embd = tensor_ref(index, "token_embd.weight");
  w.output = tensor_ref(index, "output.weight");
  w.output_norm = load_tensor_f32(index, *file, "output_norm.weight");

  std::optional<std::string> arch = file->architecture();
  w.rope_interleaved = arch && *arch == "llama";
  w.file = std::move(file);

  check_weight_shapes(w, config);
  return w;
}

}  // namespace korvex
