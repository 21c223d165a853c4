// Pieces shared by the five equations: the hybrid convection-diffusion
// weighting, the central coefficient / residual / relaxation step and the
// choice of linear solver.
#pragma once

#include <cmath>
#include <initializer_list>
#include <type_traits>

#include "core/equation_settings.hpp"
#include "core/range.hpp"
#include "core/real.hpp"
#include "core/state.hpp"
#include "core/vectorise.hpp"

namespace questrand {

// Hybrid weighting of a face with mass flux f and conductance d:
//   downstream-signed  a = max(|f/2|, d) - f/2   (north and east faces)
//   upstream-signed    a = max(|f/2|, d) + f/2   (south and west faces)
// |f| <= 2d gives central differencing, |f| > 2d pure upwinding.
[[gnu::always_inline]] inline float hybrid_minus(float f, float d) {
  const float half = f / 2.0f;
  const float m = std::fabs(half) > d ? std::fabs(half) : d;
  return m - half;
}
[[gnu::always_inline]] inline float hybrid_plus(float f, float d) {
  const float half = f / 2.0f;
  const float m = std::fabs(half) > d ? std::fabs(half) : d;
  return m + half;
}
[[gnu::always_inline]] inline Real hybrid_minus(Real f, Real d) {
  const Real half = f / 2.0f;
  const Real m = abs(half) > d ? abs(half) : d;
  return m - half;
}
[[gnu::always_inline]] inline Real hybrid_plus(Real f, Real d) {
  const Real half = f / 2.0f;
  const Real m = abs(half) > d ? abs(half) : d;
  return m + half;
}

// The assembly's arithmetic, chosen row by row: T = Real (core/real.hpp) never
// meets the slow subnormal path but pays a few conversions per operation;
// T = float is the fastest where the numbers stay far from the subnormal
// range.  Both give the same bits, so the choice changes only the speed.
//   FieldOf<T>    a field, read and assigned in T
//   FieldInOf<T>  a field, read in T
//   CoefOf<T>     the coefficient block, read and assigned in T
struct RealCoef {
  RealField ap, an, as, ae, aw, su, sp, du, dv;
};
template <class T>
using FieldOf = std::conditional_t<std::is_same_v<T, Real>, RealField, Field&>;
template <class T>
using FieldInOf = std::conditional_t<std::is_same_v<T, Real>, RealFieldIn, const Field&>;
template <class T>
using CoefOf = std::conditional_t<std::is_same_v<T, Real>, RealCoef, Ccoef&>;

template <class T>
CoefOf<T> coef_of(Ccoef& c) {
  if constexpr (std::is_same_v<T, Real>) {
    return {c.ap, c.an, c.as, c.ae, c.aw, c.su, c.sp, c.du, c.dv};
  } else {
    return c;
  }
}

// Rows whose stored numbers come near the subnormal range (a nonzero
// magnitude below 2^-90 in one of the given fields), where T = Real pays off:
// the pinned solid rows and their neighbours.  None where the Real route does
// not pay on this processor (subnormal_route_pays).
class SmallRows {
 public:
  SmallRows(const Cgrid& g, std::initializer_list<const Field*> fields);
  // Whether a cell of row J, whose stencil reaches rows J-2..J+1, may meet
  // subnormal numbers.
  bool near(int j) const { return small_[j - 2] | small_[j - 1] | small_[j] | small_[j + 1]; }

 private:
  bool small_[kMaxGrid + 2] = {};  // element J for row J; row 0 never small
};

// Calls row.template operator()<T, Steady>() with the arithmetic the row's
// numbers call for (T = Real where `real`, else float) and the run's kind as
// a constant of the row's loop, which then has no branch on it and
// vectorises (the loop's cells write only their own coefficients).
template <class Row>
void with_row_arithmetic(bool real, bool steady, Row&& row) {
  if (real) {
    if (steady) {
      row.template operator()<Real, true>();
    } else {
      row.template operator()<Real, false>();
    }
  } else if (steady) {
    row.template operator()<float, true>();
  } else {
    row.template operator()<float, false>();
  }
}

// What the assembly of every equation reads, under the names the formulas
// use: the grid, the velocities and pressure, the densities (current and
// previous time level) and viscosity, the coefficient block and the time step,
// in the arithmetic T.
template <class T>
struct AssemblyView {
  const Cgrid& g;
  FieldOf<T> u;
  FieldOf<T> v;
  FieldOf<T> p;
  FieldInOf<T> den;
  FieldInOf<T> denold;
  FieldInOf<T> vis;
  CoefOf<T> cf;
  bool steady;
  T dt;
};

template <class T>
AssemblyView<T> assembly_view(State& s) {
  return {s.cgrid,         s.cvar.u,    s.cvar.v,           s.cvar.p,        s.cprop.den,
          s.cprop.denold,  s.cprop.vis, coef_of<T>(s.ccoef), s.ctime.steady, s.ctime.dt};
}

// Face areas and volume of the control volume of each variable at (i, j),
// each product in the order its equation writes it (radii rad, radv, radvs
// are 1 in the plane geometry):
//   scalar (t, c): north/south wx radv, east/west rad hy, V = wx rad hy
//   continuity:    the same faces, V = wx hy rad
//   u (west face): north/south wxu radv, east/west hy rad, V = hy wxu rad
//   v (south face): north/south wx radvs, east/west hyv radv, V = hyv wx radv
struct CellFaces {
  float area_n, area_s, area_ew, vol;
};
inline CellFaces scalar_cell(const Cgrid& g, int i, int j) {
  return {g.wx(i) * g.radv(j + 1), g.wx(i) * g.radv(j), g.rad(j) * g.hy(j), g.wx(i) * g.rad(j) * g.hy(j)};
}
inline CellFaces continuity_cell(const Cgrid& g, int i, int j) {
  return {g.wx(i) * g.radv(j + 1), g.wx(i) * g.radv(j), g.hy(j) * g.rad(j), g.wx(i) * g.hy(j) * g.rad(j)};
}
inline CellFaces u_cell(const Cgrid& g, int i, int j) {
  return {g.wxu(i) * g.radv(j + 1), g.wxu(i) * g.radv(j), g.hy(j) * g.rad(j), g.hy(j) * g.wxu(i) * g.rad(j)};
}
inline CellFaces v_cell(const Cgrid& g, int i, int j) {
  return {g.wx(i) * g.radvs(j + 1), g.wx(i) * g.radvs(j), g.hyv(j) * g.radv(j), g.hyv(j) * g.wx(i) * g.radv(j)};
}

// Face mass fluxes and diffusion conductances of one control volume.
template <class T>
struct FaceFluxes {
  T fn, fs, fe, fw;
};
template <class T>
struct FaceConductances {
  T dn, ds, de, dw;
};

// Neighbour coefficients of cell (i, j) by the hybrid weighting:
//   an = hybrid_minus(Fn, Dn), as = hybrid_plus(Fs, Ds),
//   ae = hybrid_minus(Fe, De), aw = hybrid_plus(Fw, Dw).
template <class T>
[[gnu::always_inline]] inline void set_hybrid_coefficients(CoefOf<T> cf, int i, int j, const FaceFluxes<T>& f,
                                                           const FaceConductances<T>& d) {
  cf.an(i, j) = hybrid_minus(f.fn, d.dn);
  cf.as(i, j) = hybrid_plus(f.fs, d.ds);
  cf.ae(i, j) = hybrid_minus(f.fe, d.de);
  cf.aw(i, j) = hybrid_plus(f.fw, d.dw);
}

// Neighbour coefficients of cell (i, j) by upwinding with the diffusion kept
// (the second-order scheme's implicit part):
//   an = Dn + max(-Fn, 0), as = Ds + max(Fs, 0),
//   ae = De + max(-Fe, 0), aw = Dw + max(Fw, 0).
template <class T>
[[gnu::always_inline]] inline void set_upwind_coefficients(CoefOf<T> cf, int i, int j, const FaceFluxes<T>& f,
                                                           const FaceConductances<T>& d) {
  const T zero = 0.0f;
  cf.an(i, j) = d.dn + (-f.fn > zero ? -f.fn : zero);
  cf.as(i, j) = d.ds + (f.fs > zero ? f.fs : zero);
  cf.ae(i, j) = d.de + (-f.fe > zero ? -f.fe : zero);
  cf.aw(i, j) = d.dw + (f.fw > zero ? f.fw : zero);
}

// Transient term and mass-imbalance correction of cell (i, j), with the
// accumulation factors a0 = rho_old V / dt and b0 = rho V / dt (both 0 in a
// steady run, where the previous time level has no influence):
//   su = a0 phi_old,  sp = -a0
//   cp = max(0, (b0 - a0) + Fn - Fs + Fe - Fw)   (net outflow plus accumulation)
//   su = su + cp phi,  sp = sp - cp
// A cell that gains mass (cp = 0) gets no correction.
template <class T>
[[gnu::always_inline]] inline void transient_and_imbalance(CoefOf<T> cf, int i, int j, bool steady, T a0, T b0,
                                                           T phi_old, T phi, const FaceFluxes<T>& f) {
  if (steady) {
    cf.su(i, j) = 0.0f;
    cf.sp(i, j) = 0.0f;
  } else {
    cf.su(i, j) = a0 * phi_old;
    cf.sp(i, j) = -a0;
  }
  const T smp = (b0 - a0) + f.fn - f.fs + f.fe - f.fw;
  const T cp = smp > 0.0f ? smp : T(0.0f);
  cf.su(i, j) = cf.su(i, j) + cp * phi;
  cf.sp(i, j) = cf.sp(i, j) - cp;
}

// Phase 3 of the transport and momentum equations, over the range:
//   ap = as + an + ae + aw - sp
//   [dcoef = dcoef / ap]                       (momentum only)
//   r  = an phi_N + as phi_S + ae phi_E + aw phi_W - ap phi_P + su
//   r  = r / (bignum V)  when -sp > 0.5 bignum V  (pinned cell)
//   res += |r|            (a float sum, I outer and J inner)
//   ap = ap / relax;  su = su + (1 - relax) ap phi_P
//   [dcoef = relax dcoef]
// volume(i, j) gives the cell volume V as this equation writes it.  The
// cells are independent, so they are visited row by row, each row in the
// arithmetic its numbers call for (see SmallRows); the sum is then taken in
// its own order.
template <class T, bool Momentum, class Volume>
void relax_row(State& s, int j, const Range& r, FieldOf<T> phi, float relax, Volume volume, Field* dcoef_field) {
  const CoefOf<T> cf = coef_of<T>(s.ccoef);
  const FieldOf<T> resid_out = s.work.cell_residual;
  const T bignum = s.cgen.bignum;
  const FieldOf<T> dcoef = Momentum ? *dcoef_field : s.work.cell_residual;  // not read unless Momentum
  QUESTRAND_IVDEP
  for (int i = r.istart; i <= r.iend; ++i) {
    cf.ap(i, j) = cf.as(i, j) + cf.an(i, j) + cf.ae(i, j) + cf.aw(i, j) - cf.sp(i, j);
    if constexpr (Momentum) dcoef(i, j) = dcoef(i, j) / cf.ap(i, j);
    const T resid = cf.an(i, j) * phi(i, j + 1) + cf.as(i, j) * phi(i, j - 1) + cf.ae(i, j) * phi(i + 1, j) +
                    cf.aw(i, j) * phi(i - 1, j) - cf.ap(i, j) * phi(i, j) + cf.su(i, j);
    const T vol = volume(i, j);
    // formed in every cell and then chosen, so that the loop has no branch
    const T pinned_resid = resid / (bignum * vol);
    using std::abs;
    resid_out(i, j) = abs(-cf.sp(i, j) > 0.5f * bignum * vol ? pinned_resid : resid);
    cf.ap(i, j) = cf.ap(i, j) / relax;
    cf.su(i, j) = cf.su(i, j) + (1.0f - relax) * cf.ap(i, j) * phi(i, j);
    if constexpr (Momentum) dcoef(i, j) = relax * dcoef(i, j);
  }
}

template <class Volume>
float relax_and_residual(State& s, const Range& r, Field& phi, float relax, Volume volume, Field* dcoef,
                         const SmallRows& small) {
  for (int j = r.jstart; j <= r.jend; ++j) {
    const bool real = small.near(j);
    if (dcoef != nullptr && real) {
      relax_row<Real, true>(s, j, r, phi, relax, volume, dcoef);
    } else if (dcoef != nullptr) {
      relax_row<float, true>(s, j, r, phi, relax, volume, dcoef);
    } else if (real) {
      relax_row<Real, false>(s, j, r, phi, relax, volume, dcoef);
    } else {
      relax_row<float, false>(s, j, r, phi, relax, volume, dcoef);
    }
  }
  const Field& cell_residual = s.work.cell_residual;
  float res = 0.0f;
  for (int i = r.istart; i <= r.iend; ++i)
    for (int j = r.jstart; j <= r.jend; ++j) res = res + cell_residual(i, j);
  return res;
}

// Hands the assembled equation to the solver its settings name: 1 the line
// solver (with sweeps and tol), 2 the whole-field solver (with sweeps and the
// shared solver_alpha); any other value solves nothing.
void solve_equation(State& s, const EquationSettings& eq, const Range& r, Field& phi);

}  // namespace questrand
