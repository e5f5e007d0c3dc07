#pragma once
// How the program prints an f32 with "{}": the shortest digits that read back as the same
// float, laid out positionally with no exponent (10000, 1, 0.5, 0.00001).
#include <string>
#include <string_view>

namespace korvex {

// Lays out the unsigned scientific form of std::to_chars ("d.ddde±xx", shortest digits)
// positionally: "1.5e-05" gives "0.000015", "1e+04" gives "10000".
std::string positional_digits(std::string_view sci);

// Negative values, -0 included, start with '-'; NaN is "NaN", infinities "inf" / "-inf".
std::string f32_display(float v);

}  // namespace korvex
