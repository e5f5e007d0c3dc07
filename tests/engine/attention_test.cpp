// The attention of one decoded position against a loop-by-loop reference, and the prompt's
// chunks against one position at a time, bit for bit: grouped and ungrouped heads, odd head
// sizes, cache lengths around the vector, tile and task sizes, every kind of sink, NaN and
// infinite scores, every instruction-set level, one thread, the whole pool and a region.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "common/nan_order.hpp"
#include "common/pool.hpp"
#include "kernels/cpu_features.hpp"
#include "engine/attention.hpp"

namespace korvex {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

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

std::vector<uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<uint32_t> b(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) b[i] = std::bit_cast<uint32_t>(v[i]);
  return b;
}

// Values in [-3, 3] (scores of a few units, so that the softmax spreads); with `every`, about
// one in `every` is a NaN of its own payload, an infinity or a signed zero.
std::vector<float> values(std::size_t n, std::mt19937& rng, std::size_t every = 0) {
  std::uniform_real_distribution<float> u(-3.0f, 3.0f);
  std::vector<float> v(n);
  for (float& x : v) {
    x = u(rng);
    if (every != 0 && rng() % every == 0) {
      switch (rng() % 4) {
        case 0: x = std::bit_cast<float>(static_cast<uint32_t>(0x7FC00000u | (rng() & 0x3FFFFF))); break;
        case 1: x = std::bit_cast<float>(static_cast<uint32_t>(0xFFC00000u | (rng() & 0x3FFFFF))); break;
        case 2: x = rng() % 2 ? kInf : -kInf; break;
        case 3: x = rng() % 2 ? 0.0f : -0.0f; break;
      }
    }
  }
  return v;
}

float nan_ignoring_max(float a, float b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a > b ? a : b;
}

// The attention of one position written out loop by loop, every operation in its order.
std::vector<float> reference(const std::vector<float>& q, const LayerCache& lc, const std::vector<float>& sinks,
                             std::size_t rows, const AttentionShape& s) {
  const std::size_t hd = s.head_dim, kv_dim = s.kv_heads * hd;
  std::vector<float> out(s.heads * hd, 0.0f), e(rows);
  for (std::size_t h = 0; h < s.heads; ++h) {
    const std::size_t kv = h * s.kv_heads / s.heads;
    float m = -kInf;
    for (std::size_t t = 0; t < rows; ++t) {
      float dot = -0.0f;
      for (std::size_t j = 0; j < hd; ++j)
        dot = add_nan_first(mul_nan_first(q[h * hd + j], lc.keys[t * kv_dim + kv * hd + j]), dot);
      e[t] = mul_nan_first(dot, s.score_scale);
      m = nan_ignoring_max(m, e[t]);
    }
    const float sink = h < sinks.size() ? sinks[h] : -kInf;
    const float mx = nan_ignoring_max(m, sink);
    float z = -0.0f;
    for (std::size_t t = 0; t < rows; ++t) {
      e[t] = expf(e[t] - mx);
      z = add_nan_first(e[t], z);
    }
    if (sink > -kInf) z = add_nan_first(z, expf(sink - mx));
    for (std::size_t t = 0; t < rows; ++t) {
      const float p = e[t] / z;
      for (std::size_t d = 0; d < hd; ++d)
        out[h * hd + d] = add_nan_first(mul_nan_first(p, lc.values[t * kv_dim + kv * hd + d]), out[h * hd + d]);
    }
  }
  return out;
}

struct Case {
  const char* name;
  AttentionShape shape;
  std::vector<float> sinks;  // fewer than heads: the rest have none
  // One special value in about this many of the values, forty times fewer in the keys (a
  // NaN score makes its head NaN throughout); 0: none.
  std::size_t specials;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

std::vector<Case> cases() {
  return {
      {"ungrouped_small_heads", {4, 4, 8, 0.35f}, {}, 0},
      {"grouped_0_5b_shape_sinks_of_every_kind", {14, 2, 64, 0.125f}, {0.5f, -kInf, kNan, 40.0f, -3.0f, kInf}, 0},
      {"uneven_groups_odd_head", {6, 4, 3, 0.5f}, {1.0f, 2.0f}, 0},
      {"one_group_of_three_wide_heads", {3, 1, 80, 0.11f}, {0.25f, 0.25f, 0.25f}, 0},
      {"more_key_value_heads_than_queries", {2, 4, 5, 0.4f}, {}, 0},
      {"nine_heads_in_a_group", {9, 1, 16, 0.25f}, {-1.0f}, 0},
      {"nan_and_infinite_scores", {14, 2, 64, 0.125f}, {0.5f, kNan, -kInf}, 150},
  };
}

// Cache lengths around whole vectors, whole tiles and the tasks' 256 rows; long enough
// ones run on the pool.
const std::size_t kRows[] = {1, 2, 15, 16, 17, 255, 256, 257, 700};

class Attention : public testing::TestWithParam<Case> {};

TEST_P(Attention, OnePositionMatchesTheLoopByLoopReference) {
  const Case& c = GetParam();
  const AttentionShape& s = c.shape;
  std::mt19937 rng(3);
  const std::size_t kv_dim = s.kv_heads * s.head_dim, most = kRows[std::size(kRows) - 1];
  LayerCache lc{values(most * kv_dim, rng, c.specials * 40), values(most * kv_dim, rng, c.specials)};
  tbb::task_arena one(1);
  for (std::size_t rows : kRows) {
    std::vector<float> q = values(s.heads * s.head_dim, rng, c.specials * 8);
    const std::vector<float> want = reference(q, lc, c.sinks, rows, s);
    for (SimdLevel level : levels_here()) {
      LevelGuard guard(level);
      SCOPED_TRACE(std::string(simd_level_name(level)) + ", " + std::to_string(rows) + " rows");
      std::vector<float> got(s.heads * s.head_dim, 0.0f);
      attend_position(q, lc, c.sinks, rows, s, got);
      EXPECT_EQ(bits_of(got), bits_of(want));
      {
        ParallelRegion region;  // as a decoding step runs it: a phase of the token's region
        std::vector<float> in_region(s.heads * s.head_dim, 0.0f);
        attend_position(q, lc, c.sinks, rows, s, in_region);
        EXPECT_EQ(bits_of(in_region), bits_of(want)) << "in a region";
      }
      ScopedArena alone(one);
      std::vector<float> single(s.heads * s.head_dim, 0.0f);
      attend_position(q, lc, c.sinks, rows, s, single);
      EXPECT_EQ(bits_of(single), bits_of(want)) << "on one thread";
    }
  }
}

// The tasks of one position share their work through counters: whatever order they run in,
// on one thread or many, with or without helper tasks past the value pieces, the result is
// the same and nothing waits forever.
TEST_P(Attention, OnePositionsTasksInAnyOrder) {
  const Case& c = GetParam();
  const AttentionShape& s = c.shape;
  std::mt19937 rng(5);
  const std::size_t rows = 700, kv_dim = s.kv_heads * s.head_dim, q_dim = s.heads * s.head_dim;
  LayerCache lc{values(rows * kv_dim, rng, c.specials * 40), values(rows * kv_dim, rng, c.specials)};
  const std::vector<float> q = values(q_dim, rng, c.specials * 8);
  const std::vector<float> want = reference(q, lc, c.sinks, rows, s);
  for (std::size_t threads : {1, 3, 20}) {
    DecodeScratch scratch;
    auto run = [&](auto&& order) {
      std::vector<float> got(q_dim, 0.0f);
      DecodeAttention plan(q, lc, c.sinks, rows, s, got, threads, scratch);
      order(plan);
      return got;
    };
    SCOPED_TRACE(std::to_string(threads) + " threads");
    EXPECT_EQ(bits_of(run([](const DecodeAttention& p) {
                for (std::size_t t = p.tasks(); t-- > 0;) p.run(t);
              })),
              bits_of(want))
        << "last task first";
    EXPECT_EQ(bits_of(run([&](const DecodeAttention& p) {
                std::vector<std::size_t> order(p.tasks());
                std::iota(order.begin(), order.end(), std::size_t{0});
                std::shuffle(order.begin(), order.end(), rng);
                for (std::size_t t : order) p.run(t);
              })),
              bits_of(want))
        << "shuffled";
    EXPECT_EQ(bits_of(run([](const DecodeAttention& p) {
                parallel_ranges(p.tasks(), 1, [&](std::size_t b, std::size_t e) {
                  for (std::size_t t = b; t < e; ++t) p.run(t);
                });
              })),
              bits_of(want))
        << "on the pool";
  }
}

// Chunks of one position, of whole and partial blocks of positions and of the prompt's
// usual 128, after none, a few and a few hundred cached positions.
TEST_P(Attention, PromptChunksMatchOnePositionAtATime) {
  const Case& c = GetParam();
  const AttentionShape& s = c.shape;
  const std::size_t q_dim = s.heads * s.head_dim, kv_dim = s.kv_heads * s.head_dim;
  struct Chunk {
    std::size_t first, n;
  };
  std::mt19937 rng(4);
  for (Chunk ch : {Chunk{0, 1}, Chunk{0, 17}, Chunk{5, 16}, Chunk{0, 128}, Chunk{250, 40}, Chunk{300, 9}}) {
    const std::size_t rows = ch.first + ch.n;
    LayerCache lc{values(rows * kv_dim, rng, c.specials * 40), values(rows * kv_dim, rng, c.specials)};
    const std::vector<float> q = values(ch.n * q_dim, rng, c.specials * 8);
    for (SimdLevel level : levels_here()) {
      LevelGuard guard(level);
      SCOPED_TRACE(std::string(simd_level_name(level)) + ": " + std::to_string(ch.n) + " positions after " +
                   std::to_string(ch.first));
      std::vector<float> got(ch.n * q_dim, 0.0f);
      attend_chunk(ChunkAttention(q.data(), q_dim, ch.first, ch.n, lc, c.sinks, s, got.data(), q_dim));
      for (std::size_t i = 0; i < ch.n; ++i) {
        std::vector<float> qi(q.begin() + i * q_dim, q.begin() + (i + 1) * q_dim), want(q_dim, 0.0f);
        attend_position(qi, lc, c.sinks, ch.first + i + 1, s, want);
        std::vector<float> row(got.begin() + i * q_dim, got.begin() + (i + 1) * q_dim);
        ASSERT_EQ(bits_of(row), bits_of(want)) << "position " << ch.first + i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, Attention, testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Zero queries make every score +0.0 or -0.0 (-0.0 where every product is -0.0, a key row of
// negative elements), so the max is a zero whose sign depends on the order it is taken in:
// by ranges of rows, lane by lane, or in one pass. With sinks of either zero or none, the
// results must not show which.
TEST(Attention, ZeroScoresOfEitherSignGiveOneResultWhateverOrderTheMaxTakes) {
  const AttentionShape s{4, 2, 16, 0.25f};
  const std::size_t rows = 700, kv_dim = s.kv_heads * s.head_dim, q_dim = s.heads * s.head_dim;
  std::mt19937 rng(6);
  LayerCache lc{values(rows * kv_dim, rng), values(rows * kv_dim, rng)};
  for (std::size_t t = 0; t < rows; ++t)
    if (rng() % 2)
      for (std::size_t i = 0; i < kv_dim; ++i) lc.keys[t * kv_dim + i] = -std::fabs(lc.keys[t * kv_dim + i]);
  const std::vector<float> sinks = {0.0f, -0.0f}, q(q_dim, 0.0f);
  // The fixture does what it is for: the max of the scores in row order and in reverse order
  // are zeros of opposite signs.
  auto score_zero = [&](std::size_t t) {
    float dot = -0.0f;
    for (std::size_t j = 0; j < s.head_dim; ++j) dot = add_nan_first(mul_nan_first(0.0f, lc.keys[t * kv_dim + j]), dot);
    return dot;
  };
  float forward = -kInf, backward = -kInf;
  for (std::size_t t = 0; t < rows; ++t) forward = nan_ignoring_max(forward, score_zero(t));
  for (std::size_t t = rows; t-- > 0;) backward = nan_ignoring_max(backward, score_zero(t));
  ASSERT_NE(std::signbit(forward), std::signbit(backward));
  const std::vector<float> want = reference(q, lc, sinks, rows, s);
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    SCOPED_TRACE(simd_level_name(level));
    std::vector<float> got(q_dim, 0.0f);
    attend_position(q, lc, sinks, rows, s, got);
    EXPECT_EQ(bits_of(got), bits_of(want));
    const std::size_t first = rows - 40;
    std::vector<float> qs(40 * q_dim, 0.0f), chunk(40 * q_dim, 0.0f);
    attend_chunk(ChunkAttention(qs.data(), q_dim, first, 40, lc, sinks, s, chunk.data(), q_dim));
    EXPECT_EQ(bits_of(std::vector<float>(chunk.end() - q_dim, chunk.end())), bits_of(want));
  }
}

}  // namespace
}  // namespace korvex
