#pragma once
// The key/value cache of one generation: per layer, one row of kv_heads * head_dim floats per
// processed position, keys after their bias and rotation, values after their bias.
#include <cstddef>
#include <vector>

#include "engine/config.hpp"

namespace korvex {

struct LayerCache {
  std::vector<float> keys;    // row p = floats [p * kv_dim, (p + 1) * kv_dim)
  std::vector<float> values;  // same layout, never rotated
};

struct KvCache {
  std::vector<LayerCache> layers;

  // One empty LayerCache per layer of the model.
  static KvCache empty(const ModelConfig& config);
};

}  // namespace korvex
