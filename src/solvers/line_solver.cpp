// Line-by-line tridiagonal solver.
//
// Speed notes (every stored value keeps the bits of the plain recurrence):
//
// * The elimination factors of a line, term = 1 / (ap - tdb * tda(prev)) and
//   tda = a_next * term, depend on the coefficients only.  adisol computes
//   them in its first pass and keeps them for the later passes of the same
//   call; only the right-hand side and tdc are formed again.  The first
//   pass forms the horizontal lines' factors inside the vertical sweep's
//   chains, which leave the processor idle most of the time.
// * Subnormal numbers are common in these systems (pinned solid cells give
//   tiny coefficients and tiny velocities).  On many x86 cores a float
//   multiply with a subnormal operand or result takes a microcode path that
//   costs some 100 cycles (so does an addition or subtraction whose result
//   is subnormal; conversions and additions of subnormal operands do not).
//   The product of two floats is exact in double, so rounding the double
//   product to float gives exactly the float product (Real, core/real.hpp).
//   Products off the recurrence chain are always formed that way; products
//   on the chain use the float multiply when both operands are zero or at
//   least 2^-63 in magnitude (the product is then zero, normal or beyond the
//   float range, never subnormal) and the double route otherwise.  Where the
//   double route does not pay on the processor (subnormal_route_pays,
//   core/real.hpp) every product is the float multiply: the same bits.
#include "solvers/line_solver.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/real.hpp"
#include "core/vectorise.hpp"

namespace questrand {

namespace {

constexpr int N = kMaxGrid;

// a * b with the bits of the float multiply, formed in double (Real), without
// its slow path for subnormal numbers; where that route does not pay on the
// processor (Wide false, subnormal_route_pays), the float multiply itself.
template <bool Wide>
[[gnu::always_inline]] inline float mul_wide(float a, float b) {
  if constexpr (Wide) {
    return (Real(a) * Real(b)).value();
  } else {
    return a * b;
  }
}

[[gnu::noinline]] float mul_wide_call(float a, float b) { return mul_wide<true>(a, b); }

// Zero, or a magnitude of at least 2^-63 (infinities and NaNs included).
[[gnu::always_inline]] inline bool plain(float a) {
  std::uint32_t bits;
  std::memcpy(&bits, &a, sizeof bits);
  return (bits & 0x7fffffffu) - 1u >= 0x1fffffffu;
}

// a * b for the recurrence chains: the float multiply, whose latency is the
// shortest, unless an operand is small enough for the product to be subnormal.
template <bool Wide>
[[gnu::always_inline]] inline float mul(float a, float b) {
  if constexpr (Wide) {
    if (__builtin_expect(static_cast<int>(plain(a)) & static_cast<int>(plain(b)), 1)) return a * b;
    return mul_wide_call(a, b);
  } else {
    return a * b;
  }
}

// The factors of one sweep direction (LineFactors, core/state.hpp), laid
// out as the fields are (element (I, J) at (J-1)*350 + (I-1)), are formed by
// the first pass of an adisol call (or by lisoli / lisolj) for every line
// before any line is solved: they depend on the coefficients alone, and
// formed for all lines side by side their chains overlap (and, across the
// vertical lines, which lie side by side in memory, vectorise).
using Factors = LineFactors;

enum class Mode {
  form,        // form the factors, then solve (lisoli, lisolj, the first adisol pass)
  reuse,       // take them from the Factors block (later adisol passes)
  form_cross,  // vertical sweep: form the factors, then solve, and beside each
               // line's chain form the horizontal lines' factors of its nodes
               // (the first adisol pass, whose horizontal sweep then reuses them)
};

// The elimination factors of one node: term = 1 / (ap - b a_prev), tda = a_next term.
template <bool Wide>
[[gnu::always_inline]] inline void node_factors(float ap, float b, float a_next, float a_prev, float& term,
                                                float& tda) {
  term = 1.0f / (ap - mul<Wide>(b, a_prev));
  tda = mul<Wide>(a_next, term);
}

// The elimination factors of the vertical lines I = is..ie along J = js..je
// (b = as, a_next = an, tda(js-1) = 0), a row of nodes at a time.
template <bool Wide>
void vertical_factors(const Ccoef& cf, int is, int js, int ie, int je, Factors& f) {
  for (int j = js; j <= je; ++j) {
    const std::size_t k0 = static_cast<std::size_t>((j - 1) * N);
    if (j == js) {
      for (int i = is; i <= ie; ++i) {
        const std::size_t k = k0 + static_cast<std::size_t>(i - 1);
        node_factors<Wide>(cf.ap.data[k], cf.as.data[k], cf.an.data[k], 0.0f, f.term[k], f.tda[k]);
      }
      continue;
    }
    QUESTRAND_IVDEP
    for (int i = is; i <= ie; ++i) {
      const std::size_t k = k0 + static_cast<std::size_t>(i - 1);
      node_factors<Wide>(cf.ap.data[k], cf.as.data[k], cf.an.data[k], f.tda[k - N], f.term[k], f.tda[k]);
    }
  }
}

// The same for the horizontal lines J = js..je along I = is..ie (b = aw,
// a_next = ae, tda(is-1) = 0), a column of nodes at a time.
template <bool Wide>
void horizontal_factors(const Ccoef& cf, int is, int js, int ie, int je, Factors& f) {
  for (int i = is; i <= ie; ++i) {
    for (int j = js; j <= je; ++j) {
      const std::size_t k = static_cast<std::size_t>((j - 1) * N + (i - 1));
      const float a_prev = i == is ? 0.0f : f.tda[k - 1];
      node_factors<Wide>(cf.ap.data[k], cf.aw.data[k], cf.ae.data[k], a_prev, f.term[k], f.tda[k]);
    }
  }
}

// One sweep over the vertical lines I = is..ie: unknowns along J, stride N.
// With Mode::form_cross the horizontal lines' factors of column I (each from
// column I-1's, formed with the line before) are formed inside the chain of
// line I, on which they do not depend: the processor does them in the
// chain's latency.
template <Mode mode, bool Wide>
void vertical_sweep(const Ccoef& cf, int is, int js, int ie, int je, Field& phi, Factors& f,
                    Factors* cross = nullptr) {
  float tdc[N + 1];
  if (je < js) return;
  if constexpr (mode != Mode::reuse) vertical_factors<Wide>(cf, is, js, ie, je, f);
  for (int i = is; i <= ie; ++i) {
    const std::size_t k0 = static_cast<std::size_t>((js - 1) * N + (i - 1));
    const float* fa = f.tda + k0;
    const float* ft = f.term + k0;
    const float* as = cf.as.data + k0;
    const float* ae = cf.ae.data + k0;
    const float* aw = cf.aw.data + k0;
    const float* su = cf.su.data + k0;
    float* p = phi.data + k0;
    const int n = je - js + 1;
    float c = p[-N];  // phi(I, js-1)
    for (int m = 0; m < n; ++m) {
      const std::size_t k = static_cast<std::size_t>(m) * N;
      const float rhs = mul_wide<Wide>(ae[k], p[k + 1]) + mul_wide<Wide>(aw[k], p[k - 1]) + su[k];
      c = mul<Wide>(rhs + mul<Wide>(as[k], c), ft[k]);
      tdc[m] = c;
      if constexpr (mode == Mode::form_cross) {
        const std::size_t kc = k0 + k;
        const float a_prev = i == is ? 0.0f : cross->tda[kc - 1];
        node_factors<Wide>(cf.ap.data[kc], aw[k], ae[k], a_prev, cross->term[kc], cross->tda[kc]);
      }
    }
    float x = p[static_cast<std::size_t>(n) * N];  // phi(I, je+1)
    for (int m = n - 1; m >= 0; --m) {
      x = mul<Wide>(fa[static_cast<std::size_t>(m) * N], x) + tdc[m];
      p[static_cast<std::size_t>(m) * N] = x;
    }
  }
}

// One sweep over the horizontal lines J = js..je: unknowns along I, unit stride.
template <Mode mode, bool Wide>
void horizontal_sweep(const Ccoef& cf, int is, int js, int ie, int je, Field& phi, Factors& f) {
  float tdc[N + 1];
  float rhs[N + 1];
  if (ie < is) return;
  if constexpr (mode == Mode::form) horizontal_factors<Wide>(cf, is, js, ie, je, f);
  const int n = ie - is + 1;
  for (int j = js; j <= je; ++j) {
    const std::size_t k0 = static_cast<std::size_t>((j - 1) * N + (is - 1));
    const float* fa = f.tda + k0;
    const float* ft = f.term + k0;
    const float* an = cf.an.data + k0;
    const float* as = cf.as.data + k0;
    const float* aw = cf.aw.data + k0;
    const float* su = cf.su.data + k0;
    float* p = phi.data + k0;
    // The right-hand sides of the row need only the rows below (solved) and
    // above (not yet): form them all before the recurrence.
    for (int m = 0; m < n; ++m) rhs[m] = mul_wide<Wide>(as[m], p[m - N]) + mul_wide<Wide>(an[m], p[m + N]) + su[m];
    float c = p[-1];  // phi(is-1, J)
    for (int m = 0; m < n; ++m) {
      c = mul<Wide>(rhs[m] + mul<Wide>(aw[m], c), ft[m]);
      tdc[m] = c;
    }
    float x = p[n];  // phi(ie+1, J)
    for (int m = n - 1; m >= 0; --m) {
      x = mul<Wide>(fa[m], x) + tdc[m];
      p[m] = x;
    }
  }
}

// Sum over I (outer) and J (inner) of |an phi_N + as phi_S + ae phi_E + aw phi_W + su - ap phi_P|,
// in double.  The float residuals are formed row by row (unit stride) into a
// work array, then summed in the required order.
template <bool Wide>
double residual_sum(const Ccoef& cf, int is, int js, int ie, int je, const Field& phi, float* res) {
  if (ie < is || je < js) return 0.0;
  const int n = ie - is + 1;
  for (int j = js; j <= je; ++j) {
    const std::size_t k0 = static_cast<std::size_t>((j - 1) * N + (is - 1));
    const float* ap = cf.ap.data + k0;
    const float* an = cf.an.data + k0;
    const float* as = cf.as.data + k0;
    const float* ae = cf.ae.data + k0;
    const float* aw = cf.aw.data + k0;
    const float* su = cf.su.data + k0;
    const float* p = phi.data + k0;
    float* r = res + static_cast<std::size_t>(j - js) * N;
    for (int m = 0; m < n; ++m)
      r[m] = std::fabs(mul_wide<Wide>(an[m], p[m + N]) + mul_wide<Wide>(as[m], p[m - N]) +
                       mul_wide<Wide>(ae[m], p[m + 1]) + mul_wide<Wide>(aw[m], p[m - 1]) + su[m] -
                       mul_wide<Wide>(ap[m], p[m]));
  }
  double rsum = 0.0;
  for (int m = 0; m < n; ++m) {
    const float* r = res + m;
    for (int j = 0; j <= je - js; ++j) rsum = rsum + static_cast<double>(r[static_cast<std::size_t>(j) * N]);
  }
  return rsum;
}

// One adisol call in the products' route Wide.
template <bool Wide>
void adisol_in(const Ccoef& cf, const Range& r, Field& phi, const LineSolverParams& params, LineSolverWork& work) {
  Factors& factors_v = work.vertical;
  Factors& factors_h = work.horizontal;
  int pass = 0;
  for (;;) {
    ++pass;
    if (pass == 1) {
      vertical_sweep<Mode::form_cross, Wide>(cf, r.istart, r.jstart, r.iend, r.jend, phi, factors_v, &factors_h);
      horizontal_sweep<Mode::reuse, Wide>(cf, r.istart, r.jstart, r.iend, r.jend, phi, factors_h);
    } else {
      vertical_sweep<Mode::reuse, Wide>(cf, r.istart, r.jstart, r.iend, r.jend, phi, factors_v);
      horizontal_sweep<Mode::reuse, Wide>(cf, r.istart, r.jstart, r.iend, r.jend, phi, factors_h);
    }
    if (pass >= params.sweeps) return;  // the last allowed pass: the residual decides nothing
    const double rsum = residual_sum<Wide>(cf, r.istart, r.jstart, r.iend, r.jend, phi, work.residual);
    if (!(rsum > static_cast<double>(params.tol))) return;
  }
}

}  // namespace

void lisoli(const Ccoef& cf, const Range& r, Field& phi, LineSolverWork& work) {
  if (subnormal_route_pays()) {
    vertical_sweep<Mode::form, true>(cf, r.istart, r.jstart, r.iend, r.jend, phi, work.vertical);
  } else {
    vertical_sweep<Mode::form, false>(cf, r.istart, r.jstart, r.iend, r.jend, phi, work.vertical);
  }
}

void lisolj(const Ccoef& cf, const Range& r, Field& phi, LineSolverWork& work) {
  if (subnormal_route_pays()) {
    horizontal_sweep<Mode::form, true>(cf, r.istart, r.jstart, r.iend, r.jend, phi, work.horizontal);
  } else {
    horizontal_sweep<Mode::form, false>(cf, r.istart, r.jstart, r.iend, r.jend, phi, work.horizontal);
  }
}

void adisol(const Ccoef& cf, const Range& r, Field& phi, const LineSolverParams& params, LineSolverWork& work) {
  if (subnormal_route_pays()) {
    adisol_in<true>(cf, r, phi, params, work);
  } else {
    adisol_in<false>(cf, r, phi, params, work);
  }
}

}  // namespace questrand
