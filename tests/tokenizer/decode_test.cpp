#include <gtest/gtest.h>

#include "fixture.hpp"

namespace korvex::test {
namespace {

TEST(TokenDecoding, SpecialTexts) {
  const std::pair<std::string, bool> cases[] = {
      {"<|im_end|>", true}, {"<|>", true},  {"<s>", true},    {"</s>", true},  {"<unk>", true},
      {"<||>", true},       {"<|", false},  {"|>", false},    {"<s", false},   {"<S>", false},
      {"<UNK>", false},     {" <s>", false}, {"<|a|> ", false}, {"", false},   {"<0x41>", false},
  };
  std::vector<std::string> vocab;
  for (auto& [text, special] : cases) vocab.push_back(text);
  for (bool sentencepiece : {false, true}) {
    Tokenizer t = make_tokenizer(vocab, {}, sentencepiece ? "llama" : "");
    for (uint32_t id = 0; id < vocab.size(); ++id) {
      EXPECT_EQ(t.is_special(id), cases[id].second) << vocab[id];
      if (cases[id].second) {
        EXPECT_EQ(t.decode_token(id), "") << vocab[id];
      }
    }
    EXPECT_FALSE(t.is_special(vocab.size()));
    EXPECT_EQ(t.decode_token(vocab.size()), "");
    EXPECT_EQ(t.decode_token(NO_TOKEN), "");
  }
}

TEST(TokenDecoding, ByteTokensInBothModes) {
  // Text, and what it decodes to in SentencePiece / byte-level mode.
  struct Case {
    std::string text, sentencepiece, byte_level;
  };
  const Case cases[] = {
      {"<0x0A>", "\n", "\n"},           {"<0x0a>", "\n", "\n"},
      {"<0x41>", "A", "A"},             {"<0xFF>", "\xFF", "\xFF"},
      {"<0x0FF>", "\xFF", "\xFF"},      {"<0x00A>", "\n", "\n"},
      {"<0x+A>", "\n", "\n"},           {"<0x00>", std::string(1, '\0'), std::string(1, '\0')},
      {"<0x1FF>", "<0x1FF>", "<0x1FF>"}, {"<0x100>", "<0x100>", "<0x100>"},
      {"<0x-1>", "<0x-1>", "<0x-1>"},   {"<0x+>", "<0x+>", "<0x+>"},
      {"<0x++1>", "<0x++1>", "<0x++1>"}, {"<0x>", "<0x>", "<0x>"},
      {"<0xG0>", "<0xG0>", "<0xG0>"},   {"<0X41>", "<0X41>", "<0X41>"},
      {"<0x41", "<0x41", "<0x41"},
  };
  std::vector<std::string> vocab;
  for (const Case& c : cases) vocab.push_back(c.text);
  Tokenizer spm = make_tokenizer(vocab, {}, "llama");
  Tokenizer bbpe = make_tokenizer(vocab);
  for (uint32_t id = 0; id < vocab.size(); ++id) {
    EXPECT_EQ(spm.decode_token(id), cases[id].sentencepiece) << vocab[id];
    EXPECT_EQ(bbpe.decode_token(id), cases[id].byte_level) << vocab[id];
  }
}

TEST(TokenDecoding, SentencePieceWordMarksBecomeSpaces) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xE2\x96\x81Hello", " Hello"},
      {"\xE2\x96\x81", " "},
      {"\xE2\x96\x81\xE2\x96\x81", "  "},
      {"a\xE2\x96\x81" "b\xE2\x96\x81", "a b "},
      {"\xE2\x96\x82\xC3\xA9", "\xE2\x96\x82\xC3\xA9"},  // other characters pass unchanged
      {"", ""},
  };
  std::vector<std::string> vocab;
  for (auto& c : cases) vocab.push_back(c.first);
  Tokenizer t = make_tokenizer(vocab, {}, "llama");
  for (uint32_t id = 0; id < vocab.size(); ++id) EXPECT_EQ(t.decode_token(id), cases[id].second) << id;
}

TEST(TokenDecoding, ByteLevelMapsCharactersBackToBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xC4\xA0the", " the"},                  // U+0120 is the space byte
      {"\xC4\x8A", "\n"},                       // U+010A
      {"\xC3\xA9", "\xE9"},                     // U+00E9 stands for the byte 0xE9
      {"a b", "ab"},                            // a plain space has no byte
      {"\xE4\xB8\x80x", "x"},                   // nor has a CJK ideograph
      {"\xC5\x83\xC5\x84", "\xAD"},             // U+0143 is byte 173, U+0144 is beyond the table
      {"\xC2\xA0\xC2\xAD\x7F", ""},             // 160, 173 and 127 stand for no byte
      {"", ""},
  };
  std::vector<std::string> vocab;
  for (auto& c : cases) vocab.push_back(c.first);
  Tokenizer t = make_tokenizer(vocab);
  ASSERT_FALSE(t.is_sentencepiece);
  for (uint32_t id = 0; id < vocab.size(); ++id) EXPECT_EQ(t.decode_token(id), cases[id].second) << id;
}

}  // namespace
}  // namespace korvex::test
