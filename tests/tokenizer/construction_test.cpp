#include <gtest/gtest.h>

#include "fixture.hpp"

namespace korvex::test {
namespace {

TEST(TokenizerConstruction, NoTokenArrayMeansNoTokenizer) {
  EXPECT_FALSE(Tokenizer::from_metadata({}).has_value());
  EXPECT_FALSE(Tokenizer::from_metadata({{"tokenizer.ggml.tokens", mv_str("a")}}).has_value());
  EXPECT_FALSE(Tokenizer::from_metadata({{"tokenizer.ggml.tokens", mv_u32(3)}}).has_value());
}

TEST(TokenizerConstruction, EmptyVocabularyTakesSpecialIdsFromMetadataOnly) {
  Metadata md{{"tokenizer.ggml.tokens", mv_arr({})},
              {"tokenizer.ggml.bos_token_id", mv_u32(7)},
              {"tokenizer.ggml.unknown_token_id", mv_i32(3)},
              {"tokenizer.ggml.merges", mv_str_arr({"a b"})}};
  auto t = Tokenizer::from_metadata(md);
  ASSERT_TRUE(t);
  EXPECT_TRUE(t->vocab.empty());
  EXPECT_TRUE(t->token_to_id.empty());
  EXPECT_EQ(t->max_token_chars, 1u);
  EXPECT_EQ(t->bos_id, 7u);
  EXPECT_EQ(t->eos_id, 7u);
  EXPECT_EQ(t->unk_id, 3u);
  EXPECT_EQ(t->im_end_id, NO_TOKEN);
  EXPECT_EQ(t->return_id, NO_TOKEN);
  EXPECT_EQ(t->byte_decoder.size(), 256u);
  EXPECT_EQ(t->merge_ranks.size(), 1u);
  // Nothing matches: byte-level yields nothing, SentencePiece one unk per byte.
  EXPECT_TRUE(t->encode("ab").empty());
  md["tokenizer.ggml.model"] = mv_str("llama");
  EXPECT_EQ(Tokenizer::from_metadata(md)->encode("a\xC3\xA9"), (std::vector<uint32_t>{3, 3, 3}));
}

TEST(TokenizerConstruction, NonStringTokensAreEmptyAndLastDuplicateWins) {
  std::vector<MetaValue> items;
  for (std::string s : {"a", "b", "c", "dup", "e"}) items.push_back(mv_str(s));
  items.push_back(mv_u32(9));  // id 5
  items.push_back(mv_str("x"));
  items.push_back(mv_str("dup"));  // id 7
  auto t = Tokenizer::from_metadata({{"tokenizer.ggml.tokens", mv_arr(items)}});
  ASSERT_TRUE(t);
  ASSERT_EQ(t->vocab.size(), 8u);
  EXPECT_EQ(t->vocab[5], "");
  EXPECT_EQ(t->id_of(""), 5u);
  EXPECT_EQ(t->id_of("dup"), 7u);
  EXPECT_EQ(t->token_to_id.size(), 7u);
}

TEST(TokenizerConstruction, MergeRanksCountEveryItem) {
  std::vector<MetaValue> merges{mv_str("a b c"), mv_str("ab"), mv_u32(5), mv_str("x y"), mv_str("x y"),
                                mv_str(" b"),    mv_str("a ")};
  auto t = Tokenizer::from_metadata(
      {{"tokenizer.ggml.tokens", mv_str_arr({"a"})}, {"tokenizer.ggml.merges", mv_arr(merges)}});
  ASSERT_TRUE(t);
  auto rank = [&](std::string l, std::string r) -> int64_t {
    const uint32_t* rank = t->merge_ranks.find(TextPair{l, r});
    return rank ? int64_t{*rank} : -1;
  };
  EXPECT_EQ(rank("a", "b c"), 0);
  EXPECT_EQ(rank("x", "y"), 4);
  EXPECT_EQ(rank("", "b"), 5);
  EXPECT_EQ(rank("a", ""), 6);
  EXPECT_EQ(t->merge_ranks.size(), 4u);
  // Merges of another kind are ignored.
  auto none = Tokenizer::from_metadata(
      {{"tokenizer.ggml.tokens", mv_str_arr({"a"})}, {"tokenizer.ggml.merges", mv_str("a b")}});
  EXPECT_TRUE(none->merge_ranks.empty());
}

TEST(TokenizerConstruction, ByteTables) {
  const ByteTables tables = build_byte_tables();
  const std::pair<int, uint32_t> cases[] = {{0, 256},   {10, 266},  {32, 288},  {33, 33},   {126, 126},
                                            {127, 289}, {160, 322}, {161, 161}, {172, 172}, {173, 323},
                                            {174, 174}, {255, 255}};
  for (auto [byte, code] : cases) EXPECT_EQ(tables.encoder[byte], code) << byte;
  ASSERT_EQ(tables.decoder.size(), 256u);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(tables.decoder.at(tables.encoder[b]), b);
}

TEST(TokenizerConstruction, ModeChoice) {
  struct Case {
    std::vector<std::string> vocab;
    std::optional<MetaValue> model;
    bool sentencepiece;
  };
  const Case cases[] = {
      {{"a"}, mv_str("llama"), true},
      {{"a"}, mv_str("my-sentencepiece"), true},
      {{"a"}, mv_str("LLaMA"), false},
      {{"a", "\xE2\x96\x81the"}, mv_str("gpt2"), true},
      {{"a\xE2\x96\x81" "b"}, mv_str("gpt2"), false},
      {{"\xE2\x96\x81"}, mv_u32(1), true},
      {{"a"}, mv_u32(1), false},
      {{"a"}, std::nullopt, false},
  };
  for (const Case& c : cases) {
    Metadata md{{"tokenizer.ggml.tokens", mv_str_arr(c.vocab)}};
    if (c.model) md["tokenizer.ggml.model"] = *c.model;
    EXPECT_EQ(Tokenizer::from_metadata(md)->is_sentencepiece, c.sentencepiece) << c.vocab[0];
  }
}

TEST(TokenizerConstruction, MaxTokenCharsCountsCharacters) {
  EXPECT_EQ(make_tokenizer({"ab", "\xE2\x96\x81\xE2\x96\x81", "c"}).max_token_chars, 2u);
  EXPECT_EQ(make_tokenizer({"", ""}).max_token_chars, 0u);
  EXPECT_EQ(make_tokenizer({"x", "\xF0\x9F\x98\x80yz"}).max_token_chars, 3u);
}

TEST(TokenizerConstruction, SpecialIds) {
  // bos: smallest of "<|endoftext|>", "<s>" and the metadata value.
  {
    std::vector<std::string> v(21);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = "t" + std::to_string(i);
    v[1] = "<s>";
    v[20] = "<|endoftext|>";
    Metadata md = vocab_metadata(v);
    md["tokenizer.ggml.bos_token_id"] = mv_u32(11);
    EXPECT_EQ(Tokenizer::from_metadata(md)->bos_id, 1u);
    md["tokenizer.ggml.bos_token_id"] = mv_u32(0);
    EXPECT_EQ(Tokenizer::from_metadata(md)->bos_id, 0u);
    md["tokenizer.ggml.bos_token_id"] = MetaValue{uint64_t{0}};  // wrong kind: ignored
    EXPECT_EQ(Tokenizer::from_metadata(md)->bos_id, 1u);
    md["tokenizer.ggml.bos_token_id"] = mv_i32(-1);
    v[1] = "s";
    md["tokenizer.ggml.tokens"] = mv_str_arr(v);
    EXPECT_EQ(Tokenizer::from_metadata(md)->bos_id, 20u);
  }
  // unk from the metadata when "<unk>" is absent; the smaller one otherwise.
  {
    Metadata md = vocab_metadata({"a", "b", "<unk>"});
    EXPECT_EQ(Tokenizer::from_metadata(md)->unk_id, 2u);
    md["tokenizer.ggml.unknown_token_id"] = mv_u32(0);
    EXPECT_EQ(Tokenizer::from_metadata(md)->unk_id, 0u);
    EXPECT_EQ(make_tokenizer({"a"}).unk_id, NO_TOKEN);
  }
  // eos: the first present of "<|return|>", "<|end|>", "<|im_end|>", "</s>", else bos.
  struct Case {
    std::vector<std::string> vocab;
    uint32_t eos, im_end, ret;
  };
  const Case cases[] = {
      {{"<s>", "</s>", "<|im_end|>", "<|end|>", "<|return|>"}, 4, 2, 4},
      {{"<s>", "</s>", "<|im_end|>", "<|end|>"}, 3, 2, NO_TOKEN},
      {{"<s>", "</s>", "<|im_end|>"}, 2, 2, NO_TOKEN},
      {{"x", "</s>"}, 1, NO_TOKEN, NO_TOKEN},
      {{"x", "<s>"}, 1, NO_TOKEN, NO_TOKEN},
      {{"x"}, NO_TOKEN, NO_TOKEN, NO_TOKEN},
  };
  for (const Case& c : cases) {
    Tokenizer t = make_tokenizer(c.vocab);
    EXPECT_EQ(t.eos_id, c.eos) << c.vocab.size();
    EXPECT_EQ(t.im_end_id, c.im_end) << c.vocab.size();
    EXPECT_EQ(t.return_id, c.ret) << c.vocab.size();
  }
}

}  // namespace
}  // namespace korvex::test
