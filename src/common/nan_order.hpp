#pragma once
// On x86 an operation on two NaNs returns the first source operand's NaN (quieted), and for
// a commutative a * b or a + b the compiler picks which operand comes first. Where both
// operands can be NaN and the result's bits must not depend on the build or the
// instruction set, the operation is pinned: a's NaN wins, as it did in the gates' first
// builds.
namespace korvex {

inline float mul_nan_first(float a, float b) {
  __asm__("mulss %1, %0" : "+x"(a) : "x"(b));
  return a;
}

inline float add_nan_first(float a, float b) {
  __asm__("addss %1, %0" : "+x"(a) : "x"(b));
  return a;
}

}  // namespace korvex
