// The batched product against matvec, input by input: every type, every instruction-set
// level this machine has, ragged batches, rows and columns, and special values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/pool.hpp"
#include "dequant/cpu_features.hpp"
#include "dequant/matmul.hpp"
#include "dequant/matvec.hpp"
#include "reference.hpp"

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

// Infinities, NaNs, signed zeros and subnormals in the weights' scales or elements and in x.
void add_specials(uint32_t type, std::vector<uint8_t>& w, std::vector<float>& x, std::mt19937& rng) {
  const GgmlTypeInfo* t = ggml_type_info(type);
  const uint16_t halves[] = {0x7C00, 0xFC00, 0x7E00, 0x8000, 0x0000, 0x0001};
  const uint32_t singles[] = {0x7F800000, 0xFF800000, 0x7FC00000, 0x80000000, 0x00000001};
  std::size_t blocks = w.size() / t->block_bytes;
  for (std::size_t i = 0; blocks > 0 && i < blocks / 8 + 1; ++i) {
    uint8_t* p = w.data() + (rng() % blocks) * t->block_bytes;
    uint32_t s = singles[rng() % std::size(singles)];
    if (type == GgmlType::F32) std::memcpy(p, &s, 4);
    else if (type == GgmlType::BF16) put16(p, static_cast<uint16_t>(s >> 16));
    else put16(p + (type == GgmlType::Q6_K ? 208 : 0), halves[rng() % std::size(halves)]);
  }
  for (std::size_t i = 0; !x.empty() && i < x.size() / 16 + 1; ++i)
    x[rng() % x.size()] = ref_bits(singles[rng() % std::size(singles)]);
}

TEST(Matmul, EveryTypeAndLevelMatchesMatvecPerInput) {
  std::mt19937 rng(8);
  // Batches cover a lone input, partial and whole vector groups and a tail of groups;
  // rows cover partial and whole tiles.
  const std::size_t batches[] = {1, 3, 16, 17, 40, 70};
  const std::size_t row_counts[] = {1, 5, 8, 13};
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
              if (specials) add_specials(type, w, x, rng);
              ASSERT_TRUE(same_bits(matmul(x, batch, w, type, cols, rows), matvec_each(x, batch, w, type, cols, rows)))
                  << simd_level_name(level) << " " << t->name << " " << batch << " x " << cols << " -> " << rows
                  << (specials ? " with specials" : "");
            }
    }
  }
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

TEST(Matmul, ResultDoesNotDependOnThreadCount) {
  std::mt19937 rng(4);
  const std::size_t batch = 37, cols = 256, rows = 203;
  auto w = random_blocks(GgmlType::Q4_K, rows * cols / 256, rng);
  auto x = random_floats(batch * cols, rng);
  std::vector<float> many = matmul(x, batch, w, GgmlType::Q4_K, cols, rows);
  tbb::task_arena one(1);
  ScopedArena scoped(one);
  EXPECT_TRUE(same_bits(matmul(x, batch, w, GgmlType::Q4_K, cols, rows), many));
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
