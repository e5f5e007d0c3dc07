#pragma once
// The prompt through the model in batches: each layer runs every position of a chunk
// through one pass over each weight matrix, while the attention still goes position by
// position over the cache rows up to its own. The cache ends up exactly as one forward call
// per id fills it, and the logits are those that forward_logits gives for the last id.
#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "engine/config.hpp"
#include "engine/kv_cache.hpp"
#include "engine/weights.hpp"

namespace korvex {

// Positions run through the layers together; bounds the activations to a few megabytes.
inline constexpr std::size_t kPrefillChunk = 128;

// Feeds prompt[i] at position start + i, where start is the number of rows the cache holds
// already (0 for a fresh cache), and returns the vocab logits of the last id. An empty
// prompt is the fatal stop "empty prompt"; every id is checked against the vocabulary
// before the cache is touched. The result never depends on `chunk`. When `stop` is given and
// says so before a chunk (or, one position at a time, before a position), the prompt is left
// part-way and the result is empty.
std::vector<float> prefill(std::span<const std::size_t> prompt, const ModelConfig& config,
                           const Weights& weights, KvCache& cache, std::size_t chunk = kPrefillChunk,
                           const std::function<bool()>& stop = {});

}  // namespace korvex
