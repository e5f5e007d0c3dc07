#pragma once
// Small in-memory vocabularies for tokenizer tests.
#include <string>
#include <unordered_map>
#include <vector>

#include "support/gguf_writer.hpp"
#include "tokenizer/tokenizer.hpp"

namespace korvex::test {

using Metadata = std::unordered_map<std::string, MetaValue>;

inline Metadata vocab_metadata(const std::vector<std::string>& tokens,
                               const std::vector<std::string>& merges = {}, const std::string& model = "") {
  Metadata md;
  md["tokenizer.ggml.tokens"] = mv_str_arr(tokens);
  if (!merges.empty()) md["tokenizer.ggml.merges"] = mv_str_arr(merges);
  if (!model.empty()) md["tokenizer.ggml.model"] = mv_str(model);
  return md;
}

inline Tokenizer make_tokenizer(const std::vector<std::string>& tokens,
                                const std::vector<std::string>& merges = {}, const std::string& model = "") {
  return *Tokenizer::from_metadata(vocab_metadata(tokens, merges, model));
}

// The 256 byte tokens "<0x00>" .. "<0xFF>".
inline std::vector<std::string> byte_token_texts() {
  std::vector<std::string> texts;
  static constexpr char digits[] = "0123456789ABCDEF";
  for (int b = 0; b < 256; ++b) texts.push_back(std::string("<0x") + digits[b >> 4] + digits[b & 15] + ">");
  return texts;
}

// The merge loop as plainly written, rescanning every pair after each merge: the reference
// for the heap-ordered merge.
inline void reference_bpe_merge(const Tokenizer& t, std::vector<std::string>& symbols) {
  while (symbols.size() >= 2) {
    uint32_t best_rank = 0xFFFFFFFF;
    std::size_t best = symbols.size();
    for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
      const uint32_t* rank = t.merge_ranks.find(TextPairView{symbols[i], symbols[i + 1]});
      if (rank && *rank < best_rank) best_rank = *rank, best = i;
    }
    if (best == symbols.size()) return;
    symbols[best] += symbols[best + 1];
    symbols.erase(symbols.begin() + static_cast<std::ptrdiff_t>(best) + 1);
  }
}

}  // namespace korvex::test
