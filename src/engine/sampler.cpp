#include "engine/sampler.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <ctime>
#include <utility>
#include <vector>

#include "kernels/kernel_tables.hpp"

namespace korvex {

int32_t total_order_key(float value) {
  const auto bits = std::bit_cast<int32_t>(value);
  // Negative values order backwards by their bits: flip all but the sign bit.
  return bits ^ static_cast<int32_t>(static_cast<uint32_t>(bits >> 31) >> 1);
}

void apply_repeat_penalty(std::span<float> logits, std::span<const std::size_t> generated,
                          float penalty) {
  if (!(penalty > 1.0f)) return;
  const std::size_t first = generated.size() > REPEAT_WINDOW ? generated.size() - REPEAT_WINDOW : 0;
  for (std::size_t i = first; i < generated.size(); ++i) {
    if (generated[i] >= logits.size()) continue;  // ids always come from these logits
    float& logit = logits[generated[i]];
    if (logit > 0.0f) logit = logit / penalty;
    else logit = logit * penalty;
  }
}

namespace {

const GreedyPickKernel* greedy_pick_kernel() { return kernel_tables().greedy_pick; }

}  // namespace

std::size_t greedy_pick(std::span<const float> logits) {
  std::size_t best = 0, i = 0;
  int32_t best_key = INT32_MIN;
  // Whole vectors first (positions as 32-bit lanes), the rest in the same loop as without.
  const GreedyPickKernel* k = greedy_pick_kernel();
  if (k != nullptr && logits.size() < (std::size_t{1} << 31)) {
    i = logits.size() / k->lanes * k->lanes;
    if (i != 0) {
      GreedyBest b = k->pick(logits.data(), i);
      best = b.index;
      best_key = b.key;
    }
  }
  for (; i < logits.size(); ++i) {
    const int32_t key = total_order_key(logits[i]);
    if (key >= best_key) {
      best = i;
      best_key = key;
    }
  }
  return best;
}

float unit_draw(uint64_t u) {
  const double scaled = static_cast<double>(u) * 0x1p-64;
  return static_cast<float>(scaled);
}

std::size_t sample_top_k(std::span<const float> logits, float temperature, std::size_t top_k,
                         ChaCha12& rng) {
  struct Candidate {
    std::size_t index;
    float value;
    int32_t key;
  };
  std::vector<Candidate> candidates;
  candidates.reserve(logits.size());
  for (std::size_t i = 0; i < logits.size(); ++i) {
    const float value = logits[i] / temperature;
    candidates.push_back({i, value, total_order_key(value)});
  }
  if (candidates.empty()) return 0;

  // Best first; equal values in index order, so the first k are the same as those of a
  // stable sort of the whole list, whatever its length.
  const std::size_t k = std::min(std::max<std::size_t>(top_k, 1), candidates.size());
  std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(k),
                    candidates.end(), [](const Candidate& a, const Candidate& b) {
                      if (a.key != b.key) return a.key > b.key;
                      return a.index < b.index;
                    });

  const float mx = candidates[0].value;
  std::vector<float> probs(k);
  float sum = -0.0f;
  for (std::size_t j = 0; j < k; ++j) {
    probs[j] = expf(candidates[j].value - mx);
    sum = sum + probs[j];
  }
  for (float& p : probs) p = p / sum;

  const float r = unit_draw(rng.next_u64());
  float cumulative = 0.0f;
  for (std::size_t j = 0; j < k; ++j) {
    cumulative = cumulative + probs[j];
    if (cumulative >= r) return candidates[j].index;
  }
  return candidates[0].index;
}

uint64_t clock_seed() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec < 0) return 0;
  return static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace korvex
