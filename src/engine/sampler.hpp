#pragma once
// The pieces of one generation step that pick the next id from the logits: the repeat
// penalty, the greedy pick and temperature + top-k sampling with one random draw.
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/chacha12.hpp"

namespace korvex {

// Generated ids the repeat penalty looks back over (the prompt never counts).
inline constexpr std::size_t REPEAT_WINDOW = 64;

// Key whose signed order is the IEEE 754 total order of f32 values
// (-NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN).
int32_t total_order_key(float value);

// For each id of the last REPEAT_WINDOW generated ids, oldest first and once per
// occurrence: a positive logit is divided by the penalty, any other multiplied by it.
// Only a penalty above 1.0 does anything (NaN does not).
void apply_repeat_penalty(std::span<float> logits, std::span<const std::size_t> generated,
                          float penalty);

// Index of the largest logit under the total order; the highest index among equals.
std::size_t greedy_pick(std::span<const float> logits);

// The draw r in [0, 1]: u as the nearest f64, times 2^-64, rounded to the nearest f32.
float unit_draw(uint64_t u);

// Temperature + top-k sampling: the k best of logits / temperature (best first, equal
// values in index order), softmax over them, one next_u64 draw, and the first candidate
// whose running probability reaches the draw (candidate 0 when none does).
// A top_k of 0 is taken as 1.
std::size_t sample_top_k(std::span<const float> logits, float temperature, std::size_t top_k,
                         ChaCha12& rng);

// The seed when none is given: the wall clock's nanoseconds within the current second,
// 0 when the clock reads earlier than the Unix epoch.
uint64_t clock_seed();

}  // namespace korvex
