#pragma once
// One step of the model ending in one logit per vocabulary entry.
#include <cstddef>
#include <vector>

#include "engine/config.hpp"
#include "engine/kv_cache.hpp"
#include "engine/weights.hpp"

namespace korvex {

// forward, then the final RMS norm and the output matrix: vocab logits, element i for id i.
std::vector<float> forward_logits(std::size_t token, std::size_t pos, const ModelConfig& config,
                                  const Weights& weights, KvCache& cache);

}  // namespace korvex
