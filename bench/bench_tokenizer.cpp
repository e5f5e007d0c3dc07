// Encoding time of 2 MiB adversarial prompts (the largest body the server takes), in both
// tokenizer modes, over the real vocabularies of tests/data/vocab. Prints one line per
// text and vocabulary: the best of a few runs, in milliseconds.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "tokenizer/tokenizer.hpp"

namespace {

using korvex::GgufFile;
using korvex::Tokenizer;

constexpr std::size_t TEXT_BYTES = 2 * 1024 * 1024;

std::string repeat_to_size(std::string_view unit) {
  std::string s;
  s.reserve(TEXT_BYTES + unit.size());
  while (s.size() + unit.size() <= TEXT_BYTES) s += unit;
  return s;
}

std::string random_letters() {
  std::mt19937 rng(1);
  std::string s(TEXT_BYTES, 'a');
  for (char& c : s) c = static_cast<char>('a' + rng() % 26);
  return s;
}

// Words of several scripts, digits, punctuation and white space, chosen at random.
std::string mixed_scripts() {
  const std::vector<std::string> words = {
      "hello", " world", " na\xC3\xAFve", ",", " ", "  ", "\n", "\r\n", "\t", "12345", "2024-06",
      " \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",          // Cyrillic
      "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97\xE7\xAC\xA6",          // CJK
      " \xCE\xB1\xCE\xB2\xCE\xB3",                                 // Greek
      "\xF0\x9F\x98\x80\xF0\x9F\x91\x8D",                          // emoji
      " \xE0\xA4\xB9\xE0\xA4\xBF\xE0\xA4\x82\xE0\xA4\xA6\xE0\xA5\x80",  // Devanagari
      " \xD8\xB9\xD8\xB1\xD8\xA8\xD9\x8A",                          // Arabic
      "<|", "|>", "<s>", "don't", "?!", "\xE2\x96\x81",
  };
  std::mt19937 rng(2);
  std::string s;
  while (s.size() < TEXT_BYTES) s += words[rng() % words.size()];
  s.resize(TEXT_BYTES);
  // Do not leave a cut character at the end.
  while (!s.empty() && (static_cast<unsigned char>(s.back()) & 0xC0) == 0x80) s.pop_back();
  if (!s.empty() && static_cast<unsigned char>(s.back()) >= 0xC0) s.pop_back();
  return s;
}

struct Text {
  std::string name;
  std::string bytes;
};

}  // namespace

int main() {
  std::vector<Text> texts;
  texts.push_back({"one letter run", repeat_to_size("a")});
  texts.push_back({"random letter run", random_letters()});
  texts.push_back({"\"<|\" repeated", repeat_to_size("<|")});
  {
    std::string s = repeat_to_size("<|");
    s.resize(TEXT_BYTES - 2);
    s += "|>";
    texts.push_back({"\"<|\" repeated, one \"|>\" at the end", std::move(s)});
  }
  texts.push_back({"mixed scripts", mixed_scripts()});

  for (const char* name : {"gpt-2", "deepseek-coder", "llama-spm", "phi-3"}) {
    const std::string path = std::string(KORVEX_SOURCE_DIR) + "/tests/data/vocab/ggml-vocab-" + name + ".gguf";
    auto file = GgufFile::open(path);
    if (!file) {
      fmt::print(stderr, "{}: {}\n", path, file.error().message);
      return 1;
    }
    const Tokenizer tokenizer = *Tokenizer::from_gguf(*file);
    fmt::print("{} ({}):\n", name, tokenizer.is_sentencepiece ? "SentencePiece" : "byte-level BPE");
    for (const Text& text : texts) {
      double best_ms = 1e300;
      std::size_t n_ids = 0;
      for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const std::vector<uint32_t> ids = tokenizer.encode(text.bytes);
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        best_ms = std::min(best_ms, took.count());
        n_ids = ids.size();
      }
      fmt::print("  {:<40} {:>8.1f} ms  {:>8} ids\n", text.name, best_ms, n_ids);
    }
  }
  return 0;
}
