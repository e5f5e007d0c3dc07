#include "kernels/expf_array.hpp"

#include <cmath>

#include "common/nan_order.hpp"
#include "kernels/expf_kernels.hpp"
#include "kernels/kernel_tables.hpp"

namespace korvex {
namespace {

float silu_gate_one(float g, float u) { return mul_nan_first(u, g / (expf(-g) + 1.0f)); }

float expert_gate_one(float g, float u) {
  float gc = g < 7.0f ? g : 7.0f;                        // a NaN gate gives 7
  float uc = u < -7.0f ? -7.0f : (u > 7.0f ? 7.0f : u);  // a NaN up value stays NaN
  float glu = gc / (expf(gc * -1.702f) + 1.0f);
  return mul_nan_first(glu, uc + 1.0f);
}

void expf_plain(const float* in, float* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = expf(in[i]);
}

void silu_gate_plain(const float* g, const float* u, float* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = silu_gate_one(g[i], u[i]);
}

void expert_gate_plain(const float* g, const float* u, float* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = expert_gate_one(g[i], u[i]);
}

constexpr ExpfKernels kPlain = {1, expf_plain, silu_gate_plain, expert_gate_plain};

const ExpfKernels& active_kernels() { return *kernel_tables().expf; }

}  // namespace

const ExpfKernels& expf_kernels_scalar() { return kPlain; }

void expf_array(const float* in, float* out, std::size_t n) { active_kernels().expf(in, out, n); }

void silu_gate_rows(const float* g, const float* u, float* out, std::size_t n) {
  active_kernels().silu_gate(g, u, out, n);
}

void expert_gate_rows(const float* g, const float* u, float* out, std::size_t n) {
  active_kernels().expert_gate(g, u, out, n);
}

}  // namespace korvex
