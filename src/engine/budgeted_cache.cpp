#include "engine/budgeted_cache.hpp"

#include <algorithm>

#include "common/fatal.hpp"

namespace korvex {

BudgetedCache::BudgetedCache(const ModelConfig& config, KvBudget* budget)
    : share(budget),
      cache(KvCache::empty(config)),
      position_bytes(kv_position_bytes(config)),
      kv_dim(config.kv_heads * config.head_dim) {}

namespace {

// Saturating: counts near the type's end mean "more than any budget".
uint64_t times(uint64_t a, uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; }
uint64_t plus(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

[[noreturn]] void refuse(const BudgetedCache& c, std::string what, uint64_t needed) {
  const KvBudget& budget = *c.share.budget;
  if (needed > budget.total())
    fatal("{} need {:.1f} MiB, more than the whole key/value cache budget of {:.1f} MiB", what,
          mib(needed), mib(budget.total()));
  fatal("{} need {:.1f} MiB, but only {:.1f} MiB of the {:.1f} MiB key/value cache budget are free",
        what, mib(needed), mib(budget.available()), mib(budget.total()));
}

// Every layer's vectors get room for `positions` rows, one vector at a time.
void set_capacity(BudgetedCache& c, std::size_t positions) {
  for (LayerCache& lc : c.cache.layers) {
    lc.keys.reserve(positions * c.kv_dim);
    lc.values.reserve(positions * c.kv_dim);
  }
  c.capacity = positions;
}

}  // namespace

void reserve_prompt_room(BudgetedCache& c, uint64_t working_bytes, std::size_t prompt_len,
                         std::size_t first_steps) {
  const std::size_t positions = prompt_len + first_steps;
  const uint64_t needed = plus(working_bytes, times(positions, c.position_bytes));
  if (!c.share.take(needed))
    refuse(c,
           first_steps == 0 ? fmt::format("a prompt of {} positions", prompt_len)
                            : fmt::format("a prompt of {} positions and its first {} generated ones",
                                          prompt_len, first_steps),
           needed);
  set_capacity(c, positions);
}

void ensure_decode_room(BudgetedCache& c, std::size_t pos, std::size_t last_needed) {
  if (pos < c.capacity) return;
  const std::size_t positions = std::min(std::max(last_needed, pos + 1), c.capacity + kDecodeRoomStep);
  const uint64_t more = times(positions - c.capacity, c.position_bytes);
  // A vector that grows holds its old rows and the new room at once until the old ones are
  // copied over; the vectors grow one after the other, so one old vector's bytes at a time.
  const uint64_t moving = times(c.capacity, c.kv_dim * sizeof(float));
  if (!c.share.take(plus(more, moving)))
    refuse(c, fmt::format("{} more positions after the first {}", positions - c.capacity, c.capacity),
           plus(more, moving));
  set_capacity(c, positions);
  c.share.give_back(moving);
}

}  // namespace korvex
