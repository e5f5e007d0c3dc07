#pragma once
// Size checks of loaded weights against the configuration: the forward pass slices vectors and
// matrices by the configured counts, so a file whose tensors are smaller stops here, at load,
// with the tensor and the sizes named, instead of being read out of bounds later.
#include "engine/config.hpp"
#include "engine/weights.hpp"

namespace korvex {

void check_weight_shapes(const Weights& weights, const ModelConfig& config);

}  // namespace korvex
