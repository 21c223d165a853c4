#include "discretise/scalar_transport.hpp"

#include "discretise/boundary_hooks.hpp"
#include "discretise/common.hpp"

namespace questrand {

void calc_scalar(State& s, const ScalarEquation& eq) {
  const Cgrid& g = s.cgrid;
  const Field& u = s.cvar.u;
  const Field& v = s.cvar.v;
  const Field& den = s.cprop.den;
  const Field& denold = s.cprop.denold;
  const Field& gam = eq.gam;
  Ccoef& cf = s.ccoef;
  const bool steady = s.ctime.steady;
  const float dt = s.ctime.dt;

  // Each cell's coefficients depend on the fields only: rows outer, so that
  // the inner loop walks memory contiguously.
  for (int j = 2; j <= g.jlast; ++j) {
    for (int i = 2; i <= g.ilast; ++i) {
      const float area_n = g.wx(i) * g.radv(j + 1);
      const float area_s = g.wx(i) * g.radv(j);
      const float area_ew = g.rad(j) * g.hy(j);
      const float vol = g.wx(i) * g.rad(j) * g.hy(j);

      const float fn = 0.5f * (den(i, j + 1) + den(i, j)) * v(i, j + 1) * area_n;
      const float fs = 0.5f * (den(i, j - 1) + den(i, j)) * v(i, j) * area_s;
      const float fe = 0.5f * (den(i + 1, j) + den(i, j)) * u(i + 1, j) * area_ew;
      const float fw = 0.5f * (den(i - 1, j) + den(i, j)) * u(i, j) * area_ew;

      const float dn = 0.5f * (gam(i, j + 1) + gam(i, j)) * area_n / g.dyn(j);
      const float ds = 0.5f * (gam(i, j - 1) + gam(i, j)) * area_s / g.dys(j);
      const float de = 0.5f * (gam(i + 1, j) + gam(i, j)) * area_ew / g.dxe(i);
      const float dw = 0.5f * (gam(i - 1, j) + gam(i, j)) * area_ew / g.dxw(i);

      cf.an(i, j) = hybrid_minus(fn, dn);
      cf.as(i, j) = hybrid_plus(fs, ds);
      cf.ae(i, j) = hybrid_minus(fe, de);
      cf.aw(i, j) = hybrid_plus(fw, dw);

      float a0 = 0.0f;
      float b0 = 0.0f;
      if (!steady) {
        a0 = denold(i, j) * vol / dt;
        b0 = den(i, j) * vol / dt;
      }
      transient_and_imbalance(cf, i, j, steady, a0, b0, eq.old(i, j), eq.phi(i, j), {fn, fs, fe, fw});
    }
  }

  eq.hook(s);

  const Range range{2, 2, g.ilast, g.jlast};
  eq.res = relax_and_residual(
      s, range, eq.phi, eq.relax, [&g](int i, int j) { return g.wx(i) * g.hy(j) * g.rad(j); }, nullptr);

  solve_equation(s, eq.solver, range, eq.phi, eq.sweeps, eq.tol);
}

void calct(State& s) {
  calc_scalar(s, ScalarEquation{s.cvar.t, s.cvar.told, s.cprop.gamt, modt, s.crelx.relax_t, s.cterm.res_t,
                                s.csolv.solver_t, s.cters.sweeps_t, s.cters.tol_t});
}

void calcc(State& s) {
  calc_scalar(s, ScalarEquation{s.cvar.c, s.cvar.cold, s.cprop.gamc, modc, s.crelx.relax_c, s.cterm.res_c,
                                s.csolv.solver_c, s.cters.sweeps_c, s.cters.tol_c});
}

}  // namespace questrand
