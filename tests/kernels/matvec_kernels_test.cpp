// The vector kernels against the scalar reference: every type, every instruction-set level
// this machine has, shapes with ragged row and column counts, and special values.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "kernels/cpu_features.hpp"
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

void put16(uint8_t* p, uint16_t h) {
  p[0] = static_cast<uint8_t>(h);
  p[1] = static_cast<uint8_t>(h >> 8);
}

// Offsets of the half-precision scale fields in a block (none for F32 and BF16).
std::vector<size_t> half_fields(uint32_t type) {
  switch (type) {
    case GgmlType::F16: return {0};
    case GgmlType::Q5_0: case GgmlType::Q8_0: case GgmlType::IQ4_NL: return {0};
    case GgmlType::Q5_1: case GgmlType::Q4_K: return {0, 2};
    case GgmlType::Q6_K: return {208};
  }
  return {};
}

// Sprinkles infinities, NaNs (quiet and signalling), signed zeros and subnormals over the
// weights' scale fields or elements and over x.
void add_specials(uint32_t type, std::vector<uint8_t>& w, std::vector<float>& x, std::mt19937& rng) {
  const GgmlTypeInfo* t = ggml_type_info(type);
  const uint16_t halves[] = {0x7C00, 0xFC00, 0x7E00, 0x7C01, 0x8000, 0x0000, 0x0001, 0x83FF};
  const uint32_t singles[] = {0x7F800000, 0xFF800000, 0x7FC00000, 0x7F800001, 0x80000000, 0x00000001, 0x807FFFFF};
  size_t blocks = w.size() / t->block_bytes;
  for (size_t i = 0; i < blocks / 16 + 1 && blocks > 0; ++i) {
    uint8_t* p = w.data() + (rng() % blocks) * t->block_bytes;
    if (type == GgmlType::F32) {
      uint32_t v = singles[rng() % std::size(singles)];
      std::memcpy(p, &v, 4);
    } else if (type == GgmlType::BF16) {
      put16(p, static_cast<uint16_t>(singles[rng() % std::size(singles)] >> 16));
    } else {
      auto fields = half_fields(type);
      put16(p + fields[rng() % fields.size()], halves[rng() % std::size(halves)]);
    }
  }
  for (size_t i = 0; i < x.size() / 16 + 1 && !x.empty(); ++i)
    x[rng() % x.size()] = ref_bits(singles[rng() % std::size(singles)]);
}

TEST(SimdMatvec, EveryTypeAndLevelMatchesTheReference) {
  std::mt19937 rng(2024);
  // Rows cover the tile of 32, a lone vector of 16 (or 8) and a plain-kernel remainder;
  // columns cover whole and partial chunks of the element types.
  const size_t row_counts[] = {1, 7, 8, 16, 31, 32, 33, 47, 64, 100};
  const size_t col_counts[] = {32, 64, 256, 512, 768};
  const size_t elem_cols[] = {1, 5, 15, 16, 17, 31, 33, 100};
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (uint32_t type : kAllTypes) {
      const GgmlTypeInfo* t = ggml_type_info(type);
      std::vector<size_t> cols_list;
      for (size_t c : col_counts)
        if (c % t->block_elems == 0) cols_list.push_back(c);
      if (t->block_elems == 1) cols_list.insert(cols_list.end(), std::begin(elem_cols), std::end(elem_cols));
      for (size_t cols : cols_list)
        for (size_t rows : row_counts) {
          for (bool specials : {false, true}) {
            auto w = random_blocks(type, rows * (cols / t->block_elems), rng);
            auto x = random_floats(cols, rng);
            if (specials) add_specials(type, w, x, rng);
            ASSERT_TRUE(same_bits(matvec(x, w, type, cols, rows), ref_matvec(type, w, x, cols, rows)))
                << simd_level_name(level) << " " << t->name << " " << cols << "x" << rows
                << (specials ? " with specials" : "");
          }
        }
    }
  }
}

// A matrix that ends where readable memory ends, as a tensor at the end of a mapped file
// does: no kernel may read past its last byte, whatever the row length. The page after
// the matrix is unreadable, so a read past the end stops the test.
TEST(SimdMatvec, NoReadPastTheLastRowOfAMatrix) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t readable = 4 * page;  // room for 32 rows of two K-quant blocks
  void* map = mmap(nullptr, readable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* base = static_cast<uint8_t*>(map);
  ASSERT_EQ(mprotect(base + readable, page, PROT_NONE), 0);
  std::mt19937 rng(11);
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (uint32_t type : kAllTypes) {
      const GgmlTypeInfo* t = ggml_type_info(type);
      for (std::size_t blocks_per_row : {1, 2}) {
        const std::size_t cols = blocks_per_row * t->block_elems, rows = 32;
        auto w = random_blocks(type, rows * blocks_per_row, rng);
        ASSERT_LE(w.size(), readable);
        uint8_t* at = base + readable - w.size();
        std::memcpy(at, w.data(), w.size());
        auto x = random_floats(cols, rng);
        ASSERT_TRUE(same_bits(matvec(x, {at, w.size()}, type, cols, rows), ref_matvec(type, w, x, cols, rows)))
            << simd_level_name(level) << " " << t->name << " " << cols << "x" << rows;
      }
    }
  }
  munmap(map, readable + page);
}

// Products whose every term is -0.0 keep each kernel's own start (-0.0 or +0.0) on every
// level; a vector kernel that started all lanes from one constant would get one wrong.
TEST(SimdMatvec, SignedZeroStartsOnEveryLevel) {
  const size_t cols = 256, rows = 48;
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (uint32_t type : kAllTypes) {
      const GgmlTypeInfo* t = ggml_type_info(type);
      // All-zero bytes decode to -0.0 where the code is offset below zero (Q5_0's -16,
      // Q6_K's -32 times a zero scale) and to +0.0 elsewhere; x takes the sign that makes
      // every product -0.0.
      bool negative_weights = type == GgmlType::Q5_0 || type == GgmlType::Q6_K;
      std::vector<float> x(cols, negative_weights ? 1.0f : -1.0f);
      std::vector<uint8_t> w(rows * cols / t->block_elems * t->block_bytes, 0);
      bool plus = type == GgmlType::Q5_1 || type == GgmlType::IQ4_NL;
      for (float v : matvec(x, w, type, cols, rows))
        ASSERT_EQ(ref_f32_bits(v), plus ? 0u : 0x80000000u) << simd_level_name(level) << " " << t->name;
    }
  }
}

TEST(SimdMatvec, F32ProductOverShortAndLongInputs) {
  std::mt19937 rng(77);
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (size_t cols : {1, 16, 40, 97})
      for (size_t xlen : {cols / 2, cols, cols + 9})
        for (size_t rows : {5, 32, 70}) {
          auto w = random_floats(cols * rows, rng);
          auto x = random_floats(xlen, rng);
          std::vector<float> want(rows);
          size_t n = std::min(cols, xlen);
          for (size_t r = 0; r < rows; ++r) {
            float acc = -0.0f;
            for (size_t i = 0; i < n; ++i) acc = acc + x[i] * w[r * cols + i];
            want[r] = acc;
          }
          ASSERT_TRUE(same_bits(matvec_f32(w, x, cols, rows), want))
              << simd_level_name(level) << " " << cols << "x" << rows << " x " << xlen;
        }
  }
}

// A matrix type without its own kernel and an x shorter than a row sums only what x
// holds, exactly as matvec_f32 of the dequantised matrix does.
TEST(SimdMatvec, ShortInputOfDecodedTypesSumsWhatItHas) {
  std::mt19937 rng(5);
  const size_t cols = 256, rows = 40;
  for (uint32_t type : {GgmlType::F16, GgmlType::Q8_0, GgmlType::Q4_K, GgmlType::Q6_K, GgmlType::Q5_0}) {
    const GgmlTypeInfo* t = ggml_type_info(type);
    auto w = random_blocks(type, rows * cols / t->block_elems, rng);
    auto x = random_floats(cols - 3, rng);
    EXPECT_TRUE(same_bits(matvec(x, w, type, cols, rows), ref_matvec(type, w, x, cols, rows))) << t->name;
  }
}

// The K-quant kernels convert a code or scale shifted by a power of two and carry the inverse
// power in the factor it meets, which is exact only while the scaled factors stay normal
// floats. Every 6-bit Q4_K scale and minimum and every int8 Q6_K scale meets half-precision
// d (and dmin) at both ends of its range, subnormal and largest finite, of either sign.
TEST(SimdMatvec, KQuantScaleFieldsAtTheEndsOfHalfPrecision) {
  const uint16_t halves[] = {0x0001, 0x03FF, 0x0400, 0x7BFF, 0x8001, 0xFBFF, 0x3C00};
  const size_t n_halves = std::size(halves);
  const size_t cols = 512, rows = 48;  // a tile and a lone vector on either level
  std::mt19937 rng(31);
  for (SimdLevel level : levels_here()) {
    LevelGuard guard(level);
    for (uint32_t type : {GgmlType::Q4_K, GgmlType::Q6_K}) {
      const GgmlTypeInfo* t = ggml_type_info(type);
      size_t blocks = rows * cols / 256;
      auto w = random_blocks(type, blocks, rng);
      for (size_t b = 0; b < blocks; ++b) {
        uint8_t* p = w.data() + b * t->block_bytes;
        if (type == GgmlType::Q4_K) {
          put16(p, halves[b % n_halves]);
          put16(p + 2, halves[(b + 3) % n_halves]);
          // sc(i) = (8b + i) % 64 and mn(i) = (8b + i + 32) % 64, packed as the format lays them out
          uint8_t* s = p + 4;
          auto sc = [&](int i) { return static_cast<int>((8 * b + i) % 64); };
          auto mn = [&](int i) { return static_cast<int>((8 * b + i + 32) % 64); };
          for (int i = 0; i < 4; ++i) {
            s[i] = static_cast<uint8_t>(sc(i) | (sc(i + 4) >> 4) << 6);
            s[i + 4] = static_cast<uint8_t>(mn(i) | (mn(i + 4) >> 4) << 6);
            s[i + 8] = static_cast<uint8_t>((sc(i + 4) & 15) | (mn(i + 4) & 15) << 4);
          }
        } else {
          put16(p + 208, halves[b % n_halves]);
          for (int j = 0; j < 16; ++j) p[192 + j] = static_cast<uint8_t>(16 * b + j);
        }
      }
      auto x = random_floats(cols, rng);
      ASSERT_TRUE(same_bits(matvec(x, w, type, cols, rows), ref_matvec(type, w, x, cols, rows)))
          << simd_level_name(level) << " " << t->name;
    }
  }
}

TEST(SimdLevels, DetectionIsConsistentAndLoweringIsCapped) {
  SimdLevel best = detected_simd_level();
  {
    LevelGuard guard(SimdLevel::Scalar);
    EXPECT_EQ(active_simd_level(), SimdLevel::Scalar);
  }
  EXPECT_EQ(active_simd_level(), best);
  {
    LevelGuard guard(SimdLevel::Avx512);
    EXPECT_LE(active_simd_level(), best);
  }
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
    EXPECT_EQ(best, SimdLevel::Avx512);
  }
  if (!__builtin_cpu_supports("avx2")) {
    EXPECT_EQ(best, SimdLevel::Scalar);
  }
}

}  // namespace
}  // namespace korvex::test
