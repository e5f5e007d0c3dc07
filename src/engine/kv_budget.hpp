#pragma once
// One budget of bytes for the key/value caches of every generation in the process. Each
// generation takes its share before it writes the rows and gives it back when it ends, so
// the caches together never grow past what the memory can back, however many run at once.
#include <atomic>
#include <cstdint>

#include "engine/config.hpp"

namespace korvex {

struct KvBudget {
  explicit KvBudget(uint64_t total_bytes);
  KvBudget(const KvBudget&) = delete;
  KvBudget& operator=(const KvBudget&) = delete;

  uint64_t total() const { return total_; }
  uint64_t available() const { return available_.load(std::memory_order_acquire); }

  // Takes `bytes` when that many are free, all or nothing; false leaves the budget as it was.
  bool try_take(uint64_t bytes);
  void give_back(uint64_t bytes);

 private:
  uint64_t total_;
  std::atomic<uint64_t> available_;
};

// One generation's part of a budget; whatever it still holds goes back when it is destroyed,
// however the generation ends. Without a budget every take succeeds.
struct KvBudgetShare {
  KvBudget* budget = nullptr;
  uint64_t held = 0;

  explicit KvBudgetShare(KvBudget* b) : budget(b) {}
  KvBudgetShare(const KvBudgetShare&) = delete;
  KvBudgetShare& operator=(const KvBudgetShare&) = delete;
  ~KvBudgetShare();

  bool take(uint64_t bytes);
  void give_back(uint64_t bytes);  // at most what is held
};

// The budget for a process that may use `usable_memory` bytes with `mapped_bytes` of model
// file mapped: what is left after the mapping and a margin for everything that is not a
// cache (the allocator's slack, thread stacks, request buffers), never below zero.
uint64_t kv_budget_bytes(uint64_t usable_memory, uint64_t mapped_bytes);

// Bytes one position adds to the cache over all layers: a key row and a value row per layer.
uint64_t kv_position_bytes(const ModelConfig& config);

// What one generation needs besides its cache while its prompt of `prompt_len` ids runs
// and while it decodes: the prompt chunk's activations, the logits and the sampler's
// candidates, and a little for the rest.
uint64_t generation_working_bytes(const ModelConfig& config, std::size_t prompt_len);

// Bytes as MiB with one decimal, for messages.
double mib(uint64_t bytes);

}  // namespace korvex
