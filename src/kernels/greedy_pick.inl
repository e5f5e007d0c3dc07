// The greedy pick over an instruction-set struct `S` (S::L lanes of int32), included
// inside an anonymous namespace by greedy_pick_avx512.cpp and greedy_pick_avx2.cpp, each
// compiled for its own target.

GreedyBest pick(const float* logits, std::size_t n) {
  using I = S::I;
  constexpr int L = S::L;
  I best = S::set1(INT32_MIN), where = S::set1(0);
  I index = S::iota(), step = S::set1(L);
  for (std::size_t i = 0; i < n; i += L) {
    I bits = S::loadu(logits + i);
    // total_order_key: negative values have their magnitude bits flipped.
    I key = S::xor_(bits, S::srli1(S::srai31(bits)));
    // A key equal to the lane's best replaces it too: the later index wins a tie.
    where = S::select_if_not_greater(best, key, index, where);
    best = S::max(best, key);
    index = S::add(index, step);
  }
  alignas(64) int32_t keys[L], indices[L];
  S::store(keys, best);
  S::store(indices, where);
  GreedyBest out{INT32_MIN, 0};
  for (int l = 0; l < L; ++l) {
    std::size_t at = static_cast<std::size_t>(indices[l]);
    if (keys[l] > out.key || (keys[l] == out.key && at > out.index)) out = {keys[l], at};
  }
  return out;
}

constexpr GreedyPickKernel kGreedyPick{static_cast<std::size_t>(S::L), pick};
