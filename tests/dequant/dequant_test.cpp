#include "dequant/dequant.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "reference.hpp"

namespace korvex::test {
namespace {

uint32_t bits(float f) { return ref_f32_bits(f); }

void put16(std::vector<uint8_t>& v, size_t at, uint16_t h) {
  v[at] = static_cast<uint8_t>(h);
  v[at + 1] = static_cast<uint8_t>(h >> 8);
}

TEST(F16ToF32, SpecialValues) {
  struct Case {
    uint16_t half;
    uint32_t single_bits;
  } cases[] = {
      {0x3C00, 0x3F800000},  // 1.0
      {0x0000, 0x00000000},  // +0
      {0x8000, 0x80000000},  // -0
      {0x0001, 0x33800000},  // 2^-24, smallest subnormal
      {0x03FF, 0x387FC000},  // largest subnormal
      {0x8200, 0xB8000000},  // -2^-15, subnormal with sign
      {0x0400, 0x38800000},  // 2^-14, smallest normal
      {0x7BFF, 0x477FE000},  // 65504
      {0x7C00, 0x7F800000},  // +inf
      {0xFC00, 0xFF800000},  // -inf
      {0x7E00, 0x7FC00000},  // quiet NaN
      {0x7C01, 0x7F802000},  // signalling NaN keeps its quiet bit clear
      {0xFD55, 0xFFAAA000},  // negative signalling NaN with payload
  };
  for (const auto& c : cases) EXPECT_EQ(bits(f16_to_f32(c.half)), c.single_bits) << std::hex << c.half;
}

TEST(F16ToF32, EveryFiniteHalfHasItsValue) {
  for (uint32_t h = 0; h < 0x10000; ++h) {
    if (((h >> 10) & 31) == 31) continue;
    ASSERT_EQ(bits(f16_to_f32(static_cast<uint16_t>(h))), bits(ref_f16(static_cast<uint16_t>(h)))) << std::hex << h;
  }
}

TEST(Dequantize, UnsupportedTypesStopBeforeReading) {
  for (uint32_t code : {13u, 2u, 3u, 15u, 31u, 0xFFFFFFFFu}) {
    // A null span: reading anything would crash.
    EXPECT_EQ(fatal_message([&] { dequantize({}, code, 256); }), fmt::format("dequant: unsupported ggml_type {}", code));
  }
}

TEST(Dequantize, OutputCountsWholeBlocksOnly) {
  struct Case {
    uint32_t type;
    uint64_t n;
    size_t len;
  } cases[] = {
      {GgmlType::Q5_0, 31, 0},   {GgmlType::Q5_1, 31, 0},   {GgmlType::Q8_0, 31, 0}, {GgmlType::IQ4_NL, 31, 0},
      {GgmlType::Q4_K, 255, 0},  {GgmlType::Q6_K, 255, 0},  {GgmlType::Q6_K, 100, 0}, {GgmlType::Q8_0, 40, 32},
      {GgmlType::Q5_1, 70, 64},  {GgmlType::Q4_K, 600, 512}, {GgmlType::F32, 3, 3},   {GgmlType::F16, 5, 5},
      {GgmlType::BF16, 7, 7},
  };
  std::mt19937 rng(1);
  for (const auto& c : cases) {
    auto data = random_blocks(c.type, 8, rng);
    EXPECT_EQ(dequantize(data, c.type, c.n).size(), c.len) << ggml_type_info(c.type)->name << " n=" << c.n;
  }
  for (uint32_t type : kAllTypes) EXPECT_TRUE(dequantize({}, type, 0).empty()) << ggml_type_info(type)->name;
}

// Blocks computed by hand from the format definitions.
TEST(Dequantize, HandComputedBlocks) {
  struct Expect {
    size_t index;
    float value;
  };
  struct Case {
    const char* what;
    uint32_t type;
    std::vector<uint8_t> data;
    std::vector<Expect> expect;  // empty: every value is `all`
    float all = 0;
  };
  std::vector<Case> cases;

  cases.push_back({"bf16 one", GgmlType::BF16, {0x80, 0x3F, 0x00, 0xC0}, {{0, 1.0f}, {1, -2.0f}}});
  cases.push_back({"f32 bits", GgmlType::F32, {0x00, 0x00, 0xC0, 0xBF}, {{0, -1.5f}}});
  {
    std::vector<uint8_t> q8(34, 0);
    put16(q8, 0, 0x3800);  // d = 0.5
    q8[2] = static_cast<uint8_t>(-3);
    q8[33] = 127;
    cases.push_back({"q8_0", GgmlType::Q8_0, q8, {{0, -1.5f}, {1, 0.0f}, {31, 63.5f}}});
  }
  {
    std::vector<uint8_t> q5(22, 0);
    put16(q5, 0, 0x4000);  // d = 2
    cases.push_back({"q5_0 zeros", GgmlType::Q5_0, q5, {}, -32.0f});
    for (size_t i = 2; i < 22; ++i) q5[i] = 0xFF;
    cases.push_back({"q5_0 ones", GgmlType::Q5_0, q5, {}, 30.0f});
  }
  {
    std::vector<uint8_t> q5(22, 0);
    put16(q5, 0, 0x3C00);  // d = 1
    q5[6 + 3] = 0x5A;      // j = 3: lo nibble 10, hi nibble 5
    q5[2 + 2] = 0x01;      // qh bit 16 -> fifth bit of element 16 (hi nibble of j = 0)
    q5[2 + 0] = 0x08;      // qh bit 3 -> fifth bit of element 3
    cases.push_back({"q5_0 bits", GgmlType::Q5_0, q5, {{3, 10.0f}, {19, -11.0f}, {16, 0.0f}, {0, -16.0f}}});
  }
  {
    std::mt19937 rng(7);
    auto q51 = random_blocks(GgmlType::Q5_1, 3, rng);
    for (size_t b = 0; b < 3; ++b) {
      put16(q51, 24 * b, 0x0000);      // d = 0
      put16(q51, 24 * b + 2, 0x3C00);  // m = 1
    }
    cases.push_back({"q5_1 d=0", GgmlType::Q5_1, q51, {}, 1.0f});
    std::vector<uint8_t> one(24, 0);
    put16(one, 0, 0x3800);  // d = 0.5
    put16(one, 2, 0xC000);  // m = -2
    one[8 + 1] = 0x3F;      // j = 1: lo 15, hi 3
    one[4 + 3] = 0x80;      // qh bit 31 -> element 31 gets 16
    cases.push_back({"q5_1 bits", GgmlType::Q5_1, one, {{1, 5.5f}, {17, -0.5f}, {31, 6.0f}, {0, -2.0f}}});
  }
  {
    std::vector<uint8_t> iq(18, 0);
    put16(iq, 0, 0x3C00);
    iq[2] = 0xF0;
    iq[2 + 15] = 0x97;
    cases.push_back({"iq4_nl", GgmlType::IQ4_NL, iq, {{0, -127.0f}, {16, 113.0f}, {15, -10.0f}, {31, 13.0f}}});
  }
  {
    std::vector<uint8_t> q4(144, 0);
    put16(q4, 0, 0x3C00);  // d = 1
    put16(q4, 2, 0x3800);  // dmin = 0.5
    uint8_t* sc = q4.data() + 4;
    sc[0] = 0x42;  // sc(0) = 2; top bits give sc(4) its fifth bit
    sc[4] = 0x83;  // mn(0) = 3; top bits give mn(4) its sixth bit
    sc[1] = 0x01;  // sc(1) = 1
    sc[5] = 0x04;  // mn(1) = 4
    sc[8] = 0x51;  // sc(4) = 1 | 16 = 17, mn(4) = 5 | 32 = 37
    q4[16] = 0x97;
    q4[16 + 64] = 0x0A;
    cases.push_back({"q4_k", GgmlType::Q4_K, q4, {{0, 12.5f}, {32, 7.0f}, {128, 151.5f}, {1, -1.5f}}});
  }
  {
    std::vector<uint8_t> q6(210, 0);
    put16(q6, 208, 0x4000);  // d = 2
    q6[0] = 0x3A;
    q6[128] = 0x9C;
    q6[192 + 0] = 0xFD;  // scale -3
    q6[192 + 4] = 5;
    q6[127] = 0xF0;
    q6[128 + 63] = 0xC0;
    q6[192 + 15] = 127;
    cases.push_back({"q6_k", GgmlType::Q6_K, q6, {{0, 132.0f}, {64, -130.0f}, {255, 7874.0f}, {1, 192.0f}}});
  }
  {
    std::vector<uint8_t> h(4);
    put16(h, 0, 0x3555);  // 0.333251953125
    put16(h, 2, 0x8001);  // -2^-24
    cases.push_back({"f16", GgmlType::F16, h, {{0, 0.333251953125f}, {1, -std::ldexp(1.0f, -24)}}});
  }

  for (const auto& c : cases) {
    const GgmlTypeInfo* t = ggml_type_info(c.type);
    uint64_t n = c.data.size() / t->block_bytes * t->block_elems;
    auto out = dequantize(c.data, c.type, n);
    ASSERT_EQ(out.size(), n) << c.what;
    if (c.expect.empty()) {
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(bits(out[i]), bits(c.all)) << c.what << " index " << i;
    }
    for (const auto& e : c.expect) EXPECT_EQ(bits(out[e.index]), bits(e.value)) << c.what << " index " << e.index;
  }
}

TEST(Dequantize, EveryTypeMatchesTheReference) {
  std::mt19937 rng(42);
  for (uint32_t type : kAllTypes) {
    const GgmlTypeInfo* t = ggml_type_info(type);
    // Q5_1 large enough to be spread over several pool tasks.
    size_t n_blocks = type == GgmlType::Q5_1 ? 5000 : 37;
    auto data = random_blocks(type, n_blocks, rng);
    uint64_t n = n_blocks * t->block_elems;
    EXPECT_TRUE(same_bits(dequantize(data, type, n), ref_dequantize(type, data, n))) << t->name;
    // A count that ends inside a block ignores that block's bytes.
    if (t->block_elems > 1) {
      EXPECT_TRUE(same_bits(dequantize(data, type, n - 1), ref_dequantize(type, data, n - t->block_elems))) << t->name;
    }
  }
}

TEST(Dequantize, ShortDataIsNeverReadPastItsEnd) {
  std::mt19937 rng(3);
  for (uint32_t type : kAllTypes) {
    if (type == GgmlType::Q5_1) continue;
    const GgmlTypeInfo* t = ggml_type_info(type);
    auto data = random_blocks(type, 4, rng);
    std::span<const uint8_t> short_data(data.data(), data.size() - 1);
    EXPECT_NE(fatal_message([&] { dequantize(short_data, type, 4 * t->block_elems); }).find("too short"), std::string::npos)
        << t->name;
  }
  // Q5_1 decodes the complete chunks there are and leaves the rest at 0.0.
  auto data = random_blocks(GgmlType::Q5_1, 4, rng);
  std::span<const uint8_t> short_data(data.data(), 2 * 24 + 10);
  auto out = dequantize(short_data, GgmlType::Q5_1, 4 * 32);
  ASSERT_EQ(out.size(), 128u);
  auto want = ref_dequantize(GgmlType::Q5_1, data, 64);
  want.resize(128, 0.0f);
  EXPECT_TRUE(same_bits(out, want));
}

}  // namespace
}  // namespace korvex::test
