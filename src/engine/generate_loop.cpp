#include <fmt/format.h>

#include <string>

#include "common/fatal.hpp"
#include "engine/chacha12.hpp"
#include "engine/generate.hpp"
#include "engine/sampler.hpp"

namespace korvex {

bool is_stop_id(const Tokenizer* tokenizer, std::size_t id) {
  if (tokenizer == nullptr) return id == 2;
  const auto id32 = static_cast<uint32_t>(id);
  if (tokenizer->return_id != NO_TOKEN) {
    return id32 == tokenizer->return_id || id32 == tokenizer->bos_id;
  }
  return id32 == tokenizer->eos_id || id32 == tokenizer->im_end_id || id32 == tokenizer->bos_id;
}

namespace {

void emit(std::size_t id, const Tokenizer* tokenizer, std::string& pending, const TokenSink& sink) {
  if (tokenizer == nullptr) {
    sink(fmt::format("[{}]", id));
    return;
  }
  const auto id32 = static_cast<uint32_t>(id);
  if (tokenizer->is_special(id32)) return;
  pending += tokenizer->decode_token(id32);
  if (!pending.empty()) stream_utf8(pending, sink);
}

}  // namespace

std::vector<std::size_t> run_generation(std::span<const std::size_t> prompt,
                                        const GenerateParams& params, const Tokenizer* tokenizer,
                                        const ModelStep& step, const TokenSink& sink,
                                        const AbandonCheck& abandoned) {
  if (prompt.empty()) fatal("empty prompt");

  const std::size_t n = prompt.size();
  for (std::size_t i = 0; i + 1 < n; ++i) step(prompt[i], i, false);
  std::vector<float> logits = step(prompt[n - 1], n - 1, true);
  std::size_t pos = n;
  if (abandoned && abandoned()) return {};

  ChaCha12 rng = ChaCha12::seed_from_u64(params.seed ? *params.seed : clock_seed());
  const bool greedy = params.temperature <= 0.0f;  // NaN samples

  std::vector<std::size_t> generated;
  std::string pending;
  for (std::size_t s = 0; s < params.max_tokens; ++s) {
    // Nobody reads on: what is pending is dropped with the rest.
    if (abandoned && abandoned()) return generated;
    apply_repeat_penalty(logits, generated, params.repeat_penalty);
    const std::size_t id = greedy ? greedy_pick(logits)
                                  : sample_top_k(logits, params.temperature, params.top_k, rng);
    if (is_stop_id(tokenizer, id)) break;
    emit(id, tokenizer, pending, sink);
    generated.push_back(id);
    logits = step(id, pos, true);
    ++pos;
  }
  flush_utf8(pending, sink);
  return generated;
}

}  // namespace korvex
