#include "kernels/matvec.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <memory>
#include <string>

#include "common/pool.hpp"
#include "dequant/dequant.hpp"
#include "dequant/reference.hpp"

namespace korvex::test {
namespace {

// Bytes of a rows x cols matrix of the type, random, with room for the fallback types'
// whole-matrix blocks.
std::vector<uint8_t> random_matrix(uint32_t type, size_t cols, size_t rows, std::mt19937& rng) {
  const GgmlTypeInfo* t = ggml_type_info(type);
  size_t blocks = has_row_kernel(type) ? rows * (cols / t->block_elems) : cols * rows / t->block_elems;
  return random_blocks(type, blocks, rng);
}

TEST(Matvec, EmptyShapes) {
  std::mt19937 rng(5);
  for (uint32_t type : kAllTypes) {
    const char* name = ggml_type_info(type)->name;
    EXPECT_TRUE(matvec({}, {}, type, 64, 0).empty()) << name;
    EXPECT_TRUE(matvec({}, {}, type, 0, 0).empty()) << name;
    // cols = 0: the sign of the accumulator's start shows.
    auto out = matvec({}, {}, type, 0, 3);
    ASSERT_EQ(out.size(), 3u) << name;
    bool plus_zero = type == GgmlType::Q5_1 || type == GgmlType::IQ4_NL;
    for (float v : out) EXPECT_EQ(ref_f32_bits(v), plus_zero ? 0u : 0x80000000u) << name;
  }
  EXPECT_TRUE(matvec_f32({}, {}, 4, 0).empty());
  for (float v : matvec_f32({}, {}, 0, 2)) EXPECT_EQ(ref_f32_bits(v), 0x80000000u);
}

// Rows of +0.0 weights against negative inputs: every product is -0.0, so only the start
// of the accumulator decides the sign of the result.
TEST(Matvec, AllNegativeZeroProductsKeepTheStartSign) {
  const size_t cols = 64;
  std::vector<float> x(cols, -1.0f);
  struct Case {
    uint32_t type;
    std::vector<uint8_t> w;
    uint32_t want_bits;
  } cases[] = {
      {GgmlType::F32, std::vector<uint8_t>(4 * cols, 0), 0x80000000u},
      {GgmlType::BF16, std::vector<uint8_t>(2 * cols, 0), 0x80000000u},
      {GgmlType::F16, std::vector<uint8_t>(2 * cols, 0), 0x80000000u},
      {GgmlType::Q8_0, std::vector<uint8_t>(34 * 2, 0), 0x80000000u},
      // Q5_1 with d = 0, m = 0 and IQ4_NL with d = 0: weights +0.0
      {GgmlType::Q5_1, std::vector<uint8_t>(24 * 2, 0), 0u},
      {GgmlType::IQ4_NL, std::vector<uint8_t>(18 * 2, 0), 0u},
  };
  for (const auto& c : cases) {
    auto out = matvec(x, c.w, c.type, cols, 1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(ref_f32_bits(out[0]), c.want_bits) << ggml_type_info(c.type)->name;
  }
  std::vector<float> wf(cols, 0.0f);
  EXPECT_EQ(ref_f32_bits(matvec_f32(wf, x, cols, 1)[0]), 0x80000000u);
}

TEST(Matvec, F32ProductUsesTheShorterOfRowAndInput) {
  std::vector<float> w = {1, 2, 4, 8, 16, 32, 64, 128};  // 2 rows of 4
  std::vector<float> x3 = {1, 1, 1};
  std::vector<float> x6 = {1, 1, 1, 1, 1000, 1000};
  EXPECT_EQ(matvec_f32(w, x3, 4, 2), (std::vector<float>{7, 112}));
  EXPECT_EQ(matvec_f32(w, x6, 4, 2), (std::vector<float>{15, 240}));
}

TEST(Matvec, F16EqualsF32ProductOfTheConvertedMatrix) {
  std::mt19937 rng(11);
  const size_t cols = 96, rows = 37;
  auto w = random_matrix(GgmlType::F16, cols, rows, rng);
  auto x = random_floats(cols, rng);
  std::vector<float> wf(cols * rows);
  for (size_t i = 0; i < wf.size(); ++i) wf[i] = f16_to_f32(static_cast<uint16_t>(w[2 * i] | (w[2 * i + 1] << 8)));
  EXPECT_TRUE(same_bits(matvec(x, w, GgmlType::F16, cols, rows), matvec_f32(wf, x, cols, rows)));
}

// Q5_1 adds each (hi, lo) pair before the accumulator: two terms of 2^-24 that vanish one
// by one next to 1.0 survive as their sum 2^-23.
TEST(Matvec, Q5_1AddsEachPairBeforeTheAccumulator) {
  std::vector<uint8_t> w(24, 0);
  w[1] = 0x3C;       // d = 1, m = 0
  w[8] = 0x11;       // j = 0: lo = 1, hi = 1
  w[9] = 0x11;       // j = 1: lo = 1, hi = 1
  std::vector<float> x(32, 0.0f);
  float tiny = std::ldexp(1.0f, -24);
  x[0] = 1.0f;
  x[16] = tiny;
  x[1] = tiny;
  x[17] = tiny;
  float paired = matvec(x, w, GgmlType::Q5_1, 32, 1)[0];
  EXPECT_EQ(paired, 1.0f + std::ldexp(1.0f, -23));
  // Summing the dequantised row in index order loses both small terms.
  auto row = dequantize(w, GgmlType::Q5_1, 32);
  EXPECT_EQ(matvec_f32(row, x, 32, 1)[0], 1.0f);
}

// IQ4_NL forms x * d first: the smallest subnormal times 0.5 rounds to zero before the
// level 113 could lift it.
TEST(Matvec, Iq4nlScalesTheInputBeforeTheLevel) {
  std::vector<uint8_t> w(18, 0x88);  // every other level is 1.0 ...
  w[0] = 0x00;
  w[1] = 0x38;  // d = 0.5
  w[2] = 0x8F;  // j = 0: low nibble 15 -> 113
  std::vector<float> x(32, 0.0f);
  x[0] = std::ldexp(1.0f, -149);
  float got = matvec(x, w, GgmlType::IQ4_NL, 32, 1)[0];
  EXPECT_EQ(ref_f32_bits(got), 0u);
}

TEST(Matvec, EveryTypeMatchesTheReferenceOverShapes) {
  std::mt19937 rng(99);
  struct Shape {
    size_t cols, rows;
  } shapes[] = {{32, 1}, {64, 17}, {256, 33}, {512, 5}, {96, 100}, {40, 4}, {288, 7}};
  for (uint32_t type : kAllTypes) {
    const GgmlTypeInfo* t = ggml_type_info(type);
    for (const auto& s : shapes) {
      // Fallback types need whole blocks over the whole matrix; row kernels ignore a
      // trailing partial block.
      if (!has_row_kernel(type) && (s.cols * s.rows) % t->block_elems != 0) continue;
      auto w = random_matrix(type, s.cols, s.rows, rng);
      auto x = random_floats(s.cols, rng);
      EXPECT_TRUE(same_bits(matvec(x, w, type, s.cols, s.rows), ref_matvec(type, w, x, s.cols, s.rows)))
          << t->name << " " << s.cols << "x" << s.rows;
    }
  }
}

TEST(Matvec, ResultDoesNotDependOnThreadCount) {
  std::mt19937 rng(21);
  // One thread, an odd count that splits the rows unevenly, and the default pool.
  tbb::task_arena one(1), three(3);
  const size_t cols = 512, rows = 301;
  for (uint32_t type : kAllTypes) {
    auto w = random_matrix(type, cols, rows, rng);
    auto x = random_floats(cols, rng);
    auto many = matvec(x, w, type, cols, rows);
    for (tbb::task_arena* arena : {&one, &three}) {
      ScopedArena scope(*arena);
      EXPECT_TRUE(same_bits(matvec(x, w, type, cols, rows), many))
          << ggml_type_info(type)->name << " on " << arena->max_concurrency() << " threads";
    }
  }
  auto wf = random_floats(cols * rows, rng);
  auto x = random_floats(cols, rng);
  auto many = matvec_f32(wf, x, cols, rows);
  {
    // The products of a token run as phases of its region, in chunks of their own size.
    ParallelRegion region;
    EXPECT_TRUE(same_bits(matvec_f32(wf, x, cols, rows), many)) << "in a region";
  }
  ScopedArena scope(one);
  EXPECT_TRUE(same_bits(matvec_f32(wf, x, cols, rows), many));
}

TEST(Matvec, SameInputProductsEqualSeparateOnes) {
  std::mt19937 rng(33);
  // Every type in one call, with row counts that leave ragged tiles and one empty matrix;
  // cols 288 is whole blocks for every type, 48 leaves the K types a partial block, so
  // those dequantise the whole matrix instead.
  for (size_t cols : {size_t{288}, size_t{48}}) {
    auto x = random_floats(cols, rng);
    std::vector<std::vector<uint8_t>> mats;
    std::vector<MatvecJob> jobs;
    size_t rows = 0;
    for (uint32_t type : kAllTypes) {
      const GgmlTypeInfo* t = ggml_type_info(type);
      rows = rows % 5 == 4 ? 0 : rows + 7;
      if (!has_row_kernel(type) && (cols * rows) % t->block_elems != 0) continue;
      mats.push_back(random_matrix(type, cols, rows, rng));
      jobs.push_back({mats.back(), type, rows});
    }
    auto outs = matvec_same_input(x, jobs, cols);
    ASSERT_EQ(outs.size(), jobs.size());
    for (size_t i = 0; i < jobs.size(); ++i)
      EXPECT_TRUE(same_bits(outs[i], matvec(x, jobs[i].w, jobs[i].ggml_type, cols, jobs[i].rows)))
          << ggml_type_info(jobs[i].ggml_type)->name << " " << cols << "x" << jobs[i].rows;
  }
  // A short matrix stops the call as its own product would.
  auto x = random_floats(64, rng);
  auto w = random_matrix(GgmlType::Q8_0, 64, 3, rng);
  const MatvecJob bad[] = {{w, GgmlType::Q8_0, 3}, {std::span<const uint8_t>(w).first(w.size() - 1), GgmlType::Q8_0, 3}};
  EXPECT_NE(fatal_message([&] { matvec_same_input(x, bad, 64); }).find("too short"), std::string::npos);
}

TEST(Matvec, RowsDoneSeesEachRowOnceWithEveryProductOfItDone) {
  std::mt19937 rng(41);
  tbb::task_arena one(1);
  // Row counts that leave ragged tiles; cols 48 leaves the K types a partial block, so
  // their products dequantise the whole matrix before the others run.
  for (size_t cols : {size_t{288}, size_t{48}}) {
    for (size_t rows : {size_t{1}, size_t{45}, size_t{301}}) {
      auto x = random_floats(cols, rng);
      std::vector<std::vector<uint8_t>> mats;
      std::vector<MatvecJob> jobs;
      for (uint32_t type : {GgmlType::Q8_0, GgmlType::Q4_K, GgmlType::IQ4_NL, GgmlType::F32}) {
        if (!has_row_kernel(type) && (cols * rows) % ggml_type_info(type)->block_elems != 0) continue;
        mats.push_back(random_matrix(type, cols, rows, rng));
        jobs.push_back({mats.back(), type, rows});
      }
      std::vector<std::vector<float>> want;
      for (const MatvecJob& j : jobs) want.push_back(matvec(x, j.w, j.ggml_type, cols, rows));
      for (int where = 0; where < 3; ++where) {  // the pool, a region, one thread
        std::unique_ptr<ParallelRegion> region;
        std::unique_ptr<ScopedArena> scope;
        if (where == 1) region = std::make_unique<ParallelRegion>();
        if (where == 2) scope = std::make_unique<ScopedArena>(one);
        std::vector<std::vector<float>> outs(jobs.size());
        std::vector<std::atomic<int>> seen(rows);
        std::atomic<int> early{0};
        auto rows_done = [&](std::size_t b, std::size_t e) {
          for (std::size_t r = b; r < e; ++r) {
            seen[r].fetch_add(1);
            for (std::size_t i = 0; i < jobs.size(); ++i)
              if (std::bit_cast<uint32_t>(outs[i][r]) != std::bit_cast<uint32_t>(want[i][r])) ++early;
          }
        };
        matvec_same_input(x, jobs, cols, outs, rows_done);
        const std::string what = std::to_string(cols) + "x" + std::to_string(rows) + " way " + std::to_string(where);
        EXPECT_EQ(early.load(), 0) << what;
        for (std::size_t r = 0; r < rows; ++r) ASSERT_EQ(seen[r].load(), 1) << what << " row " << r;
        for (std::size_t i = 0; i < jobs.size(); ++i) EXPECT_TRUE(same_bits(outs[i], want[i])) << what;
      }
    }
  }
  // Products combined row by row must have as many rows each.
  auto x = random_floats(64, rng);
  auto w = random_matrix(GgmlType::Q8_0, 64, 3, rng);
  const MatvecJob uneven[] = {{w, GgmlType::Q8_0, 3}, {w, GgmlType::Q8_0, 2}};
  std::vector<std::vector<float>> outs(2);
  auto nothing = [](std::size_t, std::size_t) {};
  EXPECT_NE(fatal_message([&] { matvec_same_input(x, uneven, 64, outs, nothing); }).find("rows"), std::string::npos);
}

TEST(Matvec, ShortArgumentsStopInsteadOfReadingOutside) {
  std::mt19937 rng(8);
  const size_t cols = 64, rows = 4;
  for (uint32_t type : kAllTypes) {
    const char* name = ggml_type_info(type)->name;
    auto w = random_matrix(type, cols, rows, rng);
    auto x = random_floats(cols, rng);
    std::span<const uint8_t> short_w(w.data(), w.size() - 1);
    EXPECT_NE(fatal_message([&] { matvec(x, short_w, type, cols, rows); }), "") << name;
    if (has_row_kernel(type)) {
      std::span<const float> short_x(x.data(), cols - 1);
      EXPECT_NE(fatal_message([&] { matvec(short_x, w, type, cols, rows); }).find("shorter"), std::string::npos)
          << name;
    }
  }
  // A fallback matrix that is not whole blocks would dequantise short.
  std::vector<uint8_t> q8(34 * 2);
  EXPECT_NE(fatal_message([&] { matvec(std::vector<float>(20), q8, GgmlType::Q8_0, 20, 3); }), "");
  std::vector<float> wf(7);
  EXPECT_NE(fatal_message([&] { matvec_f32(wf, wf, 4, 2); }).find("too short"), std::string::npos);
  EXPECT_EQ(fatal_message([&] { matvec({}, {}, GgmlType::Q5_K, 256, 1); }), "dequant: unsupported ggml_type 13");
  // Sizes whose product wraps are refused, not truncated.
  EXPECT_NE(fatal_message([&] { matvec({}, q8, GgmlType::F32, size_t{1} << 62, 8); }), "");
}

}  // namespace
}  // namespace korvex::test
