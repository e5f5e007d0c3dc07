#include "engine/kv_budget.hpp"

#include <algorithm>

#include "engine/prefill.hpp"

namespace korvex {

KvBudget::KvBudget(uint64_t total_bytes) : total_(total_bytes), available_(total_bytes) {}

bool KvBudget::try_take(uint64_t bytes) {
  uint64_t free = available_.load(std::memory_order_relaxed);
  do {
    if (free < bytes) return false;
  } while (!available_.compare_exchange_weak(free, free - bytes, std::memory_order_acq_rel,
                                             std::memory_order_relaxed));
  return true;
}

void KvBudget::give_back(uint64_t bytes) { available_.fetch_add(bytes, std::memory_order_acq_rel); }

KvBudgetShare::~KvBudgetShare() {
  if (budget != nullptr && held != 0) budget->give_back(held);
}

bool KvBudgetShare::take(uint64_t bytes) {
  if (budget != nullptr && !budget->try_take(bytes)) return false;
  held += bytes;
  return true;
}

void KvBudgetShare::give_back(uint64_t bytes) {
  bytes = std::min(bytes, held);
  held -= bytes;
  if (budget != nullptr) budget->give_back(bytes);
}

namespace {
constexpr uint64_t kMiB = uint64_t{1} << 20;
}  // namespace

uint64_t kv_budget_bytes(uint64_t usable_memory, uint64_t mapped_bytes) {
  // A fixed part for what every process has (runtime, pools, tokenizer tables) and a
  // thirty-second of the memory for the allocator's slack between freed and reused blocks.
  const uint64_t margin = 128 * kMiB + usable_memory / 32;
  const uint64_t reserved = mapped_bytes + margin;
  return usable_memory > reserved ? usable_memory - reserved : 0;
}

uint64_t kv_position_bytes(const ModelConfig& config) {
  const uint64_t kv_dim = uint64_t{config.kv_heads} * config.head_dim;
  return 2 * uint64_t{config.layers} * kv_dim * sizeof(float);
}

uint64_t generation_working_bytes(const ModelConfig& config, std::size_t prompt_len) {
  const uint64_t rows = std::min<uint64_t>(std::max<std::size_t>(prompt_len, 1), kPrefillChunk);
  const uint64_t q_dim = uint64_t{config.heads} * config.head_dim;
  const uint64_t kv_dim = uint64_t{config.kv_heads} * config.head_dim;
  const uint64_t experts = std::max<uint64_t>(1, std::min(config.n_experts_used, config.n_experts));
  // The chunk's rows: hidden states and norms (about seven of embed), query and attention
  // output, key and value, and gate, up and gated rows of the feed-forward block per expert.
  const uint64_t chunk_floats = rows * (7 * uint64_t{config.embed} * experts + 2 * q_dim + 2 * kv_dim +
                                        3 * uint64_t{config.ffn} * experts);
  // Logits, their penalised copy, and the sampler's (index, value) candidates.
  const uint64_t vocab_floats = 6 * uint64_t{config.vocab};
  return (chunk_floats + vocab_floats) * sizeof(float) + 2 * kMiB;
}

double mib(uint64_t bytes) { return static_cast<double>(bytes) / static_cast<double>(kMiB); }

}  // namespace korvex
