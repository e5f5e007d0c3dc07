#include "kernels/cpu_features.hpp"

#include <cpuid.h>

#include <atomic>

namespace korvex {
namespace {

// XCR0 through xgetbv; only valid when CPUID reports OSXSAVE.
uint64_t read_xcr0() {
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

SimdLevel detect() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return SimdLevel::Scalar;
  bool osxsave = c & (1u << 27);
  bool avx = c & (1u << 28);
  bool f16c = c & (1u << 29);
  if (!osxsave || !avx || !f16c) return SimdLevel::Scalar;
  uint64_t xcr0 = read_xcr0();
  bool ymm_state = (xcr0 & 0x6) == 0x6;            // SSE and AVX state
  bool zmm_state = (xcr0 & 0xE0) == 0xE0;          // opmask, upper ZMM0-15, ZMM16-31
  if (!ymm_state) return SimdLevel::Scalar;
  if (__get_cpuid_max(0, nullptr) < 7) return SimdLevel::Scalar;
  __cpuid_count(7, 0, a, b, c, d);
  bool avx2 = b & (1u << 5);
  bool avx512f = b & (1u << 16), avx512dq = b & (1u << 17), avx512bw = b & (1u << 30),
       avx512vl = b & (1u << 31);
  if (avx2 && zmm_state && avx512f && avx512dq && avx512bw && avx512vl) return SimdLevel::Avx512;
  if (avx2) return SimdLevel::Avx2;
  return SimdLevel::Scalar;
}

std::atomic<int> requested{-1};  // -1: the detected level

}  // namespace

SimdLevel detected_simd_level() {
  static const SimdLevel level = detect();
  return level;
}

SimdLevel active_simd_level() {
  SimdLevel best = detected_simd_level();
  int r = requested.load(std::memory_order_relaxed);
  if (r < 0 || r > static_cast<int>(best)) return best;
  return static_cast<SimdLevel>(r);
}

void set_simd_level(SimdLevel level) { requested.store(static_cast<int>(level), std::memory_order_relaxed); }

const char* simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::Avx512: return "avx512";
    case SimdLevel::Avx2: return "avx2";
    case SimdLevel::Scalar: break;
  }
  return "scalar";
}

}  // namespace korvex
