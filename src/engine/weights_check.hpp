#pragma once
// Size checks of loaded weights against the configuration: the forward pass slices vectors and
// matrices by the configured counts, so a file whose tensors are smaller stops here, at load,
// with the tensor and the sizes named, instead of being read out of bounds later.
#include "engine/config.hpp"
#include "engine/weights.hpp"

namespace korvex {

void check_weight_shapes(const Weights& weights, const ModelConfig& config);

// Before anything is loaded: the query and key/value widths size the zero biases of every
// layer, so widths that no matrix of a file this long could hold are refused before those
// are allocated (every matrix row holds at least one byte, see check_weight_shapes).
void check_attention_widths(const ModelConfig& config, uint64_t file_size);

}  // namespace korvex
