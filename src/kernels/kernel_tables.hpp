#pragma once
// The one place that maps the instruction set in use to the vector kernels: every family
// of kernels (products, batched products, attention, the exponential, the greedy pick)
// takes its table from here, so that they all follow one level, the one
// active_simd_level() gives, and a lowered level reaches every one of them.
#include "kernels/attention_kernels.hpp"
#include "kernels/expf_kernels.hpp"
#include "kernels/greedy_pick.hpp"
#include "kernels/matmul_kernels.hpp"
#include "kernels/matvec_kernels.hpp"

namespace korvex {

struct KernelTables {
  // Null where the plain loops run: at the scalar level.
  const MatvecKernels* products;
  const MatmulKernels* batched;
  const GreedyPickKernel* greedy_pick;
  // Always set: the plain table at the scalar level.
  const AttentionKernels* attention;
  const ExpfKernels* expf;
};

// The tables of the active level, looked up on every call: tests and benchmarks lower the
// level while the program runs.
const KernelTables& kernel_tables();

}  // namespace korvex
