#pragma once
// How the program prints an f32 with "{}": the shortest digits that read back as the same
// float, laid out positionally with no exponent (10000, 1, 0.5, 0.00001).
#include <string>

namespace korvex {

// Negative values, -0 included, start with '-'; NaN is "NaN", infinities "inf" / "-inf".
std::string f32_display(float v);

}  // namespace korvex
