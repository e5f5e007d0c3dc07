#include "kernels/kernel_tables.hpp"

#include "kernels/cpu_features.hpp"

namespace korvex {

const KernelTables& kernel_tables() {
  // Built on first use: the tables they point at live in other files.
  static const KernelTables avx512 = {&matvec_kernels_avx512(), &matmul_kernels_avx512(), &greedy_pick_avx512(),
                                      &attention_kernels_avx512(), &expf_kernels_avx512()};
  static const KernelTables avx2 = {&matvec_kernels_avx2(), &matmul_kernels_avx2(), &greedy_pick_avx2(),
                                    &attention_kernels_avx2(), &expf_kernels_avx2()};
  static const KernelTables plain = {nullptr, nullptr, nullptr, &attention_kernels_plain(), &expf_kernels_scalar()};
  switch (active_simd_level()) {
    case SimdLevel::Avx512: return avx512;
    case SimdLevel::Avx2: return avx2;
    case SimdLevel::Scalar: break;
  }
  return plain;
}

}  // namespace korvex
