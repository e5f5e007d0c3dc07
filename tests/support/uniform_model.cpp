#include "support/uniform_model.hpp"

#include <stdexcept>
#include <vector>

#include "gguf/gguf.hpp"
#include "support/gguf_writer.hpp"

namespace korvex::test {

std::string write_uniform_model(const UniformModelShape& s) {
  GgufBuilder b;
  std::size_t vocab = s.vocab;
  if (!s.vocabulary_from.empty()) {
    auto source = GgufFile::open(s.vocabulary_from);
    if (!source) throw std::runtime_error("cannot open " + s.vocabulary_from);
    for (const auto& [key, value] : source->metadata) {
      if (key.rfind("tokenizer.", 0) != 0) continue;
      b.kv(key, value);
      if (key == "tokenizer.ggml.tokens") vocab = value.get<MetaArray>()->size();
    }
  }
  b.kv("general.architecture", mv_str("llama"));
  b.kv("llama.embedding_length", mv_u32(static_cast<uint32_t>(s.embed)));
  b.kv("llama.block_count", mv_u32(static_cast<uint32_t>(s.layers)));
  b.kv("llama.feed_forward_length", mv_u32(static_cast<uint32_t>(s.ffn)));
  b.kv("llama.attention.head_count", mv_u32(static_cast<uint32_t>(s.heads)));
  b.kv("llama.attention.head_count_kv", mv_u32(static_cast<uint32_t>(s.kv_heads)));
  b.kv("llama.attention.key_length", mv_u32(static_cast<uint32_t>(s.head_dim)));
  b.kv("llama.vocab_size", mv_u32(static_cast<uint32_t>(vocab)));

  // Dims in file order: columns first.
  auto quarter = [&](const std::string& name, std::size_t cols, std::size_t rows) {
    b.tensor_f32(name, rows == 1 ? std::vector<uint64_t>{cols} : std::vector<uint64_t>{cols, rows},
                 std::vector<float>(cols * rows, 0.25f));
  };
  const std::size_t q_dim = s.heads * s.head_dim, kv_dim = s.kv_heads * s.head_dim;
  quarter("token_embd.weight", s.embed, vocab);
  quarter("output_norm.weight", s.embed, 1);
  std::vector<float> output(s.embed * vocab, 0.0f);
  for (std::size_t i = 0; i < s.embed; ++i) output[s.winner * s.embed + i] = 1.0f;
  b.tensor_f32("output.weight", {s.embed, vocab}, output);
  for (std::size_t l = 0; l < s.layers; ++l) {
    const std::string p = "blk." + std::to_string(l) + ".";
    quarter(p + "attn_norm.weight", s.embed, 1);
    quarter(p + "ffn_norm.weight", s.embed, 1);
    quarter(p + "attn_q.weight", s.embed, q_dim);
    quarter(p + "attn_k.weight", s.embed, kv_dim);
    quarter(p + "attn_v.weight", s.embed, kv_dim);
    quarter(p + "attn_output.weight", q_dim, s.embed);
    quarter(p + "ffn_gate.weight", s.embed, s.ffn);
    quarter(p + "ffn_up.weight", s.embed, s.ffn);
    quarter(p + "ffn_down.weight", s.ffn, s.embed);
  }
  return b.write();
}

}  // namespace korvex::test
