#pragma once
// The sampler's random generator: ChaCha with 12 rounds, keyed by the 64-bit seed
// expansion (a PCG32 sequence fills the 32-byte key), stream 0, block counter from 0.
// The word stream is buffered four blocks (64 words) at a time and read as 64-bit values
// two words at a time, low word first, so a seeded generation reproduces the same draws
// as every other implementation of this widely used generator layout.
#include <array>
#include <cstddef>
#include <cstdint>

namespace korvex {

struct ChaCha12 {
  static constexpr std::size_t BLOCK_WORDS = 16;
  static constexpr std::size_t BUFFER_WORDS = 4 * BLOCK_WORDS;

  std::array<uint32_t, 8> key{};
  uint64_t counter = 0;  // the block counter of the next block to generate
  std::array<uint32_t, BUFFER_WORDS> buffer{};
  std::size_t index = BUFFER_WORDS;  // next unread word; BUFFER_WORDS = buffer used up

  static ChaCha12 from_seed(const std::array<uint8_t, 32>& seed);
  static ChaCha12 seed_from_u64(uint64_t state);

  uint32_t next_u32();
  uint64_t next_u64();

 private:
  void refill();
};

// One ChaCha block of 12 rounds for the given key, 64-bit counter and 64-bit stream.
std::array<uint32_t, 16> chacha12_block(const std::array<uint32_t, 8>& key, uint64_t counter,
                                        uint64_t stream);

}  // namespace korvex
