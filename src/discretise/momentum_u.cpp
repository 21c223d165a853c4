#include "discretise/boundary_hooks.hpp"
#include "discretise/common.hpp"
#include "discretise/momentum.hpp"

namespace questrand {

void calcu(State& s) {
  auto [g, u, v, p, den, denold, vis, cf, steady, dt] = assembly_view(s);
  const RealFieldIn uold = s.cvar.uold;

  // Cells are independent: rows outer, the inner loop walks memory.
  for (int j = 2; j <= g.jlast; ++j) {
    for (int i = 3; i <= g.ilast; ++i) {
      const auto [area_n, area_s, area_ew, vol] = u_cell(g, i, j);

      const Real gn = 0.5f * (den(i, j) + den(i, j + 1)) * v(i, j + 1);
      const Real gnw = 0.5f * (den(i - 1, j + 1) + den(i - 1, j)) * v(i - 1, j + 1);
      const Real fn = 0.5f * (gn + gnw) * area_n;
      const Real gs = 0.5f * (den(i, j) + den(i, j - 1)) * v(i, j);
      const Real gsw = 0.5f * (den(i - 1, j - 1) + den(i - 1, j)) * v(i - 1, j);
      const Real fs = 0.5f * (gs + gsw) * area_s;
      const Real ge = 0.5f * (den(i, j) + den(i + 1, j)) * u(i + 1, j);
      const Real gp = 0.5f * (den(i, j) + den(i - 1, j)) * u(i, j);
      const Real fe = 0.5f * (ge + gp) * area_ew;
      const Real gw = 0.5f * (den(i - 1, j) + den(i - 2, j)) * u(i - 1, j);
      const Real fw = 0.5f * (gw + gp) * area_ew;

      const Real dn = 0.25f * (vis(i, j + 1) + vis(i, j) + vis(i - 1, j) + vis(i - 1, j + 1)) * area_n / g.dyn(j);
      const Real ds = 0.25f * (vis(i, j - 1) + vis(i, j) + vis(i - 1, j) + vis(i - 1, j - 1)) * area_s / g.dys(j);
      const Real de = vis(i, j) * area_ew / g.dxeu(i);
      const Real dw = vis(i - 1, j) * area_ew / g.dxwu(i);

      set_hybrid_coefficients(cf, i, j, {fn, fs, fe, fw}, {dn, ds, de, dw});

      const Real a0 = steady ? 0.0f : 0.5f * (denold(i - 1, j) + denold(i, j)) * vol / dt;
      const Real b0 = steady ? 0.0f : 0.5f * (den(i - 1, j) + den(i, j)) * vol / dt;
      transient_and_imbalance(cf, i, j, steady, a0, b0, uold(i, j), u(i, j), {fn, fs, fe, fw});

      cf.du(i, j) = area_ew;
      cf.su(i, j) = cf.su(i, j) + cf.du(i, j) * (p(i - 1, j) - p(i, j));

      // Normal stress: d/dx (vis du/dx) beyond the part in the coefficients.
      const Real stress_e = vis(i, j) * (u(i + 1, j) - u(i, j)) / g.wx(i);
      const Real stress_w = vis(i - 1, j) * (u(i, j) - u(i - 1, j)) / g.wx(i - 1);
      cf.su(i, j) = cf.su(i, j) + (stress_e - stress_w) / g.wxu(i) * vol;

      // Cross derivative: d/dy (vis dv/dx).
      const Real vis_n = 0.25f * (vis(i - 1, j) + vis(i, j) + vis(i, j + 1) + vis(i - 1, j + 1));
      const Real vis_s = 0.25f * (vis(i - 1, j) + vis(i, j) + vis(i, j - 1) + vis(i - 1, j - 1));
      const Real cross_n = vis_n * (v(i, j + 1) - v(i - 1, j + 1)) * g.radv(j + 1) / g.dxw(i);
      const Real cross_s = vis_s * (v(i, j) - v(i - 1, j)) * g.radv(j) / g.dxw(i);
      cf.su(i, j) = cf.su(i, j) + (cross_n - cross_s) / g.hy(j) / g.rad(j) * vol;
    }
  }

  modu(s);

  const Range range{3, 2, g.ilast, g.jlast};
  const EquationSettings settings = settings_of(s, Equation::u);
  s.cterm.res_u = relax_and_residual(
      s, range, u, settings.relax, [&g](int i, int j) { return g.wxu(i) * g.rad(j) * g.hy(j); }, &s.ccoef.du);

  solve_equation(s, settings, range, u.field());
}

}  // namespace questrand
