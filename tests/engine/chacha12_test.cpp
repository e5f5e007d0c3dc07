#include "engine/chacha12.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/sampler.hpp"

namespace korvex {
namespace {

struct Draw {
  uint64_t value;
  uint32_t r_bits;
};

// seed -> draws in index order, from tests/data/chacha12_next_u64.tsv
std::map<uint64_t, std::vector<Draw>> load_vectors() {
  std::ifstream in(std::string(KORVEX_SOURCE_DIR) + "/tests/data/chacha12_next_u64.tsv");
  EXPECT_TRUE(in) << "missing vector file";
  std::map<uint64_t, std::vector<Draw>> out;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    uint64_t seed = 0, index = 0, value = 0;
    std::string r_hex;
    fields >> seed >> index >> value >> r_hex;
    auto& draws = out[seed];
    EXPECT_EQ(index, draws.size()) << line;
    draws.push_back({value, static_cast<uint32_t>(std::stoul(r_hex, nullptr, 16))});
  }
  return out;
}

TEST(ChaCha12, SeededStreamMatchesVectors) {
  const auto vectors = load_vectors();
  ASSERT_EQ(vectors.size(), 6u);
  for (const auto& [seed, draws] : vectors) {
    ASSERT_EQ(draws.size(), 70u);  // crosses the first 64-word buffer refill
    ChaCha12 rng = ChaCha12::seed_from_u64(seed);
    for (std::size_t i = 0; i < draws.size(); ++i) {
      const uint64_t u = rng.next_u64();
      ASSERT_EQ(u, draws[i].value) << "seed " << seed << " index " << i;
      EXPECT_EQ(std::bit_cast<uint32_t>(unit_draw(u)), draws[i].r_bits)
          << "seed " << seed << " index " << i;
    }
  }
}

TEST(ChaCha12, U64ReadsTheWordStreamLowWordFirstAcrossRefills) {
  // Start at an odd word so that one 64-bit value takes the last word of a buffer and
  // the first of the next.
  ChaCha12 words = ChaCha12::seed_from_u64(7);
  std::vector<uint64_t> stream;
  for (int i = 0; i < 3 * 64; ++i) stream.push_back(words.next_u32());

  ChaCha12 rng = ChaCha12::seed_from_u64(7);
  EXPECT_EQ(rng.next_u32(), stream[0]);
  for (std::size_t i = 1; i + 1 < stream.size(); i += 2) {
    ASSERT_EQ(rng.next_u64(), stream[i + 1] << 32 | stream[i]) << "word " << i;
  }
}

TEST(UnitDraw, RoundsToOneAtTheTop) {
  EXPECT_EQ(unit_draw(0), 0.0f);
  EXPECT_EQ(unit_draw(UINT64_MAX), 1.0f);
  EXPECT_EQ(unit_draw(uint64_t{1} << 63), 0.5f);
}

}  // namespace
}  // namespace korvex
