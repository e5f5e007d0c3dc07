// The vector exponential over an instruction-set struct `X` (expf_avx512.hpp and
// expf_avx2.hpp define one and include this file inside their anonymous namespace): every
// lane returns exactly the bits glibc's expf returns for it, whichever variant of expf the C
// library picked on this machine.
//
// glibc's expf rounds to float a double approximation of e^x whose relative error, over all
// 2^32 inputs, reaches 2^-33.24 where it shows (the inputs whose rounding it changes, on
// both of glibc's variants, with and without FMA). Here e^x is computed in double as y with
// a relative error below 2^-42 (2^-42.55 with the 16-entry table, 2^-43.7 with the 8-entry
// one, over all inputs; see expf_constants.hpp), and a lane keeps the float of y when
// y (1 - 2^-32) and y (1 + 2^-32) round to the same float: glibc's double lies between the
// two, and rounding is monotonic, so glibc rounds it to that float too. The interval is 2.4
// times wider than the worst error seen. A lane fails the test when y lies within 2^-32 of
// a rounding boundary (a midpoint between floats, the edges of the subnormal and overflow
// ranges: one lane in about 175 on softmax and gate values, 0.075% of all inputs) or when x
// is NaN; glibc's expf recomputes those lanes.
//
// X provides: L float lanes in X::F, two halves of L / 2 doubles in X::D; to_double_lo/hi
// and to_float (both halves back, each rounded to float); double set1/add/sub/mul;
// pow2_steps(s), 2^(k / kTableSize) for s = kExpfShift + k; a Taylor degree kDegree that
// keeps the error of 2^(r / kTableSize) below 2^-42; differ(a, b), the bit mask of lanes
// where a != b or either is NaN; float set1/load/store/min/max.
#pragma once

// Past these e^x is far outside the float range (below half the smallest subnormal, above
// the largest float), so the rounding stays certain, and a clamped x keeps k and
// 2^(k div N) well inside the double range. The clamp passes a NaN x through.
inline constexpr float kExpfLowest = -110.0f, kExpfHighest = 100.0f;
// Relative half-width of the interval within which glibc's double may lie.
inline constexpr double kExpfUnsure = 0x1p-32;
// Adding 1.5 * 2^52 rounds a double below 2^51 in size to an integer, left in the low bits.
inline constexpr double kExpfShift = 0x1.8p52;

// The recomputed lanes, out of the vector loop.
[[gnu::noinline, gnu::cold]] inline void expf_redo_lanes(const float* x, float* y, unsigned lanes) {
  for (; lanes != 0; lanes &= lanes - 1) {
    int i = __builtin_ctz(lanes);
    y[i] = __builtin_expf(x[i]);  // glibc's expf; no header needed here
  }
}

// e^x for a double x with |x| <= 110.
template <class X>
[[gnu::always_inline]] inline typename X::D expf_double(typename X::D x) {
  using D = typename X::D;
  constexpr int N = X::kTableSize;
  constexpr auto c = exp2_fraction_taylor<N, X::kDegree>();
  D z = X::mul(x, X::set1(kStepsPerUnit<N>));
  D s = X::add(z, X::set1(kExpfShift));
  D r = X::sub(z, X::sub(s, X::set1(kExpfShift)));  // exact: z less its nearest integer k
  D p = X::set1(c.v[X::kDegree]);
#pragma GCC unroll 8
  for (int i = X::kDegree - 1; i >= 0; --i) p = X::add(X::mul(p, r), X::set1(c.v[i]));
  return X::mul(X::pow2_steps(s), p);
}

template <class X>
[[gnu::always_inline]] inline typename X::F expf_lanes_of(typename X::F x) {
  using F = typename X::F;
  using D = typename X::D;
  F xc = X::min(X::set1(kExpfHighest), X::max(X::set1(kExpfLowest), x));
  D y0 = expf_double<X>(X::to_double_lo(xc)), y1 = expf_double<X>(X::to_double_hi(xc));
  D lo = X::set1(1.0 - kExpfUnsure), hi = X::set1(1.0 + kExpfUnsure);
  F below = X::to_float(X::mul(y0, lo), X::mul(y1, lo));
  F above = X::to_float(X::mul(y0, hi), X::mul(y1, hi));
  unsigned unsure = X::differ(below, above);
  if (unsure != 0) [[unlikely]] {
    alignas(64) float xs[X::L], ys[X::L];
    X::store(xs, x);
    X::store(ys, below);
    expf_redo_lanes(xs, ys, unsure);
    below = X::load(ys);
  }
  return below;
}
