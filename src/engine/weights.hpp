#pragma once
// The model's weights: small vectors (norms, biases, sinks, the expert router) copied out as
// f32, matrices kept as tensor records whose bytes are sliced from the mapping at each use.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/config.hpp"
#include "gguf/gguf.hpp"

namespace korvex {

// Tensor name -> record of the file's tensor table; the later of two equal names wins. Borrows
// from the file, so it lives only while the weights are assembled.
struct TensorIndex {
  std::unordered_map<std::string_view, const TensorInfo*> records;

  static TensorIndex build(const GgufFile& file);
  bool contains(std::string_view name) const { return records.contains(name); }
};

TensorIndex build_tensor_index(const GgufFile& file);

// A copy of the named record; "tensor not found: {}" when the name is not in the index.
TensorInfo tensor_ref(const TensorIndex& index, std::string_view name);
// The named tensor dequantised to f32 (the same fatal stop when it is missing).
std::vector<float> load_tensor_f32(const TensorIndex& index, const GgufFile& file,
                                   std::string_view name);

// Part `index` of a tensor's bytes cut into parts of `size` bytes (an embedding row, one
// expert's matrix); a part beyond the bytes is a fatal stop naming the tensor.
std::span<const uint8_t> tensor_part(std::span<const uint8_t> bytes, uint64_t index, uint64_t size,
                                     const TensorInfo& tensor);

// One layer's mixture of experts. Expert tensors hold n_experts matrices back to back; expert
// biases hold every expert's values back to back. An empty bias means none.
struct MoeLayer {
  std::vector<float> gate_inp;       // router, n_experts rows of embed values
  std::vector<float> gate_inp_bias;  // one per expert, or empty
  TensorInfo gate_exps;
  TensorInfo up_exps;
  TensorInfo down_exps;
  std::vector<float> gate_exps_bias;  // ffn per expert
  std::vector<float> up_exps_bias;    // ffn per expert
  std::vector<float> down_exps_bias;  // embed per expert
};

struct Weights {
  // Per layer, indexed by layer number.
  std::vector<std::vector<float>> attn_norm;
  std::vector<std::vector<float>> ffn_norm;
  std::vector<std::vector<float>> attn_q_bias;  // zeros when the file has none
  std::vector<std::vector<float>> attn_k_bias;
  std::vector<std::vector<float>> attn_v_bias;
  std::vector<std::vector<float>> attn_output_bias;  // empty when the file has none
  std::vector<std::vector<float>> attn_sinks;        // one logit per query head, or empty
  std::vector<TensorInfo> attn_q;
  std::vector<TensorInfo> attn_k;
  std::vector<TensorInfo> attn_v;
  std::vector<TensorInfo> attn_output;
  // Dense models fill these, models with experts fill `moe`; the other stays empty.
  std::vector<TensorInfo> ffn_gate;
  std::vector<TensorInfo> ffn_up;
  std::vector<TensorInfo> ffn_down;
  std::vector<MoeLayer> moe;

  TensorInfo token_embd;
  TensorInfo output;
  std::vector<float> output_norm;

  // Files of architecture "llama" store each head's query and key rows so that elements 2i and
  // 2i+1 rotate together; every other file pairs element i with i + head_dim/2.
  bool rope_interleaved = false;

  // Keeps the mapping alive; every record is resolved against it.
  std::shared_ptr<const GgufFile> file;

  // Loads every tensor in a fixed order (the first missing one is the one reported), then
  // checks every size the forward pass relies on against the configuration.
  static Weights load(const TensorIndex& index, std::shared_ptr<const GgufFile> file,
                      const ModelConfig& config);
};

}  // namespace korvex
