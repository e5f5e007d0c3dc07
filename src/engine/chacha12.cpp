#include "engine/chacha12.hpp"

#include <bit>

namespace korvex {

namespace {

constexpr std::array<uint32_t, 4> SIGMA = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

void quarter_round(std::array<uint32_t, 16>& s, int a, int b, int c, int d) {
  s[a] += s[b]; s[d] = std::rotl(s[d] ^ s[a], 16);
  s[c] += s[d]; s[b] = std::rotl(s[b] ^ s[c], 12);
  s[a] += s[b]; s[d] = std::rotl(s[d] ^ s[a], 8);
  s[c] += s[d]; s[b] = std::rotl(s[b] ^ s[c], 7);
}

}  // namespace

std::array<uint32_t, 16> chacha12_block(const std::array<uint32_t, 8>& key, uint64_t counter,
                                        uint64_t stream) {
  std::array<uint32_t, 16> input{};
  for (int i = 0; i < 4; ++i) input[i] = SIGMA[i];
  for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
  input[12] = static_cast<uint32_t>(counter);
  input[13] = static_cast<uint32_t>(counter >> 32);
  input[14] = static_cast<uint32_t>(stream);
  input[15] = static_cast<uint32_t>(stream >> 32);

  std::array<uint32_t, 16> s = input;
  for (int round = 0; round < 12; round += 2) {
    quarter_round(s, 0, 4, 8, 12);
    quarter_round(s, 1, 5, 9, 13);
    quarter_round(s, 2, 6, 10, 14);
    quarter_round(s, 3, 7, 11, 15);
    quarter_round(s, 0, 5, 10, 15);
    quarter_round(s, 1, 6, 11, 12);
    quarter_round(s, 2, 7, 8, 13);
    quarter_round(s, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) s[i] += input[i];
  return s;
}

ChaCha12 ChaCha12::from_seed(const std::array<uint8_t, 32>& seed) {
  ChaCha12 rng;
  for (std::size_t i = 0; i < 8; ++i) {
    rng.key[i] = static_cast<uint32_t>(seed[4 * i]) | static_cast<uint32_t>(seed[4 * i + 1]) << 8 |
                 static_cast<uint32_t>(seed[4 * i + 2]) << 16 |
                 static_cast<uint32_t>(seed[4 * i + 3]) << 24;
  }
  return rng;
}

ChaCha12 ChaCha12::seed_from_u64(uint64_t state) {
  // PCG32: advance the state first, then output from the new state; each output fills
  // four key bytes, little-endian.
  constexpr uint64_t MUL = 6364136223846793005ull;
  constexpr uint64_t INC = 11634580027462260723ull;
  std::array<uint8_t, 32> seed{};
  for (std::size_t chunk = 0; chunk < 8; ++chunk) {
    state = state * MUL + INC;
    const auto xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<int>(state >> 59);
    const uint32_t x = std::rotr(xorshifted, rot);
    for (std::size_t b = 0; b < 4; ++b) seed[4 * chunk + b] = static_cast<uint8_t>(x >> (8 * b));
  }
  return from_seed(seed);
}

void ChaCha12::refill() {
  for (std::size_t b = 0; b < 4; ++b) {
    const auto block = chacha12_block(key, counter, 0);
    ++counter;
    for (std::size_t i = 0; i < BLOCK_WORDS; ++i) buffer[b * BLOCK_WORDS + i] = block[i];
  }
}

uint32_t ChaCha12::next_u32() {
  if (index >= BUFFER_WORDS) {
    refill();
    index = 0;
  }
  return buffer[index++];
}

uint64_t ChaCha12::next_u64() {
  if (index + 1 < BUFFER_WORDS) {
    const uint64_t lo = buffer[index];
    const uint64_t hi = buffer[index + 1];
    index += 2;
    return hi << 32 | lo;
  }
  if (index >= BUFFER_WORDS) {
    refill();
    index = 2;
    return static_cast<uint64_t>(buffer[1]) << 32 | buffer[0];
  }
  // One word left: it is the low half, the first word of the next buffer the high half.
  const uint64_t lo = buffer[BUFFER_WORDS - 1];
  refill();
  index = 1;
  return static_cast<uint64_t>(buffer[0]) << 32 | lo;
}

}  // namespace korvex
