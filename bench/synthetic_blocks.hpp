#pragma once
// Random but valid tensor bytes for the benchmark models: every scale a normal half, codes
// uniform over their range, and each type's scales chosen so that the weights spread like
// those of a trained model (a standard deviation of about 0.01 to 0.07), which keeps the
// activations finite and varied through every layer whatever the element type.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvex::bench {

// splitmix64: one seed per tensor, so a tensor's bytes do not depend on the order in which
// the tensors are made.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  float unit() { return static_cast<float>(next() >> 40) * 0x1p-24f; }
};

// The stored bytes of a rows x cols matrix of the type (F32, F16, BF16, Q5_0, Q5_1, Q8_0,
// Q4_K, Q6_K, IQ4_NL); cols must be a whole number of the type's blocks.
std::vector<uint8_t> random_matrix(uint32_t ggml_type, std::size_t rows, std::size_t cols, uint64_t seed);

// n values centre +- spread, uniform: norms and biases.
std::vector<float> random_near(std::size_t n, float centre, float spread, uint64_t seed);

}  // namespace korvex::bench
