#pragma once
// A model whose every weight is 1/4 but the output matrix, which holds ones in the row of
// `winner` only: every hidden value stays positive, so greedy decoding picks `winner` at
// every step. Its sizes are free, so a test can make cache rows as large as it needs while
// the file stays small.
#include <cstddef>
#include <string>

namespace korvex::test {

struct UniformModelShape {
  std::size_t layers = 2, embed = 8, heads = 2, kv_heads = 2, head_dim = 4, ffn = 8, vocab = 16;
  std::size_t winner = 3;
  // A GGUF file whose "tokenizer." keys the model takes over (its vocabulary size then
  // follows their token list); empty: no tokenizer.
  std::string vocabulary_from;
};

// Writes the model to a new temporary file and returns its path.
std::string write_uniform_model(const UniformModelShape& shape);

}  // namespace korvex::test
