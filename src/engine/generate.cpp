#include "engine/generate.hpp"

#include "engine/forward.hpp"
#include "engine/kv_cache.hpp"
#include "engine/logits.hpp"
#include "engine/prefill.hpp"
#include "engine/weights.hpp"

namespace korvex {

std::vector<std::size_t> generate(std::span<const std::size_t> prompt, const GenerateParams& params,
                                  const ModelConfig& config, const Weights& weights,
                                  const Tokenizer* tokenizer, const TokenSink& sink) {
  KvCache cache = KvCache::empty(config);
  const ModelStep step = [&](std::size_t token, std::size_t pos, bool want_logits) {
    // The prompt runs as one batch when its last id asks for logits; the ids before it
    // need nothing back, so their steps wait for that.
    if (pos < prompt.size()) {
      if (!want_logits) return std::vector<float>{};
      return prefill(prompt, config, weights, cache);
    }
    if (want_logits) return forward_logits(token, pos, config, weights, cache);
    forward(token, pos, config, weights, cache);
    return std::vector<float>{};
  };
  return run_generation(prompt, params, tokenizer, step, sink);
}

}  // namespace korvex
