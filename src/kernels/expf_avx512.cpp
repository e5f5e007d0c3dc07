// The exponential's array kernels for AVX-512F, 16 lanes per vector. Everything compiled
// for that target stays in the anonymous namespace.
// GCC 12's AVX-512 headers build vectors from deliberately undefined ones, which its
// uninitialised-use analysis reports once the intrinsics are inlined here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <cstddef>

#include "kernels/expf_kernels.hpp"

// clang ignores GCC's target pragma (the fuzzing build uses clang); it takes the same
// target as an attribute on every function up to the matching pop.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif

#include "kernels/expf_avx512.hpp"

namespace korvex {
namespace {

using X = ExpfAvx512;
#include "kernels/expf_rows.inl"

}  // namespace
}  // namespace korvex

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace korvex {
const ExpfKernels& expf_kernels_avx512() { return kExpfKernels; }
}  // namespace korvex
