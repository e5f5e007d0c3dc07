#include <gtest/gtest.h>

#include "common/fatal.hpp"
#include "engine/config.hpp"
#include "support/gguf_writer.hpp"

namespace korvex {
namespace {

using namespace korvex::test;

using Kvs = std::vector<std::pair<std::string, MetaValue>>;

GgufFile file_with(const Kvs& kvs) {
  GgufBuilder b;
  for (const auto& [k, v] : kvs) b.kv(k, v);
  return std::move(*GgufFile::open(b.write()));
}

// The keys every configuration needs, under the architecture "a".
Kvs required(Kvs extra = {}) {
  Kvs kvs = {{"general.architecture", mv_str("a")},
             {"a.embedding_length", mv_u32(4096)},
             {"a.head_count", mv_u32(32)},
             {"a.block_count", mv_u32(24)},
             {"a.feed_forward_length", mv_u32(11008)},
             {"a.vocab_size", mv_u32(32000)}};
  kvs.insert(kvs.end(), extra.begin(), extra.end());
  return kvs;
}

Kvs without(Kvs kvs, std::initializer_list<std::string> keys) {
  for (const auto& k : keys) std::erase_if(kvs, [&](const auto& kv) { return kv.first == k; });
  return kvs;
}

TEST(ModelConfig, DefaultsOfADenseModel) {
  ModelConfig c = ModelConfig::from_gguf(file_with(required()));
  EXPECT_EQ(c.embed, 4096u);
  EXPECT_EQ(c.heads, 32u);
  EXPECT_EQ(c.kv_heads, 32u);
  EXPECT_EQ(c.layers, 24u);
  EXPECT_EQ(c.ffn, 11008u);
  EXPECT_EQ(c.head_dim, 128u);
  EXPECT_EQ(c.vocab, 32000u);
  EXPECT_EQ(c.n_experts, 0u);
  EXPECT_EQ(c.n_experts_used, 0u);
  EXPECT_EQ(c.orig_ctx, 0u);
  EXPECT_EQ(c.rope_freq_base, 10000.0f);
  EXPECT_EQ(c.rope_scale, 1.0f);
}

TEST(ModelConfig, EveryKeyAndItsAlternatives) {
  ModelConfig c = ModelConfig::from_gguf(file_with(
      {{"general.architecture", mv_str("gpt-oss")},
       {"gpt-oss.embedding_length", mv_u32(100)},
       {"gpt-oss.attention.head_count", mv_u32(3)},
       {"gpt-oss.attention.head_count_kv", mv_i32(1)},
       {"gpt-oss.block_count", mv_i32(24)},
       {"gpt-oss.feed_forward_length", mv_u32(999)},
       {"gpt-oss.expert_feed_forward_length", mv_u32(640)},  // wins over feed_forward_length
       {"gpt-oss.rope.freq_base", MetaValue{150000.0}},      // F64: passed over
       {"gpt-oss.attention.rope.freq_base", mv_f32(150000)},
       {"tokenizer.ggml.tokens", mv_arr({mv_u32(0), mv_u32(0), mv_u32(0)})},
       {"gpt-oss.num_experts", mv_u32(32)},
       {"gpt-oss.experts_used", mv_u32(4)},
       {"gpt-oss.rope.scaling.factor", mv_f32(32)},
       {"gpt-oss.rope.scaling.original_context_length", mv_u32(4096)}}));
  EXPECT_EQ(c.embed, 100u);
  EXPECT_EQ(c.heads, 3u);
  EXPECT_EQ(c.kv_heads, 1u);
  EXPECT_EQ(c.layers, 24u);
  EXPECT_EQ(c.ffn, 640u);
  EXPECT_EQ(c.head_dim, 33u);  // truncating division
  EXPECT_EQ(c.vocab, 3u);
  EXPECT_EQ(c.n_experts, 32u);
  EXPECT_EQ(c.n_experts_used, 4u);
  EXPECT_EQ(c.rope_freq_base, 150000.0f);
  EXPECT_EQ(c.rope_scale, 32.0f);
  EXPECT_EQ(c.orig_ctx, 4096u);
}

TEST(ModelConfig, ExplicitValuesOverDerivedOnes) {
  ModelConfig c = ModelConfig::from_gguf(file_with(required({{"a.attention.key_length", mv_u32(256)},
                                                             {"a.head_count_kv", mv_u32(8)},
                                                             {"a.expert_count", mv_u32(8)},
                                                             {"a.rope.freq_base", mv_f32(500000)}})));
  EXPECT_EQ(c.head_dim, 256u);
  EXPECT_EQ(c.kv_heads, 8u);
  EXPECT_EQ(c.n_experts, 8u);
  EXPECT_EQ(c.n_experts_used, 2u);  // the default for a model with experts
  EXPECT_EQ(c.rope_freq_base, 500000.0f);
}

TEST(ModelConfig, ArchitecturePrefixDefaultsToLlama) {
  Kvs kvs;
  for (auto [k, v] : without(required(), {"general.architecture"})) kvs.emplace_back("llama" + k.substr(1), v);
  ModelConfig c = ModelConfig::from_gguf(file_with(kvs));
  EXPECT_EQ(c.layers, 24u);
  EXPECT_EQ(c.vocab, 32000u);
}

Kvs operator+(Kvs a, const Kvs& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string fatal_of(const Kvs& kvs) {
  try {
    ModelConfig::from_gguf(file_with(kvs));
  } catch (const Fatal& f) {
    return f.what();
  }
  return "<configured>";
}

TEST(ModelConfig, RefusedFiles) {
  struct Case {
    Kvs kvs;
    const char* message;
  };
  const Case cases[] = {
      {without(required(), {"a.embedding_length", "a.block_count"}), "missing embedding_length"},
      {without(required(), {"a.head_count"}), "missing head_count"},
      {without(required(), {"a.block_count"}), "missing block_count"},
      {without(required(), {"a.block_count"}) + Kvs{{"a.block_count", MetaValue{uint64_t{24}}}}, "missing block_count"},
      {without(required(), {"a.feed_forward_length"}), "missing feed_forward_length"},
      {without(required(), {"a.vocab_size"}), "cannot determine vocab_size"},
      {without(required(), {"a.vocab_size"}) + Kvs{{"tokenizer.ggml.tokens", mv_str("x")}}, "cannot determine vocab_size"},
      // No head count means no head width and no way to split the query: refused before
      // anything divides by it, with or without an explicit key length.
      {without(required(), {"a.head_count"}) + Kvs{{"a.head_count", mv_u32(0)}}, "invalid head_count 0"},
      {without(required(), {"a.head_count"}) + Kvs{{"a.head_count", mv_u32(0)}, {"a.attention.key_length", mv_u32(64)}},
       "invalid head_count 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(fatal_of(c.kvs), c.message);
}

}  // namespace
}  // namespace korvex
