// A model file from anywhere: the GGUF reader, then everything start-up does with what it
// read (configuration, tokenizer, tensor index, weights with their size checks) and a short
// generation on a model that loads: the prompt in one batch, then single steps. Bad input
// may end in a reader error or a fatal stop; anything else that escapes (a crash, a
// sanitizer report, another exception) is a fault.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/fatal.hpp"
#include "common/pool.hpp"
#include <optional>
#include <string_view>
#include <vector>

#include "engine/config.hpp"
#include "engine/generate.hpp"
#include "engine/weights.hpp"
#include "gguf/gguf.hpp"
#include "memfd_file.hpp"
#include "tokenizer/tokenizer.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Two pool threads keep the parallel row split in play without every fuzzing process
  // spreading over every CPU.
  korvex::set_pool_threads(2);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace korvex;
  auto opened = GgufFile::open(fuzz::memfd_path_with(data, size));
  if (!opened) return 0;
  auto file = std::make_shared<const GgufFile>(std::move(*opened));
  try {
    ModelConfig config = ModelConfig::from_gguf(*file);
    Weights weights = [&] {
      TensorIndex index = build_tensor_index(*file);
      return Weights::load(index, file, config);
    }();
    if (config.vocab == 0) return 0;
    std::optional<Tokenizer> tokenizer = Tokenizer::from_gguf(*file);
    // Up to three prompt ids from the input's last bytes, so that ids near the top of the
    // vocabulary get their embedding rows read too; id 0 first, as every model has one.
    std::vector<std::size_t> prompt = {0};
    for (std::size_t i = 0; i < 2 && i < size; ++i) prompt.push_back(data[size - 1 - i] % config.vocab);
    GenerateParams params;
    params.max_tokens = 2;
    params.repeat_penalty = 1.5f;
    params.seed = 1;
    params.temperature = size % 2 == 0 ? 0.0f : 0.8f;  // greedy or sampled
    params.top_k = 4;
    generate(prompt, params, config, weights, tokenizer ? &*tokenizer : nullptr, [](std::string_view) {});
  } catch (const Fatal&) {
  }
  return 0;
}
