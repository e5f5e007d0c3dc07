#pragma once
// POST /v1/chat/completions once its body has decoded: defaults and clamps, the prompt
// ids, and the generation job that runs on a blocking thread and feeds the event stream
// through the request's channel.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "server/app_state.hpp"
#include "server/blocking_pool.hpp"
#include "server/chat_request.hpp"
#include "server/stream_channel.hpp"

namespace korvex {

inline constexpr std::size_t DEFAULT_MAX_TOKENS = 512;
inline constexpr std::size_t DEFAULT_TOP_K = 40;

// Everything one generation needs; moved whole to its blocking thread.
struct GenerationJob {
  std::vector<std::size_t> prompt;
  std::size_t max_tokens = DEFAULT_MAX_TOKENS;
  std::size_t top_k = DEFAULT_TOP_K;
  float temperature = 0.0f;
  float repeat_penalty = 1.0f;
  std::optional<uint64_t> seed;
  StreamSender sender;
  std::shared_ptr<const ModelConfig> config;
  std::shared_ptr<const Weights> weights;
  std::shared_ptr<const Tokenizer> tokenizer;
  std::shared_ptr<KvBudget> kv_budget;
  GenerationRunner run_generation;
};

// The request's parameters made usable: nothing is refused. max_tokens defaults to 512
// with no cap; top_k defaults to 40 and is at least 1; temperature is at least 0.0
// (default 0.0, greedy); repeat_penalty is at least 1.0 (default 1.0); seed is kept.
GenerateParams generation_params(const ChatRequest& request);

// The messages rendered and encoded by the tokenizer, each id widened; without a
// tokenizer the single id 1, whatever the messages.
std::vector<std::size_t> prompt_ids(const Tokenizer* tokenizer, const ChatRequest& request);

GenerationJob make_generation_job(const AppState& state, const ChatRequest& request,
                                  StreamSender sender);

// The job's body: generates, sending each piece through the channel; once the receiver has
// gone the generation ends at its next step, giving back its cache; a fatal stop is caught,
// reported on standard error and sent as the piece "\n[Error: {}]"; then the end message,
// exactly once, and the channel closes with the job's last sender.
void run_generation_blocking(GenerationJob job);

// The handler: encodes the prompt here, hands the job to the pool without waiting, and
// returns the receiving end that the event stream reads.
StreamReceiver chat_completions(std::shared_ptr<const AppState> state, ChatRequest request,
                                const BlockingPool& pool);

}  // namespace korvex
