#include "engine/config.hpp"

#include "common/fatal.hpp"

namespace korvex {
namespace {

// The first suffix whose key yields a 32-bit integer.
std::optional<uint32_t> first_u32(const GgufFile& file, std::initializer_list<std::string_view> suffixes) {
  for (std::string_view s : suffixes)
    if (auto v = file.meta_u32(s)) return v;
  return std::nullopt;
}

uint32_t required_u32(const GgufFile& file, std::initializer_list<std::string_view> suffixes,
                      const char* missing_message) {
  auto v = first_u32(file, suffixes);
  if (!v) fatal(missing_message);
  return *v;
}

// The token list's length stands in for a missing vocab_size; only its low 32 bits count,
// like every other integer of the configuration.
std::optional<uint32_t> token_array_length(const GgufFile& file) {
  auto it = file.metadata.find("tokenizer.ggml.tokens");
  if (it == file.metadata.end()) return std::nullopt;
  auto* items = it->second.get<MetaArray>();
  if (!items) return std::nullopt;
  return static_cast<uint32_t>(items->size());
}

}  // namespace

// The read order decides which message a file with several missing keys gets.
ModelConfig ModelConfig::from_gguf(const GgufFile& file) {
  ModelConfig c;
  c.embed = required_u32(file, {"embedding_length"}, "missing embedding_length");
  c.heads = required_u32(file, {"head_count", "attention.head_count"}, "missing head_count");
  c.kv_heads = first_u32(file, {"head_count_kv", "attention.head_count_kv"}).value_or(c.heads);
  c.layers = required_u32(file, {"block_count"}, "missing block_count");
  c.ffn = required_u32(file, {"expert_feed_forward_length", "feed_forward_length", "attention.feed_forward_length"},
                       "missing feed_forward_length");
  c.rope_freq_base = file.meta_f32({"rope.freq_base", "attention.rope.freq_base"}).value_or(10000.0f);
  // Every later step splits by the head count, so a file without heads is refused here,
  // before the default head width would divide by it.
  if (c.heads == 0) fatal("invalid head_count 0");
  auto key_length = file.meta_u32("attention.key_length");
  c.head_dim = key_length ? *key_length : c.embed / c.heads;

  auto vocab = file.meta_u32("vocab_size");
  if (!vocab) vocab = token_array_length(file);
  if (!vocab) fatal("cannot determine vocab_size");
  c.vocab = *vocab;

  c.n_experts = first_u32(file, {"expert_count", "experts_count", "num_experts"}).value_or(0);
  c.n_experts_used = first_u32(file, {"expert_used_count", "experts_used"}).value_or(c.n_experts != 0 ? 2 : 0);
  c.rope_scale = file.meta_f32({"rope.scaling.factor"}).value_or(1.0f);
  c.orig_ctx = file.meta_u32("rope.scaling.original_context_length").value_or(0);
  return c;
}

}  // namespace korvex
