#pragma once
// The start-up steps between the model summary and the chosen mode: the tokenizer line,
// the weights loading with its progress lines, and the attention-sink statistics.
#include <optional>
#include <string>

#include "engine/config.hpp"
#include "engine/weights.hpp"
#include "gguf/gguf.hpp"
#include "tokenizer/tokenizer.hpp"

namespace korvex {

// "Tokenizer    : loaded" or "Tokenizer    : not found".
void print_tokenizer_line(bool loaded);

// "Loading weights...", the weights from a tensor index that lives only for the loading,
// then "Ready.".
Weights load_weights_with_progress(std::shared_ptr<const GgufFile> file, const ModelConfig& config);

// An f32 with exactly three decimals, rounded from its exact value (ties to even);
// NaN is "NaN", the infinities "inf" and "-inf", a negative value keeps its sign (-0.000).
std::string f32_fixed3(float v);

// The statistics line of layer 0's attention sinks, or nothing when that layer has none:
// min and max skipping NaN, the mean as an f32 sum from -0.0 in index order over n.
std::optional<std::string> sink_stats_line(const Weights& weights);
void print_sink_stats(const Weights& weights);

}  // namespace korvex
