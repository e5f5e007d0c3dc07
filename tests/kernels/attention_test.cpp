// The attention kernels of every table this machine runs against plain loops written out
// here, bit for bit: ragged shapes around the vector and tile sizes, and NaNs of distinct
// payloads, infinities and signed zeros where two of them meet in one operation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/nan_order.hpp"
#include "kernels/attention_kernels.hpp"
#include "kernels/cpu_features.hpp"
#include "dequant/reference.hpp"

namespace korvex::test {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<std::pair<std::string, const AttentionKernels*>> tables_here() {
  std::vector<std::pair<std::string, const AttentionKernels*>> out = {{"plain", &attention_kernels_plain()}};
  if (detected_simd_level() >= SimdLevel::Avx2) out.emplace_back("avx2", &attention_kernels_avx2());
  if (detected_simd_level() >= SimdLevel::Avx512) out.emplace_back("avx512", &attention_kernels_avx512());
  return out;
}

// Values in [-2, 2]; with `specials`, about one in `every` is a NaN of its own payload (either
// sign, quiet or signalling), an infinity or a signed zero.
std::vector<float> values(std::size_t n, std::mt19937& rng, std::size_t every = 0) {
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  std::vector<float> v(n);
  for (float& x : v) {
    x = u(rng);
    if (every != 0 && rng() % every == 0) {
      switch (rng() % 5) {
        case 0: x = ref_bits(0x7FC00000u | (rng() & 0x3FFFFF)); break;
        case 1: x = ref_bits(0xFFC00000u | (rng() & 0x3FFFFF)); break;
        case 2: x = ref_bits(0x7F800001u | (rng() & 0x1FFFFF)); break;  // signalling
        case 3: x = rng() % 2 ? kInf : -kInf; break;
        case 4: x = rng() % 2 ? 0.0f : -0.0f; break;
      }
    }
  }
  return v;
}

::testing::AssertionResult same_bits(float got, float want) {
  if (ref_f32_bits(got) == ref_f32_bits(want)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << std::hexfloat << got << " (0x" << std::hex << ref_f32_bits(got) << ") != "
                                       << want << " (0x" << ref_f32_bits(want) << ")";
}

// ---- The plain loops ----------------------------------------------------------------------

float score(const float* q, const float* key, std::size_t head_dim, float scale) {
  float dot = -0.0f;
  for (std::size_t j = 0; j < head_dim; ++j) dot = add_nan_first(mul_nan_first(q[j], key[j]), dot);
  return mul_nan_first(dot, scale);
}

float nan_ignoring_max(float a, float b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a > b ? a : b;
}

// The softmax of s[0], s[stride], ... (n of them) in place, with the sink.
void softmax(float* s, std::size_t stride, std::size_t n, float sink) {
  float m = -kInf;
  for (std::size_t t = 0; t < n; ++t) m = nan_ignoring_max(m, s[t * stride]);
  const float mx = nan_ignoring_max(m, sink);
  float z = -0.0f;
  for (std::size_t t = 0; t < n; ++t) {
    s[t * stride] = expf(s[t * stride] - mx);
    z = add_nan_first(s[t * stride], z);
  }
  if (sink > -kInf) z = add_nan_first(z, expf(sink - mx));
  for (std::size_t t = 0; t < n; ++t) s[t * stride] = s[t * stride] / z;
}

// ---- Scores ---------------------------------------------------------------------------------

struct ScoreShape {
  std::size_t heads, head_dim, row_begin, row_end;
};

// Heads and tiles of one up to beyond the widest tile, head sizes below, at and past whole
// vectors, row ranges that start and stop inside vectors.
const ScoreShape kScoreShapes[] = {
    {1, 1, 0, 1},    {1, 3, 0, 17},  {2, 16, 5, 21},  {3, 64, 0, 300}, {7, 64, 256, 300},
    {7, 80, 3, 100}, {8, 17, 0, 33}, {9, 64, 16, 64}, {17, 8, 1, 40},  {4, 128, 0, 15},
};

TEST(AttentionKernels, RowScoresAndTheirMaxMatchThePlainLoops) {
  std::mt19937 rng(7);
  for (const auto& [name, k] : tables_here())
    for (const ScoreShape& c : kScoreShapes)
      for (std::size_t every : {0, 40}) {
        SCOPED_TRACE(name + ": " + std::to_string(c.heads) + " heads of " + std::to_string(c.head_dim) + ", rows " +
                     std::to_string(c.row_begin) + ".." + std::to_string(c.row_end) + (every ? ", specials" : ""));
        const std::size_t q_stride = c.head_dim + 3, key_stride = 2 * c.head_dim + 5, ld = c.row_end + 9;
        // Queries far rarer in specials than keys: a NaN in a query makes its whole head NaN.
        std::vector<float> q = values(c.heads * q_stride, rng, every * 4), keys = values(c.row_end * key_stride, rng, every);
        const float sentinel = ref_bits(0x7FA5A5A5u);
        std::vector<float> got(c.heads * ld, sentinel), max(c.heads, sentinel);
        std::vector<float> work(row_scores_work(*k, c.heads, c.head_dim));
        RowScores a{q.data(),   q_stride,   c.heads,     keys.data(), key_stride, c.head_dim, c.row_begin,
                    c.row_end,  0.125f,     got.data(),  ld,          max.data(), work.data()};
        k->row_scores(a);
        for (std::size_t h = 0; h < c.heads; ++h) {
          float m = -kInf;
          for (std::size_t t = 0; t < ld; ++t) {
            float& g = got[h * ld + t];
            if (t < c.row_begin || t >= c.row_end) {
              ASSERT_TRUE(same_bits(g, sentinel)) << "wrote head " << h << " row " << t;
              continue;
            }
            float want = score(q.data() + h * q_stride, keys.data() + t * key_stride, c.head_dim, 0.125f);
            ASSERT_TRUE(same_bits(g, want)) << "head " << h << " row " << t;
            m = nan_ignoring_max(m, want);
          }
          EXPECT_EQ(max[h], m) << "max of head " << h;  // == : the max may be either zero
        }
      }
}

TEST(AttentionKernels, LaneScoresMatchThePlainLoops) {
  std::mt19937 rng(8);
  for (const auto& [name, k] : tables_here()) {
    const std::size_t L = k->lanes;
    for (std::size_t heads : {1, 2, 3, 4, 5, 7})
      for (std::size_t head_dim : {1, 3, 64, 80})
        for (std::size_t rows : {1, 7, 37, 150}) {
          SCOPED_TRACE(name + ": " + std::to_string(heads) + " heads of " + std::to_string(head_dim) + ", " +
                       std::to_string(rows) + " rows");
          const std::size_t qt_stride = head_dim * L + 2, key_stride = head_dim + 1, s_stride = rows * L + 3;
          std::vector<float> qt = values(heads * qt_stride, rng, 60), keys = values(rows * key_stride, rng, 30);
          std::vector<float> got(heads * s_stride);
          LaneScores a{qt.data(), qt_stride, heads, keys.data(), key_stride, head_dim, rows, 0.25f, got.data(), s_stride};
          k->lane_scores(a);
          std::vector<float> q(head_dim);
          for (std::size_t h = 0; h < heads; ++h)
            for (std::size_t l = 0; l < L; ++l) {
              for (std::size_t j = 0; j < head_dim; ++j) q[j] = qt[h * qt_stride + j * L + l];
              for (std::size_t t = 0; t < rows; ++t)
                ASSERT_TRUE(same_bits(got[h * s_stride + t * L + l],
                                      score(q.data(), keys.data() + t * key_stride, head_dim, 0.25f)))
                    << "head " << h << " lane " << l << " row " << t;
            }
        }
  }
}

// ---- Softmax --------------------------------------------------------------------------------

// Sinks absent, finite below and above the scores, infinite either way and NaN.
const float kSinks[] = {-kInf, -1.5f, 3.0f, kInf, std::nanf("")};

// Heads one at a time and several side by side, each with its own kind of sink.
TEST(AttentionKernels, SoftmaxOfHeadsMatchesThePlainLoops) {
  std::mt19937 rng(9);
  for (const auto& [name, k] : tables_here())
    for (std::size_t heads : {1, 2, 3, 5})
      for (std::size_t n : {1, 2, 15, 16, 17, 100})
        for (std::size_t every : {0, 10}) {
          SCOPED_TRACE(name + ": " + std::to_string(heads) + " heads of " + std::to_string(n) + " scores" +
                       (every ? " with specials" : ""));
          const std::size_t stride = n + 1;
          std::vector<float> want = values(heads * stride, rng, every), mx(heads), sink(heads);
          for (std::size_t h = 0; h < heads; ++h) want[h * stride + n] = 7.0f;  // past the end: must stay
          std::vector<float> got = want;
          for (std::size_t h = 0; h < heads; ++h) {
            sink[h] = kSinks[(h + n + every) % std::size(kSinks)];
            float m = -kInf;
            for (std::size_t t = 0; t < n; ++t) m = nan_ignoring_max(m, got[h * stride + t]);
            mx[h] = nan_ignoring_max(m, sink[h]);
            softmax(want.data() + h * stride, 1, n, sink[h]);
          }
          k->softmax(got.data(), stride, heads, n, mx.data(), sink.data());
          for (std::size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(same_bits(got[i], want[i])) << "float " << i;
        }
}

// Every lane over the rows up to its own position: blocks whose first lane sees a few rows
// or many, full and partial blocks, row counts inside and at the ends of vectors.
TEST(AttentionKernels, LaneSoftmaxMatchesThePlainLoopsPerLane) {
  std::mt19937 rng(10);
  for (const auto& [name, k] : tables_here()) {
    const std::size_t L = k->lanes;
    for (std::size_t full : {1, 2, 16, 17, 40})
      for (std::size_t count = 1; count <= L; count += (L > 4 ? 3 : 1))
        for (float sink : kSinks) {
          SCOPED_TRACE(name + ": first lane over " + std::to_string(full) + " rows, " + std::to_string(count) +
                       " lanes, sink " + std::to_string(sink));
          const std::size_t rows = full + count - 1, blocks = (rows + L - 1) / L;
          std::vector<float> got = values(blocks * L * L, rng, 12);
          std::vector<float> lanes = got;
          k->lane_softmax(got.data(), full, count, sink);
          for (std::size_t l = 0; l < count; ++l) {
            softmax(lanes.data() + l, L, full + l, sink);
            for (std::size_t t = 0; t < full + l; ++t)
              ASSERT_TRUE(same_bits(got[(t / L) * L * L + l * L + t % L], lanes[t * L + l])) << "lane " << l << " row " << t;
          }
        }
  }
}

// ---- Weighted sums ------------------------------------------------------------------------

struct SumShape {
  std::size_t sums, positions, d_begin, d_end, rows;
};

// Tiles of one sum to past the widest, element ranges inside and across vectors, one position
// and pairs of positions with one left over, rows within one stretch and across several.
const SumShape kSumShapes[] = {
    {1, 1, 0, 1, 1},   {1, 1, 0, 3, 20},   {2, 1, 0, 16, 17},  {3, 1, 16, 32, 5},  {4, 1, 0, 64, 40},
    {7, 1, 48, 64, 300}, {7, 1, 0, 80, 33}, {8, 1, 5, 77, 16},  {9, 1, 0, 72, 9},   {17, 1, 32, 48, 3},
    {1, 2, 0, 16, 1},  {4, 16, 0, 64, 30}, {3, 5, 0, 80, 17},  {5, 3, 3, 40, 16},  {2, 7, 0, 8, 100},
    {3, 4, 0, 64, 300},
};

TEST(AttentionKernels, WeightedSumsMatchThePlainLoops) {
  std::mt19937 rng(11);
  for (const auto& [name, k] : tables_here()) {
    const std::size_t L = k->lanes;
    for (const SumShape& c : kSumShapes)
      for (std::size_t p_block : {L, L * L})
        for (std::size_t every : {0, 25}) {
          // Several positions sit side by side in lane_softmax's blocks, at most lanes of them.
          if ((c.positions > 1 && p_block != L * L) || c.positions > L) continue;
          SCOPED_TRACE(name + ": " + std::to_string(c.sums) + " sums at " + std::to_string(c.positions) +
                       " positions of elements " + std::to_string(c.d_begin) + ".." + std::to_string(c.d_end) +
                       " over " + std::to_string(c.rows) + " rows, blocks of " + std::to_string(p_block) +
                       (every ? ", specials" : ""));
          const std::size_t rows = c.rows + c.positions - 1, blocks = (rows + L - 1) / L;
          const std::size_t p_stride = blocks * p_block + 1, value_stride = c.d_end + 7, out_stride = c.d_end + 2;
          const std::size_t out_position = c.sums * out_stride + 3;
          std::vector<float> p = values(c.sums * p_stride, rng, every), v = values(rows * value_stride, rng, every);
          std::vector<float> got = values(c.positions * out_position, rng), want = got;
          WeightedSums a{p.data(),  p_stride, p_block, c.sums,     c.positions, v.data(),  value_stride,
                         c.d_begin, c.d_end,  c.rows,  got.data(), out_stride,  out_position};
          k->weighted_sums(a);
          for (std::size_t i = 0; i < c.positions; ++i)
            for (std::size_t s = 0; s < c.sums; ++s)
              for (std::size_t t = 0; t < c.rows + i; ++t) {
                const float w = p[s * p_stride + (t / L) * p_block + i * L + t % L];
                float* out = want.data() + i * out_position + s * out_stride;
                for (std::size_t d = c.d_begin; d < c.d_end; ++d)
                  out[d] = add_nan_first(mul_nan_first(w, v[t * value_stride + d]), out[d]);
              }
          for (std::size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(same_bits(got[i], want[i])) << "float " << i;
        }
  }
}

}  // namespace
}  // namespace korvex::test
