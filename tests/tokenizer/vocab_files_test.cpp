// The tokenizer over real vocabularies read from GGUF files.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "fixture.hpp"

namespace korvex::test {
namespace {

const Tokenizer& vocab_file(const std::string& name) {
  static std::map<std::string, Tokenizer> loaded;
  auto it = loaded.find(name);
  if (it == loaded.end()) {
    auto file = GgufFile::open(std::string(KORVEX_SOURCE_DIR) + "/tests/data/vocab/ggml-vocab-" + name + ".gguf");
    if (!file) throw std::runtime_error(file.error().message);
    auto t = Tokenizer::from_gguf(*file);
    if (!t) throw std::runtime_error("no tokenizer in " + name);
    it = loaded.emplace(name, std::move(*t)).first;
  }
  return it->second;
}

TEST(VocabFiles, ModeTemplateAndSpecialIds) {
  struct Case {
    std::string name;
    std::size_t size;
    bool sentencepiece;
    ChatTemplate chat;
    uint32_t bos, eos, unk;
  };
  const Case cases[] = {
      {"llama-spm", 32000, true, ChatTemplate::Plain, 1, 2, 0},
      // "<|endoftext|>" (32000) loses the bos choice to "<s>"; eos is "<|end|>".
      {"phi-3", 32064, true, ChatTemplate::RoleTags, 1, 32007, 0},
      {"gpt-2", 50257, false, ChatTemplate::Plain, 50256, 50256, NO_TOKEN},
      // U+2581 stands inside texts here but starts none, so the mode stays byte-level.
      {"deepseek-coder", 32256, false, ChatTemplate::Plain, 32013, 32013, NO_TOKEN},
  };
  for (const Case& c : cases) {
    const Tokenizer& t = vocab_file(c.name);
    EXPECT_EQ(t.vocab.size(), c.size) << c.name;
    EXPECT_EQ(t.is_sentencepiece, c.sentencepiece) << c.name;
    EXPECT_EQ(t.chat_template(), c.chat) << c.name;
    EXPECT_EQ(t.bos_id, c.bos) << c.name;
    EXPECT_EQ(t.eos_id, c.eos) << c.name;
    EXPECT_EQ(t.unk_id, c.unk) << c.name;
    EXPECT_EQ(t.im_end_id, NO_TOKEN) << c.name;
    EXPECT_EQ(t.return_id, NO_TOKEN) << c.name;
  }
}

TEST(VocabFiles, KnownIdLists) {
  const Tokenizer& gpt2 = vocab_file("gpt-2");
  EXPECT_EQ(gpt2.encode("Hello, world!"), (std::vector<uint32_t>{15496, 11, 995, 0}));
  EXPECT_EQ(gpt2.encode("tokenization"), (std::vector<uint32_t>{30001, 1634}));
  EXPECT_EQ(gpt2.encode("a<|endoftext|>\r\n"), (std::vector<uint32_t>{64, 50256, 201, 198}));

  // Role tags around SentencePiece text: "\n" has no text but a byte token (13), and the
  // greedy match takes "</s>" (2) whole.
  const Tokenizer& phi3 = vocab_file("phi-3");
  const MessageRef user[] = {{"user", "Hello"}};
  EXPECT_EQ(phi3.encode_chat(user), (std::vector<uint32_t>{32010, 13, 10994, 2, 13, 32001, 13}));

  const Tokenizer& llama = vocab_file("llama-spm");
  EXPECT_EQ(llama.encode("Hello world"), (std::vector<uint32_t>{10994, 3186}));
}

TEST(VocabFiles, DecodeOfEncodeGivesTheTextBack) {
  // Every byte is covered (byte tokens in the SentencePiece files, the byte characters in
  // the byte-level ones), so nothing is lost as long as no special text is typed.
  const std::string texts[] = {
      "Hello world",
      "  two  spaces,\ttabs\r\nand lines\n\n",
      "na\xC3\xAFve caf\xC3\xA9 \xC3\x9F\xC3\xBC\xC3\x9F",
      "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97 \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x98\x80\xF0\x9F\x91\x8D",
      "x=1234567890; y<|z |> <|foo",
      "\xCE\xB1\xCE\xB2\xCE\xB3 \xE0\xA4\xB9\xE0\xA4\xBF\xE0\xA4\x82\xE0\xA4\xA6\xE0\xA5\x80 \xD9\xA3\xD9\xA4",
  };
  for (const std::string name : {"llama-spm", "phi-3", "gpt-2", "deepseek-coder"}) {
    const Tokenizer& t = vocab_file(name);
    for (const std::string& text : texts) {
      std::string decoded;
      for (uint32_t id : t.encode(text)) decoded += t.decode_token(id);
      EXPECT_EQ(decoded, text) << name;
    }
  }
}

TEST(VocabFiles, HeapMergeMatchesPlainMergeWithRealMerges) {
  std::mt19937 rng(99);
  const std::string alphabets[] = {"etaoinshrdlu", "ab", "aeiouxyz0123 "};
  for (const std::string name : {"gpt-2", "deepseek-coder"}) {
    const Tokenizer& t = vocab_file(name);
    for (int trial = 0; trial < 60; ++trial) {
      const std::string& alphabet = alphabets[trial % 3];
      std::vector<std::string> symbols(trial % 4 == 0 ? 200 + rng() % 1500 : 1 + rng() % 300);
      for (std::string& s : symbols) {
        const char c = alphabet[rng() % alphabet.size()];
        s = c == ' ' ? "\xC4\xA0" : std::string(1, c);
      }
      std::vector<std::string> expected = symbols;
      reference_bpe_merge(t, expected);
      t.bpe_merge(symbols);
      ASSERT_EQ(symbols, expected) << name << " trial " << trial;
    }
  }
}

}  // namespace
}  // namespace korvex::test
