#pragma once
// The exponential's array kernels per instruction set (expf_avx512.cpp, expf_avx2.cpp, and
// the plain loops in expf_array.cpp), one table each; expf_array.cpp picks the table of the
// active level.
#include <cstddef>

namespace korvex {

using ExpfRowsFn = void (*)(const float* in, float* out, std::size_t n);
using GateRowsFn = void (*)(const float* g, const float* u, float* out, std::size_t n);

struct ExpfKernels {
  std::size_t lanes;
  ExpfRowsFn expf;
  GateRowsFn silu_gate;
  GateRowsFn expert_gate;
};

const ExpfKernels& expf_kernels_scalar();
const ExpfKernels& expf_kernels_avx2();
const ExpfKernels& expf_kernels_avx512();

}  // namespace korvex
