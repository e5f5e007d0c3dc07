#pragma once
// The command-line mode's one chat turn: wrap the prompt in chat messages, show it and its
// id count, then stream the greedy answer to standard output between two marker lines.
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "engine/config.hpp"
#include "engine/kv_budget.hpp"
#include "engine/weights.hpp"
#include "tokenizer/tokenizer.hpp"

namespace korvex {

inline constexpr std::string_view DEFAULT_SYSTEM_PROMPT =
    "You are Qwen, created by Alibaba Cloud. You are a helpful assistant.";

// The messages the prompt is sent as: the system message first unless left out.
std::vector<MessageRef> chat_messages(std::string_view prompt, bool no_system);

// The prompt ids: the encoded messages with a tokenizer (printing the "Prompt" and
// "Tokens" lines), the two ids 1, 42 without one.
std::vector<std::size_t> chat_prompt_ids(std::string_view prompt, bool no_system,
                                         const Tokenizer* tokenizer);

// The token sink of the command line: the piece as it is, then a flush whose failure is
// left for the next write to find.
void emit_stdout(std::string_view text);

// With a budget, a prompt whose cache cannot fit in it stops fatally before any model work.
void run_chat_cli(std::string_view prompt, std::size_t max_new_tokens, bool no_system,
                  const ModelConfig& config, const Weights& weights, const Tokenizer* tokenizer,
                  KvBudget* kv_budget = nullptr);

}  // namespace korvex
