#include "server/chat_completions.hpp"

#include <exception>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "common/fatal.hpp"
#include "common/output.hpp"

namespace korvex {

void engine_generation(const GenerationJob& job, const GenerateParams& params, const TokenSink& sink) {
  if (!job.config || !job.weights) fatal("no model loaded");
  // The client's connection owns the receiving end: once it has closed, nobody reads on.
  const StreamSender& sender = job.sender;
  const GenerationLimits limits{job.kv_budget.get(), [&sender] { return sender.receiver_gone(); }};
  generate(job.prompt, params, *job.config, *job.weights, job.tokenizer.get(), sink, limits);
}

GenerateParams generation_params(const ChatRequest& request) {
  GenerateParams params;
  params.max_tokens = request.max_tokens.value_or(DEFAULT_MAX_TOKENS);
  params.top_k = request.top_k ? (*request.top_k == 0 ? 1 : *request.top_k) : DEFAULT_TOP_K;
  // Written as ">=" so that anything that is not at least the floor, NaN included, becomes it.
  float temperature = request.temperature.value_or(0.0f);
  params.temperature = temperature >= 0.0f ? temperature : 0.0f;
  float penalty = request.repeat_penalty.value_or(1.0f);
  params.repeat_penalty = penalty >= 1.0f ? penalty : 1.0f;
  params.seed = request.seed;
  return params;
}

std::vector<std::size_t> prompt_ids(const Tokenizer* tokenizer, const ChatRequest& request) {
  if (tokenizer == nullptr) return {1};
  std::vector<MessageRef> refs;
  refs.reserve(request.messages.size());
  for (const ChatMessage& m : request.messages) refs.push_back({m.role, m.content});
  std::vector<uint32_t> ids = tokenizer->encode_chat(refs);
  return std::vector<std::size_t>(ids.begin(), ids.end());
}

GenerationJob make_generation_job(const AppState& state, const ChatRequest& request,
                                  StreamSender sender) {
  GenerateParams params = generation_params(request);
  return GenerationJob{
      .prompt = prompt_ids(state.tokenizer.get(), request),
      .max_tokens = params.max_tokens,
      .top_k = params.top_k,
      .temperature = params.temperature,
      .repeat_penalty = params.repeat_penalty,
      .seed = params.seed,
      .sender = std::move(sender),
      .config = state.config,
      .weights = state.weights,
      .tokenizer = state.tokenizer,
      .kv_budget = state.kv_budget,
      .run_generation = state.run_generation,
  };
}

void run_generation_blocking(GenerationJob job) {
  // The job's own sender, for the error piece and the end message.
  StreamSender own = job.sender;
  GenerateParams params{job.max_tokens, job.temperature, job.top_k, job.repeat_penalty, job.seed};
  TokenSink sink = [&job](std::string_view piece) {
    job.sender.send_blocking(StreamMessage::token(std::string(piece)));
  };

  std::optional<std::string> failure;
  try {
    job.run_generation(job, params, sink);
  } catch (const Fatal& f) {
    failure = f.what();
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown panic";
  }
  if (failure) {
    if (failure->empty()) failure = "unknown panic";
    // The fatal stop's own report, as on the main thread, then the job's line. Neither
    // may throw here: this thread has no one above it to catch.
    err_line_unchecked(*failure);
    err_line_unchecked(fmt::format("korvex: generate panicked: {}", *failure));
    own.send_blocking(StreamMessage::token(fmt::format("\n[Error: {}]", *failure)));
  }
  own.send_blocking(StreamMessage::done());
}

StreamReceiver chat_completions(std::shared_ptr<const AppState> state, ChatRequest request,
                                const BlockingPool& pool) {
  StreamChannel channel = make_stream_channel(STREAM_CHANNEL_CAPACITY);
  auto job = std::make_shared<GenerationJob>(
      make_generation_job(*state, request, std::move(channel.sender)));
  state.reset();
  request = ChatRequest{};
  pool.submit([job]() mutable {
    // Moved out so the job's handles and senders go when it ends, not when the pool
    // drops this function.
    run_generation_blocking(std::move(*job));
  });
  return std::move(channel.receiver);
}

}  // namespace korvex
