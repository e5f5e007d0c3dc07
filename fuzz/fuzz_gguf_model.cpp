// A model file from anywhere: the GGUF reader, then everything start-up does with what it
// read (configuration, tensor index, weights with their size checks) and two forward steps
// with logits on a model that loads. Bad input may end in a reader error or a fatal stop;
// anything else that escapes (a crash, a sanitizer report, another exception) is a fault.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/fatal.hpp"
#include "common/pool.hpp"
#include "engine/config.hpp"
#include "engine/kv_cache.hpp"
#include "engine/logits.hpp"
#include "engine/weights.hpp"
#include "gguf/gguf.hpp"
#include "memfd_file.hpp"

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
    KvCache cache = KvCache::empty(config);
    // The second step attends over the first one's cached row; the id comes from the input
    // so that ids near the top of the vocabulary get their embedding rows read too.
    std::size_t second = size > 0 ? data[size - 1] % config.vocab : 0;
    forward_logits(0, 0, config, weights, cache);
    forward_logits(second, 1, config, weights, cache);
  } catch (const Fatal&) {
  }
  return 0;
}
