// Pieces shared by the five equations: the hybrid convection-diffusion
// weighting, the central coefficient / residual / relaxation step and the
// choice of linear solver.
#pragma once

#include <cmath>

#include "core/equation_settings.hpp"
#include "core/range.hpp"
#include "core/real.hpp"
#include "core/state.hpp"

namespace questrand {

// Hybrid weighting of a face with mass flux f and conductance d:
//   downstream-signed  a = max(|f/2|, d) - f/2   (north and east faces)
//   upstream-signed    a = max(|f/2|, d) + f/2   (south and west faces)
// |f| <= 2d gives central differencing, |f| > 2d pure upwinding.
inline float hybrid_minus(float f, float d) {
  const float half = f / 2.0f;
  const float m = std::fabs(half) > d ? std::fabs(half) : d;
  return m - half;
}
inline float hybrid_plus(float f, float d) {
  const float half = f / 2.0f;
  const float m = std::fabs(half) > d ? std::fabs(half) : d;
  return m + half;
}
inline Real hybrid_minus(Real f, Real d) {
  const Real half = f / 2.0f;
  const Real m = abs(half) > d ? abs(half) : d;
  return m - half;
}
inline Real hybrid_plus(Real f, Real d) {
  const Real half = f / 2.0f;
  const Real m = abs(half) > d ? abs(half) : d;
  return m + half;
}

// The coefficient block seen through Real (see core/real.hpp): the
// assembly's arithmetic stays fast where the pinned solid cells make its
// numbers subnormal.
struct RealCoef {
  RealField ap, an, as, ae, aw, su, sp, du, dv;
};
inline RealCoef real_coef(Ccoef& c) { return {c.ap, c.an, c.as, c.ae, c.aw, c.su, c.sp, c.du, c.dv}; }

// What the assembly of every equation reads, under the names the formulas
// use: the grid, the velocities and pressure, the densities (current and
// previous time level) and viscosity, the coefficient block and the time step.
// The fields and coefficients read (and assign) as Real.
struct AssemblyView {
  const Cgrid& g;
  RealField u;
  RealField v;
  RealField p;
  RealFieldIn den;
  RealFieldIn denold;
  RealFieldIn vis;
  RealCoef cf;
  bool steady;
  Real dt;
};

inline AssemblyView assembly_view(State& s) {
  return {s.cgrid,      s.cvar.u,     s.cvar.v, s.cvar.p,        s.cprop.den,
          s.cprop.denold, s.cprop.vis, real_coef(s.ccoef),  s.ctime.steady, s.ctime.dt};
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
struct FaceFluxes {
  Real fn, fs, fe, fw;
};
struct FaceConductances {
  Real dn, ds, de, dw;
};

// Neighbour coefficients of cell (i, j) by the hybrid weighting:
//   an = hybrid_minus(Fn, Dn), as = hybrid_plus(Fs, Ds),
//   ae = hybrid_minus(Fe, De), aw = hybrid_plus(Fw, Dw).
inline void set_hybrid_coefficients(const RealCoef& cf, int i, int j, const FaceFluxes& f, const FaceConductances& d) {
  cf.an(i, j) = hybrid_minus(f.fn, d.dn);
  cf.as(i, j) = hybrid_plus(f.fs, d.ds);
  cf.ae(i, j) = hybrid_minus(f.fe, d.de);
  cf.aw(i, j) = hybrid_plus(f.fw, d.dw);
}

// Transient term and mass-imbalance correction of cell (i, j), with the
// accumulation factors a0 = rho_old V / dt and b0 = rho V / dt (both 0 in a
// steady run, where the previous time level has no influence):
//   su = a0 phi_old,  sp = -a0
//   cp = max(0, (b0 - a0) + Fn - Fs + Fe - Fw)   (net outflow plus accumulation)
//   su = su + cp phi,  sp = sp - cp
// A cell that gains mass (cp = 0) gets no correction.
inline void transient_and_imbalance(const RealCoef& cf, int i, int j, bool steady, Real a0, Real b0, Real phi_old,
                                    Real phi, const FaceFluxes& f) {
  if (steady) {
    cf.su(i, j) = 0.0f;
    cf.sp(i, j) = 0.0f;
  } else {
    cf.su(i, j) = a0 * phi_old;
    cf.sp(i, j) = -a0;
  }
  const Real smp = (b0 - a0) + f.fn - f.fs + f.fe - f.fw;
  const Real cp = smp > 0.0f ? smp : 0.0f;
  cf.su(i, j) = cf.su(i, j) + cp * phi;
  cf.sp(i, j) = cf.sp(i, j) - cp;
}

// Per-cell absolute residuals of the equation being relaxed (scratch).
inline Field cell_residual;

// Phase 3 of the transport and momentum equations, over the range:
//   ap = as + an + ae + aw - sp
//   [dcoef = dcoef / ap]                       (momentum only)
//   r  = an phi_N + as phi_S + ae phi_E + aw phi_W - ap phi_P + su
//   r  = r / (bignum V)  when -sp > 0.5 bignum V  (pinned cell)
//   res += |r|            (a float sum, I outer and J inner)
//   ap = ap / relax;  su = su + (1 - relax) ap phi_P
//   [dcoef = relax dcoef]
// volume(i, j) gives the cell volume V as this equation writes it.  The
// cells are independent, so they are visited row by row; the sum is then
// taken in its own order.
template <class Volume>
float relax_and_residual(State& s, const Range& r, RealField phi, float relax, Volume volume, Field* dcoef_field) {
  const RealCoef cf = real_coef(s.ccoef);
  const RealField resid_out = cell_residual;
  const Real bignum = s.cgen.bignum;
  for (int j = r.jstart; j <= r.jend; ++j) {
    for (int i = r.istart; i <= r.iend; ++i) {
      cf.ap(i, j) = cf.as(i, j) + cf.an(i, j) + cf.ae(i, j) + cf.aw(i, j) - cf.sp(i, j);
      if (dcoef_field) {
        const RealField dcoef = *dcoef_field;
        dcoef(i, j) = dcoef(i, j) / cf.ap(i, j);
      }
      Real resid = cf.an(i, j) * phi(i, j + 1) + cf.as(i, j) * phi(i, j - 1) + cf.ae(i, j) * phi(i + 1, j) +
                   cf.aw(i, j) * phi(i - 1, j) - cf.ap(i, j) * phi(i, j) + cf.su(i, j);
      const Real vol = volume(i, j);
      if (-cf.sp(i, j) > 0.5f * bignum * vol) resid = resid / (bignum * vol);
      resid_out(i, j) = abs(resid);
      cf.ap(i, j) = cf.ap(i, j) / relax;
      cf.su(i, j) = cf.su(i, j) + (1.0f - relax) * cf.ap(i, j) * phi(i, j);
      if (dcoef_field) {
        const RealField dcoef = *dcoef_field;
        dcoef(i, j) = relax * dcoef(i, j);
      }
    }
  }
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
