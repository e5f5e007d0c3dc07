#include "main/startup.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "common/output.hpp"

namespace korvex {

void print_tokenizer_line(bool loaded) {
  out_line(loaded ? "Tokenizer    : loaded" : "Tokenizer    : not found");
}

Weights load_weights_with_progress(std::shared_ptr<const GgufFile> file, const ModelConfig& config) {
  out_line("Loading weights...");
  Weights weights = [&] {
    const TensorIndex index = build_tensor_index(*file);
    return Weights::load(index, file, config);
  }();
  out_line("Ready.");
  return weights;
}

std::string f32_fixed3(float v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // glibc prints the exact binary value correctly rounded, ties to even.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(v));
  return buf;
}

std::optional<std::string> sink_stats_line(const Weights& weights) {
  if (weights.attn_sinks.empty() || weights.attn_sinks[0].empty()) return std::nullopt;
  const std::vector<float>& sinks = weights.attn_sinks[0];
  float min = std::numeric_limits<float>::infinity();
  float max = -std::numeric_limits<float>::infinity();
  float sum = -0.0f;
  for (float v : sinks) {
    if (!std::isnan(v)) {
      if (v < min) min = v;
      if (v > max) max = v;
    }
    sum = sum + v;
  }
  const float mean = sum / static_cast<float>(sinks.size());
  return fmt::format("AttnSink L0  : min={} max={} mean={}", f32_fixed3(min), f32_fixed3(max),
                     f32_fixed3(mean));
}

void print_sink_stats(const Weights& weights) {
  if (auto line = sink_stats_line(weights)) out_line(*line);
}

}  // namespace korvex
