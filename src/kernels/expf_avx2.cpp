// The exponential's array kernels for AVX2, 8 lanes per vector. Everything compiled
// for that target stays in the anonymous namespace.
#include <cstddef>

#include "kernels/expf_kernels.hpp"

// clang ignores GCC's target pragma (the fuzzing build uses clang); it takes the same
// target as an attribute on every function up to the matching pop.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "kernels/expf_avx2.hpp"

namespace korvex {
namespace {

using X = ExpfAvx2;
#include "kernels/expf_rows.inl"

}  // namespace
}  // namespace korvex

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace korvex {
const ExpfKernels& expf_kernels_avx2() { return kExpfKernels; }
}  // namespace korvex
