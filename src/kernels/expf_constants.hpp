#pragma once
// Constants of the vector exponential, derived here at compile time in long double (64-bit
// significand) and rounded once to double, so no table is copied from anywhere and each
// constant can be checked against the long double library in the tests.
//
// The vector exponential computes exp(x) = 2^(x / ln 2) in double precision as
// 2^(k / N) * 2^(r / N), with k the integer nearest x * N / ln 2 and r the rest (|r| <= 1/2):
// 2^(k / N) is 2^(k div N) times an entry of a table of 2^(j / N), j < N, and 2^(r / N) is a
// short Taylor polynomial in r.
//
// No includes: the per-instruction-set headers include this after their file's target
// pragma, where a standard header's inline functions would be built for that target.

namespace korvex {

inline constexpr long double kLn2Long = 0.693147180559945309417232121458176568L;

// e^t by its series; for |t| <= ln 2 the terms past the fortieth are far below the last bit.
constexpr long double exp_series(long double t) {
  long double sum = 1.0L, term = 1.0L;
  for (int i = 1; i <= 40; ++i) {
    term = term * t / i;
    sum += term;
  }
  return sum;
}

template <int N>
struct ExpfDoubles {
  double v[N];
};

// 2^(j / N) for j < N.
template <int N>
constexpr ExpfDoubles<N> exp2_fraction_table() {
  ExpfDoubles<N> t{};
  for (int j = 0; j < N; ++j) t.v[j] = static_cast<double>(exp_series(kLn2Long * j / N));
  return t;
}

template <int N>
struct ExpfWords {
  unsigned long long v[N];
};

// The table as 64-bit patterns, entry j less j << (52 - log2 N): adding k << (52 - log2 N)
// to entry k mod N then adds (k - k mod N) << (52 - log2 N), that is (k div N) << 52, and
// yields 2^(k / N) = 2^(k div N) * 2^((k mod N) / N) in one integer addition (modulo 2^64,
// which the exponent field never notices while the result stays a normal double).
template <int N>
constexpr ExpfWords<N> exp2_fraction_steps() {
  constexpr int kShift = 52 - __builtin_ctz(N);
  ExpfDoubles<N> t = exp2_fraction_table<N>();
  ExpfWords<N> w{};
  for (int j = 0; j < N; ++j)
    w.v[j] = __builtin_bit_cast(unsigned long long, t.v[j]) - (static_cast<unsigned long long>(j) << kShift);
  return w;
}

// c[i] = (ln 2 / N)^i / i!: 2^(r / N) = sum of c[i] r^i.
template <int N, int Degree>
constexpr ExpfDoubles<Degree + 1> exp2_fraction_taylor() {
  ExpfDoubles<Degree + 1> c{};
  long double term = 1.0L;
  for (int i = 0; i <= Degree; ++i) {
    c.v[i] = static_cast<double>(term);
    term = term * (kLn2Long / N) / (i + 1);
  }
  return c;
}

// N / ln 2, the factor that takes x to table steps.
template <int N>
inline constexpr double kStepsPerUnit = static_cast<double>(N / kLn2Long);

}  // namespace korvex
