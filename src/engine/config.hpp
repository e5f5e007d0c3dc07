#pragma once
// The model's hyperparameters, read once from the GGUF metadata and read-only afterwards.
#include <cstddef>

#include "gguf/gguf.hpp"

namespace korvex {

struct ModelConfig {
  std::size_t vocab = 0;           // logits per step; token ids lie below it
  std::size_t embed = 0;           // hidden width
  std::size_t heads = 0;           // query heads, at least 1
  std::size_t kv_heads = 0;        // key/value heads (grouped-query attention)
  std::size_t layers = 0;
  std::size_t ffn = 0;             // feed-forward width; one expert's width with experts
  std::size_t head_dim = 0;
  std::size_t n_experts = 0;       // 0: dense feed-forward blocks
  std::size_t n_experts_used = 0;  // experts the router picks per token
  std::size_t orig_ctx = 0;        // trained context length for YaRN; 0: YaRN off
  float rope_freq_base = 10000.0f;
  float rope_scale = 1.0f;         // YaRN factor; 1: no scaling

  // Reads the metadata keys under the architecture prefix; a missing required key or a
  // head count of 0 is a fatal stop.
  static ModelConfig from_gguf(const GgufFile& file);
};

}  // namespace korvex
