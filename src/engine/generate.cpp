#include "engine/generate.hpp"

#include <algorithm>

#include "engine/budgeted_cache.hpp"
#include "engine/forward.hpp"
#include "engine/kv_budget.hpp"
#include "engine/logits.hpp"
#include "engine/prefill.hpp"
#include "engine/weights.hpp"

namespace korvex {

std::vector<std::size_t> generate(std::span<const std::size_t> prompt, const GenerateParams& params,
                                  const ModelConfig& config, const Weights& weights,
                                  const Tokenizer* tokenizer, const TokenSink& sink,
                                  const GenerationLimits& limits) {
  BudgetedCache room(config, limits.kv_budget);
  if (!prompt.empty()) {
    // The prompt's rows and the first decoding steps' before the prompt runs, so a prompt
    // that cannot fit stops before any model work.
    const std::size_t first_steps = std::min(params.max_tokens, kDecodeRoomStep);
    reserve_prompt_room(room, generation_working_bytes(config, prompt.size()), prompt.size(), first_steps);
  }
  // The position after the last one this generation can feed.
  const std::size_t last_needed =
      prompt.size() + std::min(params.max_tokens, SIZE_MAX - prompt.size());
  const ModelStep step = [&](std::size_t token, std::size_t pos, bool want_logits) {
    // The prompt runs as one batch when its last id asks for logits; the ids before it
    // need nothing back, so their steps wait for that.
    if (pos < prompt.size()) {
      if (!want_logits) return std::vector<float>{};
      return prefill(prompt, config, weights, room.cache, kPrefillChunk, limits.abandoned);
    }
    ensure_decode_room(room, pos, last_needed);
    if (want_logits) return forward_logits(token, pos, config, weights, room.cache);
    forward(token, pos, config, weights, room.cache);
    return std::vector<float>{};
  };
  return run_generation(prompt, params, tokenizer, step, sink, limits.abandoned);
}

}  // namespace korvex
