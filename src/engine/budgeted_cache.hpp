#pragma once
// A generation's key/value cache together with its share of the cache budget. Room for rows
// is taken from the budget before the rows exist: the vectors get exactly that capacity, so
// no append ever reallocates on its own and the memory they hold stays within the share.
#include <cstddef>
#include <cstdint>

#include "engine/config.hpp"
#include "engine/kv_budget.hpp"
#include "engine/kv_cache.hpp"

namespace korvex {

// Positions of room taken at a time while decoding.
inline constexpr std::size_t kDecodeRoomStep = 256;

struct BudgetedCache {
  KvBudgetShare share;  // declared first, so it is given back after the cache is freed
  KvCache cache;
  std::size_t capacity = 0;  // positions every layer has room for
  uint64_t position_bytes = 0;
  std::size_t kv_dim = 0;

  BudgetedCache(const ModelConfig& config, KvBudget* budget);
};

// Before the prompt runs: the generation's working memory and room for the prompt's
// `prompt_len` positions and the first `first_steps` decoded ones. A fatal stop that says
// what was asked and what is free when the budget cannot give it.
void reserve_prompt_room(BudgetedCache& c, uint64_t working_bytes, std::size_t prompt_len,
                         std::size_t first_steps);

// Before position `pos` is fed: when it lies past the room, room for up to kDecodeRoomStep
// more positions, never past `last_needed` (the position after the last one the generation
// can feed). The same fatal stop when the budget cannot give it.
void ensure_decode_room(BudgetedCache& c, std::size_t pos, std::size_t last_needed);

}  // namespace korvex
