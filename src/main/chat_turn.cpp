#include "main/chat_turn.hpp"

#include <fmt/format.h>

#include "common/output.hpp"
#include "common/quote.hpp"
#include "engine/generate.hpp"

namespace korvex {

std::vector<MessageRef> chat_messages(std::string_view prompt, bool no_system) {
  std::vector<MessageRef> messages;
  if (!no_system) messages.push_back({"system", DEFAULT_SYSTEM_PROMPT});
  messages.push_back({"user", prompt});
  return messages;
}

std::vector<std::size_t> chat_prompt_ids(std::string_view prompt, bool no_system,
                                         const Tokenizer* tokenizer) {
  if (tokenizer == nullptr) return {1, 42};
  const std::vector<uint32_t> ids = tokenizer->encode_chat(chat_messages(prompt, no_system));
  out_line(fmt::format("Prompt       : {}", quote_debug(prompt)));
  out_line(fmt::format("Tokens       : {} ids", ids.size()));
  return {ids.begin(), ids.end()};
}

void emit_stdout(std::string_view text) {
  out_write(text);
  (void)out_flush();
}

void run_chat_cli(std::string_view prompt, std::size_t max_new_tokens, bool no_system,
                  const ModelConfig& config, const Weights& weights, const Tokenizer* tokenizer,
                  KvBudget* kv_budget) {
  const std::vector<std::size_t> ids = chat_prompt_ids(prompt, no_system, tokenizer);
  out_write("\n--- Response ---\n");
  // Greedy, no repeat penalty, no seed: nothing is ever drawn.
  const GenerateParams params{max_new_tokens, 0.0f, 1, 1.0f, std::nullopt};
  generate(ids, params, config, weights, tokenizer, emit_stdout, GenerationLimits{kv_budget, {}});
  out_write("\n--- End ---\n");
}

}  // namespace korvex
