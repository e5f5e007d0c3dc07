#pragma once
// One generation: prefill the prompt, then pick, emit and feed back one id per step until
// a stop id or max_tokens. Serves the command line (greedy) and the server (sampling).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "engine/config.hpp"
#include "engine/utf8_stream.hpp"
#include "tokenizer/tokenizer.hpp"

namespace korvex {

struct Weights;
struct KvBudget;

// True once nobody wants the generation's output any more; it stays true from then on.
using AbandonCheck = std::function<bool()>;

// What the world around a generation puts on it.
struct GenerationLimits {
  KvBudget* kv_budget = nullptr;  // the cache budget shared with other generations; null: none
  AbandonCheck abandoned;         // asked before each prompt chunk and each decoding step
};

struct GenerateParams {
  std::size_t max_tokens = 0;    // generation steps at most; 0 still runs the prompt
  float temperature = 0.0f;      // <= 0: greedy; else the logits' divisor before sampling
  std::size_t top_k = 1;         // candidates kept when sampling (0 is taken as 1)
  float repeat_penalty = 1.0f;   // only above 1.0 does anything
  std::optional<uint64_t> seed;  // absent: seeded from the clock
};

// Runs the prompt through the model and generates; returns the generated ids without the
// stop id. Each piece of text goes to the sink on this thread. An empty prompt is a fatal
// stop. With a budget, room for the cache is taken from it before any row is written (the
// whole prompt's before the prompt runs), and a share it cannot give is a fatal stop that
// says what was asked and what is free; the share goes back however the generation ends.
// Once `abandoned` says so, the generation ends at its next prompt chunk or decoding step
// and returns what it has, handing nothing more to the sink.
std::vector<std::size_t> generate(std::span<const std::size_t> prompt, const GenerateParams& params,
                                  const ModelConfig& config, const Weights& weights,
                                  const Tokenizer* tokenizer, const TokenSink& sink,
                                  const GenerationLimits& limits = {});

// One pass of the model over `token` at `pos`; the logits when asked for them (the last
// prompt id and every generated id), else nothing is needed back.
using ModelStep = std::function<std::vector<float>(std::size_t token, std::size_t pos, bool want_logits)>;

// The loop of `generate` over any model step, so the loop can be run on scripted logits.
// `abandoned` is asked after the prompt and before every decoding step.
std::vector<std::size_t> run_generation(std::span<const std::size_t> prompt,
                                        const GenerateParams& params, const Tokenizer* tokenizer,
                                        const ModelStep& step, const TokenSink& sink,
                                        const AbandonCheck& abandoned = {});

// Whether a generated id ends the generation. With "<|return|>" in the vocabulary only it
// and the beginning id stop; else the end id, "<|im_end|>" and the beginning id. Without a
// tokenizer, id 2.
bool is_stop_id(const Tokenizer* tokenizer, std::size_t id);

}  // namespace korvex
