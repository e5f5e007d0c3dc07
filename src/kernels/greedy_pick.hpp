#pragma once
// The vector kernels of the greedy pick: one lane per run of positions i = lane (mod lanes),
// each keeping the largest total-order key it has seen and the last position holding it;
// the lanes are then merged, highest index first among equal keys, so the pick is that of
// the plain loop. Built per instruction set (greedy_pick_avx512.cpp, greedy_pick_avx2.cpp)
// from greedy_pick.inl.
#include <cstddef>
#include <cstdint>

namespace korvex {

struct GreedyBest {
  int32_t key;        // total_order_key of the best value so far
  std::size_t index;  // the highest index holding it
};

// The best of logits[0 .. n - 1], n a whole number of vectors below 2^31: the largest key,
// the highest index among equals.
using GreedyPickFn = GreedyBest (*)(const float* logits, std::size_t n);

struct GreedyPickKernel {
  std::size_t lanes;
  GreedyPickFn pick;
};

const GreedyPickKernel& greedy_pick_avx512();
const GreedyPickKernel& greedy_pick_avx2();

}  // namespace korvex
