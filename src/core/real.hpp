// Real: a single-precision number whose arithmetic never takes the slow path
// some processors use for subnormal numbers.
//
// Every operation gives exactly the bits of the float operation it stands
// for, in the same order, so a formula written with Real reads and rounds as
// the float formula would.  a + b, a - b, a * b and a / b are formed in double
// and rounded once to float:
//
// * The product of two floats is exact in double (at most 48 significant
//   bits, the exponent far inside the double range): one rounding, the float
//   product.
// * A sum or difference that lands in the subnormal range is exact (both
//   operands are multiples of the smallest subnormal), so the double result is
//   that float.  Otherwise the double result is correctly rounded to 53 bits,
//   and since 53 >= 2 * 24 + 2 the second rounding gives the correctly rounded
//   float.  The same bound covers the quotient, also when it is subnormal: the
//   quotient of two floats never lies close enough to a float rounding
//   boundary for the first rounding to move it onto or across one.
// * -a, |a| and comparisons are the float operations (sign bit and compare,
//   fast for every operand).
//
// On many x86 cores (Intel in particular) a float multiply or divide with a
// subnormal operand or result, and a float add or subtract of normal operands
// with a subnormal result, takes a microcode assist of some 100 cycles.  Float
// subnormals are normal numbers in double, so the double route keeps the
// ordinary speed at the price of a few cheap conversions per operation.
//
// Fields and coefficient blocks are read as Real through RealField (element
// proxy RealRef, which also takes assignments) and RealFieldIn.
#pragma once

#include "core/state.hpp"

namespace questrand {

class Real {
 public:
  Real() = default;
  constexpr Real(float v) : v_(v) {}  // NOLINT: a float is a Real
  explicit constexpr operator float() const { return v_; }
  constexpr float value() const { return v_; }

 private:
  float v_ = 0.0f;
};

namespace real_detail {

// Hides where the double came from: otherwise the compiler narrows the double
// operation and its rounding back into the float operation.
[[gnu::always_inline]] inline double opaque(double d) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  asm("" : "+x"(d));
#endif
  return d;
}

}  // namespace real_detail

[[gnu::always_inline]] inline Real operator+(Real a, Real b) {
  return static_cast<float>(real_detail::opaque(static_cast<double>(a.value()) + static_cast<double>(b.value())));
}
[[gnu::always_inline]] inline Real operator-(Real a, Real b) {
  return static_cast<float>(real_detail::opaque(static_cast<double>(a.value()) - static_cast<double>(b.value())));
}
[[gnu::always_inline]] inline Real operator-(Real a) { return -a.value(); }
[[gnu::always_inline]] inline Real operator*(Real a, Real b) {
  return static_cast<float>(real_detail::opaque(static_cast<double>(a.value()) * static_cast<double>(b.value())));
}
[[gnu::always_inline]] inline Real operator/(Real a, Real b) {
  return static_cast<float>(real_detail::opaque(static_cast<double>(a.value()) / static_cast<double>(b.value())));
}
inline bool operator>(Real a, Real b) { return a.value() > b.value(); }
inline bool operator<(Real a, Real b) { return a.value() < b.value(); }
inline Real abs(Real a) { return __builtin_fabsf(a.value()); }

// Whether the Real route pays on this processor: whether float arithmetic
// on subnormal numbers is slower here than the same arithmetic through Real.
// Both give the same bits, so this changes only the speed: of the
// assembly's rows near the subnormal range (discretise/common.hpp) and of
// the line solver's products.  Timed once per process on a short chain of
// products, quotients and sums of subnormal numbers (some 0.1 ms);
// QUESTRAND_SUBNORMAL_ROUTE=double (the Real route where it may meet
// subnormal numbers) or =float (float everywhere) fixes the choice.
bool subnormal_route_pays();

// An element of a field, read as Real and assigned from Real.
class RealRef {
 public:
  explicit RealRef(float& f) : f_(f) {}
  RealRef(const RealRef&) = default;
  operator Real() const { return f_; }  // NOLINT: reads as a Real
  RealRef& operator=(Real x) {
    f_ = x.value();
    return *this;
  }
  RealRef& operator=(const RealRef& x) {
    f_ = x.f_;
    return *this;
  }

 private:
  float& f_;
};

// A field seen through Real: f(i, j) reads (and, for a writable field,
// assigns) element (I, J).
class RealField {
 public:
  RealField(Field& f) : f_(f) {}  // NOLINT: a field is viewed in place
  RealRef operator()(int i, int j) const { return RealRef(f_(i, j)); }
  Field& field() const { return f_; }

 private:
  Field& f_;
};

// A read-only field seen through Real.
class RealFieldIn {
 public:
  RealFieldIn(const Field& f) : f_(f) {}  // NOLINT: a field is viewed in place
  Real operator()(int i, int j) const { return f_(i, j); }

 private:
  const Field& f_;
};

}  // namespace questrand
