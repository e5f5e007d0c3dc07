// The batched product against matvec, input by input: every type, every instruction-set
// level this machine has, ragged batches, rows and columns, and special values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/pool.hpp"
#include "kernels/cpu_features.hpp"
#include "kernels/matmul.hpp"
#include "kernels/matvec.hpp"
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

// What the batch must equal: matvec of each input on its own, outputs laid out b * rows + r.
std::vector<float> matvec_each(const std::vector<float>& x, std::size_t batch, const std::vector<uint8_t>& w,
                               uint32_t type, std::size_t cols, std::size_t rows) {
  std::vector<float> out;
  for (std::size_t b = 0; b < batch; ++b) {
    std::vector<float> xb(x.begin() + b * cols, x.begin() + (b + 1) * cols);
    std::vector<float> o = matvec(xb, w, type, cols, rows);
    out.insert(out.end(), o.begin(), o.end());
  }
  return out;
}

void put16(uint8_t* p, uint16_t h) {
  p[0] = static_cast<uint8_t>(h);
  p[1] = static_cast<uint8_t>(h >> 8);
}

// Infinities, NaNs, signed zeros and subnormals in the weights' scales or elements and in x,
// sparse enough that most sums stay finite: an infinity or NaN poisons its whole row or
// input, and a comparison of nothing but NaNs would pass whatever the kernel did.
void add_specials(uint32_t type, std::vector<uint8_t>& w, std::size_t rows, std::vector<float>& x,
                  std::size_t batch, std::mt19937& rng) {
  const GgmlTypeInfo* t = ggml_type_info(type);
  const uint16_t halves[] = {0x7C00, 0xFC00, 0x7E00, 0x8000, 0x0000, 0x0001};
  const uint32_t singles[] = {0x7F800000, 0xFF800000, 0x7FC00000, 0x80000000, 0x00000001};
  std::size_t blocks = w.size() / t->block_bytes;
  for (std::size_t i = 0; blocks > 0 && i < rows / 4 + 1; ++i) {
    uint8_t* p = w.data() + (rng() % blocks) * t->block_bytes;
    uint32_t s = singles[rng() % std::size(singles)];
    if (type == GgmlType::F32) std::memcpy(p, &s, 4);
    else if (type == GgmlType::BF16) put16(p, static_cast<uint16_t>(s >> 16));
    else put16(p + (type == GgmlType::Q6_K ? 208 : 0), halves[rng() % std::size(halves)]);
  }
  for (std::size_t i = 0; !x.empty() && i < batch / 4 + 1; ++i)
    x[rng() % x.size()] = ref_bits(singles[rng() % std::size(singles)]);
}

TEST(Matmul, EveryTypeAndLevelMatchesMatvecPerInput) {
  std::mt19937 rng(8);
  // Batches cover a lone input, partial and whole vector groups and a tail of groups;
  // rows cover partial and whole tiles.
  const std::size_t batches[] = {1, 3, 16, 17, 40, 70};
  const std::size_t row_counts[] = {1, 5, 8, 13};
  std::size_t finite = 0, not_finite = 0;  // of the sums with special values
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (uint32_t type : kAllTypes) {
      const GgmlTypeInfo* t = ggml_type_info(type);
      // Whole-block columns for every type; for the element types also odd counts.
      std::vector<std::size_t> cols_list = {t->block_elems == 256 ? 512u : 64u};
      if (t->block_elems == 1) cols_list.insert(cols_list.end(), {1, 7, 33});
      for (std::size_t cols : cols_list)
        for (std::size_t rows : row_counts)
          for (std::size_t batch : batches)
            for (bool specials : {false, true}) {
              auto w = random_blocks(type, rows * (cols / t->block_elems), rng);
              auto x = random_floats(batch * cols, rng);
              if (specials) add_specials(type, w, rows, x, batch, rng);
              std::vector<float> got = matmul(x, batch, w, type, cols, rows);
              ASSERT_TRUE(same_bits(got, matvec_each(x, batch, w, type, cols, rows)))
                  << simd_level_name(level) << " " << t->name << " " << batch << " x " << cols << " -> " << rows
                  << (specials ? " with specials" : "");
              if (specials)
                for (float v : got) ++(std::isfinite(v) ? finite : not_finite);
            }
    }
  }
  EXPECT_GT(finite, not_finite) << "the special values poison most sums";
  EXPECT_GT(not_finite, 0u);
}

// Shapes that leave part of a block: Q5_1 and IQ4_NL ignore the columns past the last whole
// block, the decoded types dequantise the matrix whole (rows straddling blocks).
TEST(Matmul, PartialBlockColumnsMatchMatvec) {
  std::mt19937 rng(11);
  struct Case {
    uint32_t type;
    std::size_t cols, rows;
  };
  const Case cases[] = {
      {GgmlType::Q5_1, 40, 6},  {GgmlType::IQ4_NL, 70, 5}, {GgmlType::Q8_0, 48, 2},
      {GgmlType::Q5_0, 16, 10}, {GgmlType::Q4_K, 128, 6},  {GgmlType::Q6_K, 384, 2},
  };
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (const Case& c : cases) {
      const GgmlTypeInfo* t = ggml_type_info(c.type);
      std::size_t blocks = c.type == GgmlType::Q5_1 || c.type == GgmlType::IQ4_NL ? c.rows * (c.cols / 32)
                                                                                  : c.rows * c.cols / t->block_elems;
      auto w = random_blocks(c.type, blocks, rng);
      for (std::size_t batch : {1, 9, 33}) {
        auto x = random_floats(batch * c.cols, rng);
        ASSERT_TRUE(same_bits(matmul(x, batch, w, c.type, c.cols, c.rows),
                              matvec_each(x, batch, w, c.type, c.cols, c.rows)))
            << simd_level_name(level) << " " << t->name << " " << c.cols << " columns";
      }
    }
  }
}

// Rows long enough that a batch's inputs no longer fit the caches run in stretches of
// columns, the sums waiting between them; stretches that end inside a row of whole blocks
// and rows that end inside a block (Q5_1, IQ4_NL ignore the rest), and more tiles than go
// through the stretches together.
TEST(Matmul, LongRowsInStretchesMatchMatvec) {
  std::mt19937 rng(12);
  struct Case {
    uint32_t type;
    std::size_t cols, rows;
  };
  std::vector<Case> cases;
  for (uint32_t type : kAllTypes) cases.push_back({type, 4352, 7});
  cases.push_back({GgmlType::Q5_1, 4360, 5});
  cases.push_back({GgmlType::IQ4_NL, 4370, 5});
  cases.push_back({GgmlType::Q8_0, 4352, 450});
  const std::size_t batch = 40;
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (const Case& c : cases) {
      const GgmlTypeInfo* t = ggml_type_info(c.type);
      auto w = random_blocks(c.type, c.rows * (c.cols / t->block_elems), rng);
      // No special values: over rows this long they would make nearly every sum a NaN.
      auto x = random_floats(batch * c.cols, rng);
      ASSERT_TRUE(same_bits(matmul(x, batch, w, c.type, c.cols, c.rows), matvec_each(x, batch, w, c.type, c.cols, c.rows)))
          << simd_level_name(level) << " " << t->name << " " << c.cols << " columns, " << c.rows << " rows";
    }
  }
}

// Products of one input in one call: each output as matmul_into gives it alone, whatever
// its neighbours' types, sizes or paths (an empty product, rows straddling blocks, a lone
// input that goes to matvec).
TEST(Matmul, SameInputJobsMatchSeparateProducts) {
  std::mt19937 rng(13);
  const std::size_t cols = 512;
  struct Spec {
    uint32_t type;
    std::size_t rows;
  };
  const Spec specs[] = {{GgmlType::Q4_K, 13}, {GgmlType::Q6_K, 0}, {GgmlType::IQ4_NL, 7}, {GgmlType::F16, 20},
                        {GgmlType::Q5_1, 1}};
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (std::size_t batch : {1, 37}) {
      auto x = random_floats(batch * cols, rng);
      std::vector<std::vector<uint8_t>> mats;
      std::vector<std::vector<float>> outs;
      std::vector<MatmulJob> jobs;
      for (const Spec& s : specs) {
        const GgmlTypeInfo* t = ggml_type_info(s.type);
        mats.push_back(random_blocks(s.type, s.rows * cols / t->block_elems, rng));
        outs.emplace_back(batch * s.rows, -1.0f);
      }
      for (std::size_t i = 0; i < std::size(specs); ++i) jobs.push_back({mats[i], specs[i].type, specs[i].rows, outs[i]});
      matmul_same_input(x, batch, cols, jobs);
      for (std::size_t i = 0; i < std::size(specs); ++i)
        ASSERT_TRUE(same_bits(outs[i], matmul(x, batch, mats[i], specs[i].type, cols, specs[i].rows)))
            << simd_level_name(level) << " job " << i << ", batch " << batch;
    }
    // Rows that straddle blocks beside ones that do not.
    const std::size_t odd = 48, batch = 9;
    auto x = random_floats(batch * odd, rng);
    auto q8 = random_blocks(GgmlType::Q8_0, 2 * odd / 32, rng);
    auto f32 = random_blocks(GgmlType::F32, 5 * odd, rng);
    std::vector<float> a(batch * 2), b(batch * 5);
    const MatmulJob jobs[] = {{q8, GgmlType::Q8_0, 2, a}, {f32, GgmlType::F32, 5, b}};
    matmul_same_input(x, batch, odd, jobs);
    EXPECT_TRUE(same_bits(a, matvec_each(x, batch, q8, GgmlType::Q8_0, odd, 2))) << simd_level_name(level);
    EXPECT_TRUE(same_bits(b, matvec_each(x, batch, f32, GgmlType::F32, odd, 5))) << simd_level_name(level);
  }
  // A job whose output does not fit its rows is refused like a single product.
  std::vector<uint8_t> w(4 * 64);
  std::vector<float> good(2), bad(1);
  const MatmulJob jobs[] = {{w, GgmlType::F32, 1, good}, {w, GgmlType::F32, 1, bad}};
  EXPECT_NE(fatal_message([&] { matmul_same_input(std::vector<float>(128), 2, 64, jobs); }), "");
}

// Rows of +0.0 weights against negative inputs make every product -0.0: only each kernel's
// own start (+0.0 for Q5_1 and IQ4_NL, -0.0 otherwise) decides the sign, and cols = 0 shows
// the start alone.
TEST(Matmul, SignedZeroStartsOnEveryLevel) {
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (uint32_t type : kAllTypes) {
      const GgmlTypeInfo* t = ggml_type_info(type);
      bool plus = type == GgmlType::Q5_1 || type == GgmlType::IQ4_NL;
      for (std::size_t cols : {std::size_t{0}, std::size_t{256}}) {
        // All-zero bytes decode to -0.0 where the code is offset below zero (Q5_0, Q6_K),
        // so x takes the sign that makes every product -0.0.
        bool negative_weights = type == GgmlType::Q5_0 || type == GgmlType::Q6_K;
        const std::size_t batch = 20, rows = 6;
        std::vector<float> x(batch * cols, negative_weights ? 1.0f : -1.0f);
        std::vector<uint8_t> w(rows * cols / t->block_elems * t->block_bytes, 0);
        for (float v : matmul(x, batch, w, type, cols, rows))
          ASSERT_EQ(ref_f32_bits(v), plus ? 0u : 0x80000000u) << simd_level_name(level) << " " << t->name;
      }
    }
  }
}

TEST(Matmul, F32MatrixMatchesMatvecF32) {
  std::mt19937 rng(3);
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (std::size_t cols : {1, 29, 64})
      for (std::size_t batch : {1, 18}) {
        const std::size_t rows = 11;
        auto w = random_floats(rows * cols, rng);
        auto x = random_floats(batch * cols, rng);
        std::vector<float> want, got(batch * rows);
        for (std::size_t b = 0; b < batch; ++b) {
          std::vector<float> xb(x.begin() + b * cols, x.begin() + (b + 1) * cols);
          auto o = matvec_f32(w, xb, cols, rows);
          want.insert(want.end(), o.begin(), o.end());
        }
        matmul_f32_into(x, batch, w, cols, rows, got);
        ASSERT_TRUE(same_bits(got, want)) << simd_level_name(level) << " " << cols << " columns";
      }
  }
}

// One thread, three and the pool: the rows split differently, and with long rows the
// tiles that share stretches differ too.
TEST(Matmul, ResultDoesNotDependOnThreadCount) {
  std::mt19937 rng(4);
  for (std::size_t cols : {256, 4352}) {
    const std::size_t batch = 37, rows = 203;
    auto w = random_blocks(GgmlType::Q4_K, rows * cols / 256, rng);
    auto x = random_floats(batch * cols, rng);
    std::vector<float> many = matmul(x, batch, w, GgmlType::Q4_K, cols, rows);
    for (int threads : {1, 3}) {
      tbb::task_arena arena(threads);
      ScopedArena scoped(arena);
      EXPECT_TRUE(same_bits(matmul(x, batch, w, GgmlType::Q4_K, cols, rows), many)) << threads << " threads, " << cols;
    }
  }
}

TEST(Matmul, EmptyShapesAndRefusals) {
  for (uint32_t type : kAllTypes) EXPECT_TRUE(matmul(std::vector<float>(128), 2, {}, type, 64, 0).empty());
  EXPECT_TRUE(matmul({}, 0, std::vector<uint8_t>(5 * 256), GgmlType::F32, 64, 5).empty());

  std::vector<uint8_t> w(4 * 64);
  EXPECT_EQ(fatal_message([&] { matmul(std::vector<float>(64), 1, w, GgmlType::Q5_K, 256, 1); }),
            "dequant: unsupported ggml_type 13");
  EXPECT_EQ(fatal_message([&] { matmul(std::vector<float>(64), 1, w, 2, 64, 1); }),
            "dequant: unsupported ggml_type 2");
  // Inputs that are not whole rows, a short matrix and a short output are refused.
  EXPECT_NE(fatal_message([&] { matmul(std::vector<float>(65), 1, w, GgmlType::F32, 64, 1); }), "");
  EXPECT_NE(fatal_message([&] { matmul(std::vector<float>(64), 1, w, GgmlType::F32, 64, 2); }), "");
  std::vector<float> out(1);
  EXPECT_NE(fatal_message([&] { matmul_into(std::vector<float>(128), 2, w, GgmlType::F32, 64, 1, out); }), "");
}

}  // namespace
}  // namespace korvex::test
