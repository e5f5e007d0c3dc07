#include "kernels/product_clock.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "dequant/ggml_types.hpp"
#include "kernels/matvec.hpp"
#include "support/gguf_writer.hpp"

namespace korvex::test {
namespace {

// The decoding benchmark reads the total only around the steps it times, so products run
// while the clock is off must add nothing, and every product while it is on must count.
TEST(ProductClock, AddsTheTimeOfProductsOnlyWhileSwitchedOn) {
  const std::size_t n = 64;
  std::vector<float> x(n, 0.5f), w(n * n, 0.25f);
  auto product = [&] { return matvec(x, f32_bytes(w), GgmlType::F32, n, n); };

  reset_product_clock();
  product();
  EXPECT_EQ(product_clock_ns(), 0u);

  set_product_clock(true);
  product();
  set_product_clock(false);
  uint64_t timed = product_clock_ns();
  EXPECT_GT(timed, 0u);

  product();
  EXPECT_EQ(product_clock_ns(), timed);
  reset_product_clock();
  EXPECT_EQ(product_clock_ns(), 0u);
}

}  // namespace
}  // namespace korvex::test
