#include "engine/logits.hpp"

#include "common/pool.hpp"
#include "kernels/matvec.hpp"
#include "engine/forward.hpp"

namespace korvex {

std::vector<float> forward_logits(std::size_t token, std::size_t pos, const ModelConfig& config,
                                  const Weights& weights, KvCache& cache) {
  ParallelRegion region;  // one for the layers and the output product together
  std::vector<float> x = forward(token, pos, config, weights, cache);
  std::vector<float> xn = rms_norm(x, weights.output_norm);
  const TensorInfo& output = weights.output;
  return matvec(xn, weights.file->tensor_data(output), output.ggml_type, config.embed,
                config.vocab);
}

}  // namespace korvex
