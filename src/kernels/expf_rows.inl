// The exponential's array kernels over an instruction-set struct `X` whose expf_lanes is in
// scope (expf_avx512.cpp and expf_avx2.cpp include this after expf_<isa>.hpp). Each lane
// runs the scalar formula's float operations in its order, so it gives the formula's bits;
// the last product keeps the NaN the scalar formula keeps (common/nan_order.hpp).
using F = X::F;
constexpr std::size_t L = X::L;

F silu_gate_lanes(F g, F u) {
  F e = expf_lanes(X::neg(g));
  return X::mul_nan_first(u, X::div(g, X::add(e, X::set1(1.0f))));
}

F expert_gate_lanes(F g, F u) {
  F gc = X::min(g, X::set1(7.0f));                          // g < 7 ? g : 7
  F uc = X::max(X::set1(-7.0f), X::min(X::set1(7.0f), u));  // a NaN u stays NaN
  F e = expf_lanes(X::mul(gc, X::set1(-1.702f)));
  F glu = X::div(gc, X::add(e, X::set1(1.0f)));
  return X::mul_nan_first(glu, X::add(uc, X::set1(1.0f)));
}

void expf_rows(const float* in, float* out, std::size_t n) {
  std::size_t i = 0;
  for (; i + L <= n; i += L) X::store(out + i, expf_lanes(X::load(in + i)));
  if (unsigned rest = static_cast<unsigned>(n - i); rest != 0)
    X::store_first(out + i, expf_lanes(X::load_first(in + i, rest)), rest);
}

template <F (*Gate)(F, F)>
void gate_rows(const float* g, const float* u, float* out, std::size_t n) {
  std::size_t i = 0;
  for (; i + L <= n; i += L) X::store(out + i, Gate(X::load(g + i), X::load(u + i)));
  if (unsigned rest = static_cast<unsigned>(n - i); rest != 0)
    X::store_first(out + i, Gate(X::load_first(g + i, rest), X::load_first(u + i, rest)), rest);
}

constexpr ExpfKernels kExpfKernels = {L, expf_rows, gate_rows<silu_gate_lanes>, gate_rows<expert_gate_lanes>};
