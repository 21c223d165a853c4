#include "discretise/scalar_transport.hpp"

#include "discretise/boundary_hooks.hpp"
#include "discretise/common.hpp"

namespace questrand {

void calc_scalar(State& s, const ScalarEquation& eq) {
  auto [g, u, v, p, den, denold, vis, cf, steady, dt] = assembly_view(s);
  const RealFieldIn gam = eq.gam;
  const RealFieldIn old = eq.old;
  const RealFieldIn phi = eq.phi;

  // Cells are independent: rows outer, the inner loop walks memory.
  for (int j = 2; j <= g.jlast; ++j) {
    for (int i = 2; i <= g.ilast; ++i) {
      const auto [area_n, area_s, area_ew, vol] = scalar_cell(g, i, j);

      const Real fn = 0.5f * (den(i, j + 1) + den(i, j)) * v(i, j + 1) * area_n;
      const Real fs = 0.5f * (den(i, j - 1) + den(i, j)) * v(i, j) * area_s;
      const Real fe = 0.5f * (den(i + 1, j) + den(i, j)) * u(i + 1, j) * area_ew;
      const Real fw = 0.5f * (den(i - 1, j) + den(i, j)) * u(i, j) * area_ew;

      const Real dn = 0.5f * (gam(i, j + 1) + gam(i, j)) * area_n / g.dyn(j);
      const Real ds = 0.5f * (gam(i, j - 1) + gam(i, j)) * area_s / g.dys(j);
      const Real de = 0.5f * (gam(i + 1, j) + gam(i, j)) * area_ew / g.dxe(i);
      const Real dw = 0.5f * (gam(i - 1, j) + gam(i, j)) * area_ew / g.dxw(i);

      set_hybrid_coefficients(cf, i, j, {fn, fs, fe, fw}, {dn, ds, de, dw});

      const Real a0 = steady ? 0.0f : denold(i, j) * vol / dt;
      const Real b0 = steady ? 0.0f : den(i, j) * vol / dt;
      transient_and_imbalance(cf, i, j, steady, a0, b0, old(i, j), phi(i, j), {fn, fs, fe, fw});
    }
  }

  eq.hook(s);

  const Range range{2, 2, g.ilast, g.jlast};
  eq.res = relax_and_residual(
      s, range, eq.phi, eq.settings.relax, [&g](int i, int j) { return g.wx(i) * g.hy(j) * g.rad(j); }, nullptr);

  solve_equation(s, eq.settings, range, eq.phi);
}

void calct(State& s) {
  calc_scalar(s, ScalarEquation{s.cvar.t, s.cvar.told, s.cprop.gamt, modt, settings_of(s, Equation::t), s.cterm.res_t});
}

void calcc(State& s) {
  calc_scalar(s, ScalarEquation{s.cvar.c, s.cvar.cold, s.cprop.gamc, modc, settings_of(s, Equation::c), s.cterm.res_c});
}

}  // namespace questrand
