#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "common/float_format.hpp"

namespace korvex {
namespace {

TEST(F32Display, ShortestDigitsInPlainNotation) {
  struct Case {
    float v;
    const char* text;
  };
  const Case cases[] = {
      {10000.0f, "10000"},
      {1.0f, "1"},
      {0.5f, "0.5"},
      {1e6f, "1000000"},
      {500000.0f, "500000"},
      {1e-5f, "0.00001"},
      {0.1f, "0.1"},
      {1.1f, "1.1"},
      {3.14159274f, "3.1415927"},
      {123.456f, "123.456"},
      {16777216.0f, "16777216"},
      {1e10f, "10000000000"},
      {3.4028235e38f, "340282350000000000000000000000000000000"},
      {1.4e-45f, "0.000000000000000000000000000000000000000000001"},
      {0.0f, "0"},
      {-0.0f, "-0"},
      {-2.5f, "-2.5"},
      {-0.0625f, "-0.0625"},
      {std::numeric_limits<float>::infinity(), "inf"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
      {std::nanf(""), "NaN"},
  };
  for (const auto& c : cases) EXPECT_EQ(f32_display(c.v), c.text) << c.text;
}

// The printed text must read back as the same float for every float of a broad sample.
TEST(F32Display, ReadsBackExactly) {
  for (uint32_t bits = 0; bits < 0x7F800000u; bits += 0x00012345u) {
    float v;
    std::memcpy(&v, &bits, 4);
    std::string s = f32_display(v);
    ASSERT_EQ(s.find('e'), std::string::npos) << s;
    EXPECT_EQ(std::strtof(s.c_str(), nullptr), v) << s;
  }
}

}  // namespace
}  // namespace korvex
