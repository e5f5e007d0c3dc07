// The vector exponential and the gates built on it against glibc's expf and the scalar
// formulas, bit for bit (NaN payloads included), at every instruction-set level this machine
// has: every one of the 2^32 inputs, array shapes and special values.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/nan_order.hpp"
#include "kernels/cpu_features.hpp"
#include "kernels/expf_array.hpp"
#include "kernels/expf_constants.hpp"
#include "kernels/expf_kernels.hpp"
#include "dequant/reference.hpp"

namespace korvex::test {
namespace {

struct LevelGuard {
  explicit LevelGuard(SimdLevel l) { set_simd_level(l); }
  ~LevelGuard() { set_simd_level(detected_simd_level()); }
};

std::vector<SimdLevel> levels_here() {
  std::vector<SimdLevel> out = {SimdLevel::Scalar};
  if (detected_simd_level() >= SimdLevel::Avx2) out.push_back(SimdLevel::Avx2);
  if (detected_simd_level() >= SimdLevel::Avx512) out.push_back(SimdLevel::Avx512);
  return out;
}

// glibc's expf through a pointer the compiler cannot see through: GCC folds expf of a
// constant with its own correctly rounded value, which is not always glibc's.
float (*volatile glibc_expf)(float) = ::expf;

// The gate formulas, written out here with glibc's expf; their last product keeps its first
// factor's NaN where both are NaN, as the engine's gates always have.
float silu_formula(float g, float u) { return mul_nan_first(u, g / (glibc_expf(-g) + 1.0f)); }

float expert_formula(float g, float u) {
  float gc = g < 7.0f ? g : 7.0f;                        // a NaN gate gives 7
  float uc = u < -7.0f ? -7.0f : (u > 7.0f ? 7.0f : u);  // a NaN up value stays NaN
  float glu = gc / (glibc_expf(gc * -1.702f) + 1.0f);
  return mul_nan_first(glu, uc + 1.0f);
}

std::string hex(uint32_t bits) {
  char s[16];
  std::snprintf(s, sizeof s, "0x%08X", bits);
  return s;
}

// got[i] has the bits of want[i] for every i < n.
::testing::AssertionResult bits_equal(const float* got, const std::vector<float>& want, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (ref_f32_bits(got[i]) != ref_f32_bits(want[i]))
      return ::testing::AssertionFailure() << "index " << i << ": got " << hex(ref_f32_bits(got[i])) << ", want "
                                           << hex(ref_f32_bits(want[i]));
  }
  return ::testing::AssertionSuccess();
}

// The vector kernels this machine can run. The plain level is glibc's expf itself.
std::vector<std::pair<const char*, const ExpfKernels*>> vector_kernels_here() {
  std::vector<std::pair<const char*, const ExpfKernels*>> out;
  if (detected_simd_level() >= SimdLevel::Avx2) out.emplace_back("avx2", &expf_kernels_avx2());
  if (detected_simd_level() >= SimdLevel::Avx512) out.emplace_back("avx512", &expf_kernels_avx512());
  return out;
}

// The sanitizer builds run the suite again for memory and undefined-behaviour faults, not
// for values: there every 5th block of 2^16 inputs is checked (a stride prime to every power
// of two, so that every sign, exponent and top mantissa bits still show).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint32_t kBlockStride = 5;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr uint32_t kBlockStride = 5;
#else
constexpr uint32_t kBlockStride = 1;
#endif
#else
constexpr uint32_t kBlockStride = 1;
#endif

// Blocks of 2^16 consecutive bit patterns, spread over all threads; glibc's values are
// computed once per block and every vector level is checked against them.
TEST(ExpfArray, EveryInputMatchesGlibcAtEveryVectorLevel) {
  constexpr uint32_t kBlock = 1u << 16;
  const auto kernels = vector_kernels_here();
  if (kernels.empty()) GTEST_SKIP() << "no vector level on this machine";
  std::atomic<uint32_t> next{0};
  std::vector<std::atomic<uint64_t>> mismatches(kernels.size());
  std::vector<std::atomic<uint32_t>> first_bad(kernels.size());
  auto work = [&] {
    std::vector<float> in(kBlock), out(kBlock), want(kBlock);
    for (uint32_t b; (b = next.fetch_add(kBlockStride)) < kBlock;) {
      for (uint32_t i = 0; i < kBlock; ++i) {
        in[i] = ref_bits(b << 16 | i);
        want[i] = glibc_expf(in[i]);
      }
      for (std::size_t k = 0; k < kernels.size(); ++k) {
        kernels[k].second->expf(in.data(), out.data(), kBlock);
        if (std::memcmp(out.data(), want.data(), kBlock * sizeof(float)) == 0) continue;
        for (uint32_t i = 0; i < kBlock; ++i)
          if (ref_f32_bits(out[i]) != ref_f32_bits(want[i]) && mismatches[k].fetch_add(1) == 0)
            first_bad[k] = b << 16 | i;
      }
    }
  };
  {
    std::vector<std::jthread> threads(std::max(1u, std::thread::hardware_concurrency()));
    for (auto& t : threads) t = std::jthread(work);
  }
  for (std::size_t k = 0; k < kernels.size(); ++k)
    EXPECT_EQ(mismatches[k].load(), 0u) << kernels[k].first << ", e.g. input " << hex(first_bad[k].load());
}

// x stepped k floats up (k > 0) or down.
float floats_away(float x, int k) {
  for (; k > 0; --k) x = std::nextafter(x, INFINITY);
  for (; k < 0; ++k) x = std::nextafter(x, -INFINITY);
  return x;
}

// Inputs where rounding or the C library takes a special turn: NaNs of both kinds, signs and
// several payloads; infinities, zeros, subnormal and the largest inputs; and the floats
// around each x where e^x crosses an edge of the float format: the overflow threshold
// 2^128, the smallest normal 2^-126, the smallest subnormal 2^-149 and half of it (below
// which everything rounds to zero), and the midpoints next to 1.
std::vector<float> special_inputs() {
  std::vector<float> v;
  for (uint32_t b : {0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0xFF800001u, 0x7FA12345u, 0xFFE54321u, 0x7F800000u,
                     0xFF800000u, 0x00000000u, 0x80000000u, 0x00000001u, 0x807FFFFFu, 0x7F7FFFFFu, 0xFF7FFFFFu})
    v.push_back(ref_bits(b));
  const double ln2 = std::numbers::ln2;
  for (double edge : {128 * ln2, -126 * ln2, -149 * ln2, -150 * ln2, 0x1p-24, -0x1p-25})
    for (int k = -8; k <= 8; ++k) v.push_back(floats_away(static_cast<float>(edge), k));
  for (float x : {89.0f, 100.0f, 110.0f, -100.0f, -110.0f, -200.0f, 1e30f, -1e30f}) v.push_back(x);
  return v;
}

// Special inputs mixed with realistic softmax and gate values.
std::vector<float> mixed_inputs(std::size_t n, std::mt19937& rng) {
  std::vector<float> specials = special_inputs(), v(n);
  std::normal_distribution<float> normal(0.0f, 4.0f);
  for (auto& x : v) x = rng() % 4 == 0 ? specials[rng() % specials.size()] : -std::fabs(normal(rng));
  return v;
}

TEST(ExpfArray, SpecialInputsAtEveryLevel) {
  std::vector<float> in = special_inputs(), want(in.size()), out(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) want[i] = glibc_expf(in[i]);
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    expf_array(in.data(), out.data(), in.size());
    EXPECT_TRUE(bits_equal(out.data(), want, in.size())) << simd_level_name(level);
  }
}

// Every length up to two vectors and a ragged end, input and output at different
// alignments, apart and in place; the floats around the output stay untouched.
TEST(ExpfArray, LengthsAlignmentsAndInPlace) {
  std::mt19937 rng(7);
  constexpr std::size_t kMaxLanes = 16, kPad = 4;
  const float canary = ref_bits(0x7FBADBADu);
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (std::size_t n = 0; n <= 2 * kMaxLanes + 3; ++n) {
      for (std::size_t offset = 0; offset < 4; ++offset) {
        std::vector<float> in = mixed_inputs(n, rng), want(n);
        for (std::size_t i = 0; i < n; ++i) want[i] = glibc_expf(in[i]);
        std::vector<float> src(n + 2 * kPad, canary), dst(n + 2 * kPad, canary);
        float* s = src.data() + kPad + offset;
        float* d = dst.data() + kPad + (offset + 1) % 4;
        std::copy(in.begin(), in.end(), s);
        expf_array(s, d, n);
        ASSERT_TRUE(bits_equal(d, want, n)) << simd_level_name(level) << " n " << n << " offset " << offset;
        ASSERT_TRUE(bits_equal(s, in, n)) << "input changed";
        for (float* p = dst.data(); p < dst.data() + dst.size(); ++p)
          if (p < d || p >= d + n) {
            ASSERT_EQ(ref_f32_bits(*p), ref_f32_bits(canary)) << "wrote " << p - d;
          }
        expf_array(s, s, n);
        ASSERT_TRUE(bits_equal(s, want, n)) << simd_level_name(level) << " in place, n " << n;
      }
    }
  }
}

// Gate inputs: the special values above and those where the gates turn (around +-7, large
// and small sizes), each g against each u, then random realistic ones.
void gate_inputs(std::vector<float>& g, std::vector<float>& u) {
  std::vector<float> s = {7.0f, -7.0f, std::nextafter(7.0f, 0.0f), std::nextafter(7.0f, 8.0f),
                          std::nextafter(-7.0f, 0.0f), std::nextafter(-7.0f, -8.0f), 6.5f, -6.5f, 1.0f, -1.0f,
                          1e-30f, -1e-30f, 60.0f, -60.0f, 3e38f, -3e38f};
  for (uint32_t b : {0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0xFFE54321u, 0x7F800000u, 0xFF800000u, 0x00000000u,
                     0x80000000u, 0x00000001u})
    s.push_back(ref_bits(b));
  for (float x : special_inputs()) s.push_back(-x);  // the silu gate takes expf(-g)
  for (float a : s)
    for (float b : s) {
      g.push_back(a);
      u.push_back(b);
    }
  std::mt19937 rng(11);
  std::normal_distribution<float> normal(0.0f, 3.0f);
  for (int i = 0; i < 5000; ++i) {
    g.push_back(normal(rng));
    u.push_back(normal(rng));
  }
}

TEST(GateRows, SiluAndExpertGatesMatchTheFormulasAtEveryLevel) {
  std::vector<float> g, u;
  gate_inputs(g, u);
  struct Case {
    const char* name;
    void (*rows)(const float*, const float*, float*, std::size_t);
    float (*formula)(float, float);
  };
  for (const Case& c : {Case{"silu", silu_gate_rows, silu_formula}, Case{"expert", expert_gate_rows, expert_formula}}) {
    std::vector<float> want(g.size());
    for (std::size_t i = 0; i < g.size(); ++i) want[i] = c.formula(g[i], u[i]);
    for (SimdLevel level : levels_here()) {
      LevelGuard guard(level);
      std::vector<float> out(g.size());
      c.rows(g.data(), u.data(), out.data(), g.size());
      EXPECT_TRUE(bits_equal(out.data(), want, g.size())) << c.name << " " << simd_level_name(level);
      // Short and unaligned runs, and the output over either input.
      for (std::size_t n : {0, 1, 7, 9, 15, 17, 35}) {
        std::vector<float> gs(g.begin() + 1, g.begin() + 1 + n), us(u.begin() + 1, u.begin() + 1 + n);
        std::vector<float> w(want.begin() + 1, want.begin() + 1 + n);
        c.rows(g.data() + 1, u.data() + 1, out.data() + 3, n);
        EXPECT_TRUE(bits_equal(out.data() + 3, w, n)) << c.name << " " << simd_level_name(level) << " n " << n;
        std::vector<float> gi = gs, ui = us;
        c.rows(gi.data(), us.data(), gi.data(), n);
        c.rows(gs.data(), ui.data(), ui.data(), n);
        EXPECT_TRUE(bits_equal(gi.data(), w, n) && bits_equal(ui.data(), w, n))
            << c.name << " in place, n " << n;
      }
    }
  }
}

// The derived constants against the long double library.
TEST(ExpfConstants, TableAndSeriesMatchLongDouble) {
  constexpr auto t = exp2_fraction_table<16>();
  for (int j = 0; j < 16; ++j) EXPECT_EQ(t.v[j], static_cast<double>(std::exp2l(j / 16.0L))) << j;
  constexpr auto c = exp2_fraction_taylor<8, 6>();
  for (int i = 0; i <= 6; ++i)
    EXPECT_NEAR(c.v[i], std::pow(std::log(2.0L) / 8, i) / std::tgamma(i + 1.0L), std::ldexp(c.v[i], -52)) << i;
  EXPECT_EQ(kStepsPerUnit<16>, static_cast<double>(16 / std::log(2.0L)));
}

}  // namespace
}  // namespace korvex::test
