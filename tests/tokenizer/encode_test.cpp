#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "fixture.hpp"

namespace korvex::test {
namespace {

const std::string WM = "\xE2\x96\x81";  // U+2581

// The vocabulary texts of the ids, for readable comparisons.
std::vector<std::string> texts(const Tokenizer& t, const std::vector<uint32_t>& ids) {
  std::vector<std::string> out;
  for (uint32_t id : ids) out.push_back(id < t.vocab.size() ? t.vocab[id] : "#" + std::to_string(id));
  return out;
}

using Texts = std::vector<std::string>;

// Byte-level vocabulary: every printable ASCII character alone, plus extras.
Tokenizer byte_level(Texts extra, const Texts& merges = {}) {
  for (char c = 33; c < 127; ++c) extra.push_back(std::string(1, c));
  return make_tokenizer(extra, merges);
}

TEST(Encode, MarkerPass) {
  Tokenizer t = byte_level({"<|>", "<|a|>", "<|a|>|>", "<|im_end|>", "\xC3\x83", "\xC2\xA9"});
  struct Case {
    std::string text;
    Texts expected;
  };
  const Case cases[] = {
      // "|>" is searched from the opening "<" on, so "<|>" is its own candidate.
      {"<|>", {"<|>"}},
      // The first "|>" ends the candidate.
      {"<|a|>|>", {"<|a|>", "|", ">"}},
      // No "|>" at all: ordinary text.
      {"<|x", {"<", "|", "x"}},
      // A failed candidate is text up to the next "<|", whose marker then matches.
      {"<|zz|><|im_end|>", {"<", "|", "z", "z", "|", ">", "<|im_end|>"}},
      {"<|<|im_end|>", {"<", "|", "<|im_end|>"}},
      {"a<|im_end|>b", {"a", "<|im_end|>", "b"}},
      // A two-byte first character (its bytes map to U+00C3 U+00A9) before a marker.
      {"\xC3\xA9<|a|>", {"\xC3\x83", "\xC2\xA9", "<|a|>"}},
      // Other angle-bracket texts are plain text in byte-level mode.
      {"</s><s>", {"<", "/", "s", ">", "<", "s", ">"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(texts(t, t.encode(c.text)), c.expected) << c.text;
}

TEST(Encode, MarkerCandidateLongerThanAnyTextIsNotLookedUp) {
  // "<|" + 100 letters + "|>" is longer than every text, and so cannot be a key; the result
  // must be the same as if it had been looked up.
  Tokenizer t = byte_level({"<|ab|>"});
  const std::string text = "<|" + std::string(100, 'a') + "|><|ab|>";
  auto ids = t.encode(text);
  ASSERT_EQ(ids.size(), 2u + 100 + 2 + 1);
  EXPECT_EQ(t.vocab[ids.back()], "<|ab|>");
}

TEST(Encode, PreSplit) {
  struct Case {
    std::string text;
    Texts pieces;
  };
  const Case cases[] = {
      {"USER: hello", {"USER", ":", " hello"}},
      {"Knowledge cutoff: 2024-06\n\n", {"Knowledge", " cutoff", ":", " ", "2024", "-", "06", "\n", "\n"}},
      {"na\xC3\xAFve caf\xC3\xA9", {"na\xC3\xAFve", " caf\xC3\xA9"}},
      {"\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97!", {"\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97", "!"}},
      {"\r\n\r", {"\r", "\n", "\r"}},
      {"   word", {" ", " ", " word"}},
      {"abc123def", {"abc", "123", "def"}},
      {"\tx  1 .", {"\t", "x", " ", " ", "1", " ", "."}},
      {"don't", {"don", "'", "t"}},
      {"x\xC2\xB2y", {"x", "\xC2\xB2", "y"}},                    // superscript two is no letter
      {"a\xE2\x85\xAB" "b", {"a\xE2\x85\xAB" "b"}},               // Roman numeral twelve is Alphabetic
      {"\xD9\xA3\xD9\xA4", {"\xD9\xA3", "\xD9\xA4"}},             // Arabic-Indic digits: one each
      {"12345678901234567890", {"12345678901234567890"}},
      {"a\xFF" "b\xE2\x96", {"a", "\xFF", "b", "\xE2", "\x96"}},  // stray bytes stand alone
      {"", {}},
  };
  for (const Case& c : cases) {
    Texts pieces;
    for (std::string_view p : Tokenizer::pre_split(c.text)) pieces.emplace_back(p);
    EXPECT_EQ(pieces, c.pieces) << c.text;
  }
}

TEST(Encode, ByteLevelWholePieceMergesAndByteFallback) {
  // U+0120 stands for the space byte; its UTF-8 bytes C4 A0 are what the fallback looks up.
  Tokenizer t = byte_level({"<0xC4>", "<0xA0>", "<0x78>", "\xC4\xA0hello", "bc", "ab", "aa", "aaaa"},
                           {"b c", "a b", "ab c", "a a", "aa aa", "x y"});
  struct Case {
    std::string text;
    Texts expected;
  };
  const Case cases[] = {
      {" hello", {"\xC4\xA0hello"}},              // the whole piece is a key: no merging
      {" a", {"<0xC4>", "<0xA0>", "a"}},
      {"abcab", {"a", "bc", "ab"}},                // lowest rank first, then rescanned
      {"aaa", {"aa", "a"}},                        // equal ranks: leftmost
      {"aaaa", {"aaaa"}},
      {"aaaaa", {"aaaa", "a"}},
      // A merged symbol that is no key falls back to byte tokens, never to single characters.
      {"xy", {"<0x78>"}},
      // The fallback looks up the mapped character's bytes (U+010A is C4 8A), not the raw byte.
      {"\n", {"<0xC4>"}},
  };
  for (const Case& c : cases) EXPECT_EQ(texts(t, t.encode(c.text)), c.expected) << c.text;
}

TEST(Encode, SentencePieceGreedyMatchAndFallbacks) {
  Tokenizer t = make_tokenizer({"<unk>", "<s>", "</s>", WM, WM + "Hello", "Hello", WM + "wor", "ld", "l", "d", "a",
                                "ab", "bcd", "b", "c", "\t", "<0x0A>", "<0xE2>"},
                               {}, "llama");
  ASSERT_TRUE(t.is_sentencepiece);
  struct Case {
    std::string text;
    Texts expected;
  };
  const Case cases[] = {
      {" Hello world", {WM + "Hello", WM + "wor", "ld"}},
      {"Hello", {"Hello"}},          // nothing is put in front of a chunk
      {"abcd", {"ab", "c", "d"}},    // longest match first, no lookahead
      {"  \ta", {WM, WM, "\t", "a"}},
      {"a\nb", {"a", "<0x0A>", "b"}},
      // No text for the character: its bytes, each a byte token or else "<unk>".
      {"\xE2\x82\xAC", {"<0xE2>", "<unk>", "<unk>"}},
      {"</s>b<s>", {"</s>", "b", "<s>"}},
      {"<|ab", {"<unk>", "<unk>", "ab"}},
  };
  for (const Case& c : cases) EXPECT_EQ(texts(t, t.encode(c.text)), c.expected) << c.text;

  // Without "<unk>" an uncovered byte costs nothing; without U+2581 a space falls back to
  // the byte tokens of E2 96 81.
  Tokenizer bare = make_tokenizer({"a", "<0xE2>", "<0x96>", "<0x81>", "\xE2\x96\x82"}, {}, "llama");
  EXPECT_EQ(texts(bare, bare.encode("a \xE2\x82\xAC" "a")), (Texts{"a", "<0xE2>", "<0x96>", "<0x81>", "<0xE2>", "a"}));
}

TEST(Encode, SentencePieceWithoutNonEmptyTextsGoesStraightToFallback) {
  Metadata md = vocab_metadata({"", ""}, {}, "llama");
  md["tokenizer.ggml.unknown_token_id"] = mv_u32(1);
  Tokenizer t = *Tokenizer::from_metadata(md);
  ASSERT_EQ(t.max_token_chars, 0u);
  EXPECT_EQ(t.encode("a\xC3\xA9"), (std::vector<uint32_t>{1, 1, 1}));
}

TEST(Encode, HeapMergeMatchesPlainMergeOnRandomInputs) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 40; ++round) {
    // Merges built from earlier results, so that merges chain several levels deep.
    Texts pieces{"a", "b", "c", "d"};
    if (round % 4 == 0) pieces.push_back("");
    Texts merges;
    const int n_merges = 5 + round;
    for (int m = 0; m < n_merges; ++m) {
      const std::string& l = pieces[rng() % pieces.size()];
      const std::string& r = pieces[rng() % pieces.size()];
      merges.push_back(l + " " + r);
      pieces.push_back(l + r);
    }
    std::shuffle(merges.begin(), merges.end(), rng);
    if (round % 3 == 0) merges.push_back(merges[rng() % merges.size()]);  // a repeat re-ranks its pair
    Tokenizer t = make_tokenizer({"a"}, merges);
    for (int trial = 0; trial < 30; ++trial) {
      // Short and long lists: pieces from a few hundred symbols on take another queue.
      std::vector<std::string> symbols(trial % 5 == 0 ? 200 + rng() % 800 : rng() % 80);
      for (std::string& s : symbols) s = pieces[rng() % (round % 4 == 0 ? 5 : 4)];
      std::vector<std::string> expected = symbols;
      reference_bpe_merge(t, expected);
      t.bpe_merge(symbols);
      ASSERT_EQ(symbols, expected) << "round " << round << " trial " << trial;
    }
  }
}

}  // namespace
}  // namespace korvex::test
