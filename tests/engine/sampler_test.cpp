#include "engine/sampler.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "kernels/cpu_features.hpp"

namespace korvex {
namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
const float NAN_POS = std::numeric_limits<float>::quiet_NaN();
const float NAN_NEG = -std::numeric_limits<float>::quiet_NaN();

TEST(TotalOrder, KeysRankEveryClassOfValue) {
  const std::vector<float> ascending = {NAN_NEG, -INF, -2.0f, -1e-45f, -0.0f, 0.0f,
                                        1e-45f,  1.0f, INF,   NAN_POS};
  for (std::size_t i = 1; i < ascending.size(); ++i) {
    EXPECT_LT(total_order_key(ascending[i - 1]), total_order_key(ascending[i])) << i;
  }
}

TEST(RepeatPenalty, DividesPositivesMultipliesOthersOncePerOccurrence) {
  std::vector<float> logits(10, 1.0f);
  logits[7] = 3.0f;
  logits[4] = -3.0f;
  logits[5] = 0.0f;
  const std::vector<std::size_t> generated = {7, 4, 7, 4, 5};
  apply_repeat_penalty(logits, generated, 1.5f);
  EXPECT_EQ(logits[7], 3.0f / 1.5f / 1.5f);
  EXPECT_EQ(logits[4], -6.75f);
  EXPECT_EQ(logits[5], 0.0f);
  EXPECT_EQ(logits[0], 1.0f);  // not in the window
}

TEST(RepeatPenalty, LooksBackOverTheLast64GeneratedIdsOnly) {
  std::vector<std::size_t> generated;
  for (std::size_t i = 0; i < 70; ++i) generated.push_back(i);
  std::vector<float> logits(70, 2.0f);
  apply_repeat_penalty(logits, generated, 2.0f);
  for (std::size_t i = 0; i < 70; ++i) EXPECT_EQ(logits[i], i < 6 ? 2.0f : 1.0f) << i;
}

TEST(RepeatPenalty, OneOrLessOrNaNChangesNothing) {
  for (float penalty : {1.0f, 0.5f, NAN_POS}) {
    std::vector<float> logits = {3.0f, -3.0f};
    apply_repeat_penalty(logits, std::vector<std::size_t>{0, 1}, penalty);
    EXPECT_EQ(logits, (std::vector<float>{3.0f, -3.0f})) << penalty;
  }
}

TEST(GreedyPick, TotalOrderWithHighestIndexOnTies) {
  struct Case {
    const char* name;
    std::vector<float> logits;
    std::size_t pick;
  };
  const std::vector<Case> cases = {
      {"tie at 3 and 7", {0, 1, 2, 5, 1, 2, 3, 5, 0}, 7},
      {"+0 above -0", {0.0f, -0.0f, -1.0f, -2.0f}, 0},
      {"+0 after -0 still wins", {-0.0f, 0.0f, -1.0f}, 1},
      {"NaN above +inf", {INF, NAN_POS, 1.0f}, 1},
      {"-NaN below everything", {NAN_NEG, -INF}, 1},
      {"all equal: last", {4, 4, 4}, 2},
      {"single", {-INF}, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(greedy_pick(c.logits), c.pick) << c.name;
}

// The plain pick: one pass, the later index taking equal keys.
std::size_t plain_greedy_pick(const std::vector<float>& logits) {
  std::size_t best = 0;
  int32_t best_key = INT32_MIN;
  for (std::size_t i = 0; i < logits.size(); ++i)
    if (total_order_key(logits[i]) >= best_key) best = i, best_key = total_order_key(logits[i]);
  return best;
}

TEST(GreedyPick, VectorPickEqualsThePlainOneOnEveryLevel) {
  // Few distinct values, so that maxima repeat across lanes and vectors; the special values
  // of the total order among them; lengths around the vector widths, with ragged tails.
  const float values[] = {NAN_NEG, -INF, -3.0f, -0.0f, 0.0f, 1e-45f, 2.0f, INF, NAN_POS,
                          std::bit_cast<float>(0xFFFFFFFFu), std::bit_cast<float>(0x7FFFFFFFu)};
  std::mt19937 rng(5);
  for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
    if (level > detected_simd_level()) continue;
    set_simd_level(level);
    for (std::size_t n : {1, 7, 8, 15, 16, 17, 33, 64, 1000, 151936}) {
      for (int trial = 0; trial < 20; ++trial) {
        // Each trial draws from a prefix of the values so that the top one varies.
        std::size_t distinct = 1 + trial % std::size(values);
        std::vector<float> logits(n);
        for (float& v : logits) v = values[rng() % distinct];
        ASSERT_EQ(greedy_pick(logits), plain_greedy_pick(logits))
            << simd_level_name(level) << " n " << n << " trial " << trial;
      }
    }
  }
  set_simd_level(detected_simd_level());
}

// Draw r of seed 0, in order: 0.7311134, 0.7734602, 0.0258446, 0.5841593, ...
TEST(SampleTopK, TemperatureDividesTheLogitsBeforeTheSoftmax) {
  struct Case {
    const char* name;
    std::vector<float> logits;
    float temperature;
    std::size_t pick;
  };
  // Logits 2 and 0: p of the best is 0.8808 at temperature 1 and 0.7310586 at temperature 2,
  // just below the first draw 0.7311134, which then falls to the second candidate.
  const std::vector<Case> cases = {
      {"t=1 keeps the best", {2.0f, 0.0f}, 1.0f, 0},
      {"t=2 falls to the second", {2.0f, 0.0f}, 2.0f, 1},
      {"sorted best first", {0.0f, 2.0f}, 2.0f, 0},
      {"best first, t=1", {0.0f, 2.0f}, 1.0f, 1},
  };
  for (const auto& c : cases) {
    ChaCha12 rng = ChaCha12::seed_from_u64(0);
    EXPECT_EQ(sample_top_k(c.logits, c.temperature, 40, rng), c.pick) << c.name;
  }
}

TEST(SampleTopK, EqualValuesKeepIndexOrderAndEachStepDrawsOnce) {
  // Two equal candidates, p = 0.5 each, index 0 first: every draw above 0.5 picks index 1.
  ChaCha12 draws = ChaCha12::seed_from_u64(0);
  ChaCha12 rng = ChaCha12::seed_from_u64(0);
  const std::vector<float> logits = {1.0f, 1.0f, -INF};
  for (int step = 0; step < 70; ++step) {
    const float r = unit_draw(draws.next_u64());
    EXPECT_EQ(sample_top_k(logits, 1.0f, 3, rng), r > 0.5f ? 1u : 0u) << step;
  }
}

TEST(SampleTopK, TopKBounds) {
  const std::vector<float> logits = {0.1f, 0.3f, 0.2f, 0.3f};
  for (uint64_t seed = 0; seed < 20; ++seed) {
    ChaCha12 rng = ChaCha12::seed_from_u64(seed);
    // k = 1 (and 0, taken as 1): the first of the sorted list, the lower index of the tie.
    EXPECT_EQ(sample_top_k(logits, 0.7f, 1, rng), 1u);
    EXPECT_EQ(sample_top_k(logits, 0.7f, 0, rng), 1u);
  }
  // k beyond the vocabulary keeps every candidate: the worst one is reachable.
  std::vector<std::size_t> hits(4);
  ChaCha12 rng = ChaCha12::seed_from_u64(42);
  for (int i = 0; i < 400; ++i) ++hits[sample_top_k(logits, 0.1f, 1000, rng)];
  for (std::size_t i = 0; i < 4; ++i) EXPECT_GT(hits[i], 0u) << i;
  // k = 2 never reaches beyond the tied pair.
  rng = ChaCha12::seed_from_u64(42);
  for (int i = 0; i < 200; ++i) {
    const std::size_t pick = sample_top_k(logits, 0.1f, 2, rng);
    EXPECT_TRUE(pick == 1 || pick == 3) << pick;
  }
}

TEST(SampleTopK, NaNProbabilitiesFallBackToTheFirstCandidate) {
  // The best value is +inf: inf - inf is NaN, so no running sum reaches the draw.
  ChaCha12 rng = ChaCha12::seed_from_u64(0);
  EXPECT_EQ(sample_top_k(std::vector<float>{1.0f, INF, 2.0f}, 1.0f, 3, rng), 1u);
}

TEST(ClockSeed, IsSubSecondNanoseconds) {
  for (int i = 0; i < 3; ++i) EXPECT_LT(clock_seed(), 1'000'000'000u);
}

}  // namespace
}  // namespace korvex
