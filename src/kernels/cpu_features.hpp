#pragma once
// Which vector instructions the products may use, decided once at run time from what both
// the CPU and the operating system enable, so one build runs on every x86-64 machine.
#include <cstdint>

namespace korvex {

enum class SimdLevel : uint8_t { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// The best level this machine supports: Avx512 needs F, BW, DQ and VL with the opmask and
// ZMM state enabled in XCR0; Avx2 needs AVX2 and F16C with the YMM state enabled.
SimdLevel detected_simd_level();

// The level the products use: the detected one unless lowered. Tests and benchmarks lower
// it to run the narrower kernels; a request above the detected level is capped.
SimdLevel active_simd_level();
void set_simd_level(SimdLevel level);

const char* simd_level_name(SimdLevel level);

}  // namespace korvex
