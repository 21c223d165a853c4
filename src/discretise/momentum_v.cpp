#include "discretise/boundary_hooks.hpp"
#include "discretise/common.hpp"
#include "discretise/momentum.hpp"

namespace questrand {

void calcv(State& s) {
  auto [g, u, v, p, den, denold, vis, cf, steady, dt] = assembly_view(s);
  const RealFieldIn vold = s.cvar.vold;

  // Cells are independent: rows outer, the inner loop walks memory.
  for (int j = 3; j <= g.jlast; ++j) {
    for (int i = 2; i <= g.ilast; ++i) {
      const auto [area_n, area_s, area_ew, vol] = v_cell(g, i, j);

      const Real gn = 0.5f * (den(i, j) + den(i, j + 1)) * v(i, j + 1);
      const Real gp = 0.5f * (den(i, j) + den(i, j - 1)) * v(i, j);
      const Real fn = 0.5f * (gp + gn) * area_n;
      const Real gs = 0.5f * (den(i, j - 2) + den(i, j - 1)) * v(i, j - 1);
      const Real fs = 0.5f * (gs + gp) * area_s;
      const Real ge = 0.5f * (den(i, j) + den(i + 1, j)) * u(i + 1, j);
      const Real gse = 0.5f * (den(i + 1, j - 1) + den(i, j - 1)) * u(i + 1, j - 1);
      const Real fe = 0.5f * (ge + gse) * area_ew;
      const Real gw = 0.5f * (den(i, j) + den(i - 1, j)) * u(i, j);
      const Real gsw = 0.5f * (den(i, j - 1) + den(i - 1, j - 1)) * u(i, j - 1);
      const Real fw = 0.5f * (gw + gsw) * area_ew;

      const Real dn = vis(i, j) * area_n / g.dynv(j);
      const Real ds = vis(i, j - 1) * area_s / g.dysv(j);
      const Real de = 0.25f * (vis(i + 1, j) + vis(i, j) + vis(i, j - 1) + vis(i + 1, j - 1)) * area_ew / g.dxe(i);
      const Real dw = 0.25f * (vis(i - 1, j) + vis(i, j) + vis(i, j - 1) + vis(i - 1, j - 1)) * area_ew / g.dxw(i);

      set_hybrid_coefficients(cf, i, j, {fn, fs, fe, fw}, {dn, ds, de, dw});

      const Real a0 = steady ? 0.0f : 0.5f * (denold(i, j - 1) + denold(i, j)) * vol / dt;
      const Real b0 = steady ? 0.0f : 0.5f * (den(i, j - 1) + den(i, j)) * vol / dt;
      // The correction's sink -cp joins sp here; the pressure force and the
      // hoop-stress sink follow.
      transient_and_imbalance(cf, i, j, steady, a0, b0, vold(i, j), v(i, j), {fn, fs, fe, fw});

      cf.dv(i, j) = 0.5f * (g.wx(i) * g.radvs(j) + g.wx(i) * g.radvs(j + 1));
      cf.su(i, j) = cf.su(i, j) + cf.dv(i, j) * (p(i, j - 1) - p(i, j));

      if (g.axisym) cf.sp(i, j) = cf.sp(i, j) - vis(i, j) * vol / (g.radv(j) * g.radv(j));

      // Cross derivative: d/dx (vis du/dy).
      const Real vis_e = 0.25f * (vis(i + 1, j) + vis(i, j) + vis(i, j - 1) + vis(i + 1, j - 1));
      const Real vis_w = 0.25f * (vis(i - 1, j) + vis(i, j) + vis(i, j - 1) + vis(i - 1, j - 1));
      const Real cross_e = vis_e * (u(i + 1, j) - u(i + 1, j - 1)) / g.dys(j);
      const Real cross_w = vis_w * (u(i, j) - u(i, j - 1)) / g.dys(j);
      cf.su(i, j) = cf.su(i, j) + (cross_e - cross_w) / g.wx(i) * vol;

      // Normal stress: (1/r) d/dy (r vis dv/dy) beyond the coefficients.
      const Real stress_n = vis(i, j) * g.rad(j) * (v(i, j + 1) - v(i, j)) / g.hy(j);
      const Real stress_s = vis(i, j - 1) * g.rad(j - 1) * (v(i, j) - v(i, j - 1)) / g.hy(j - 1);
      cf.su(i, j) = cf.su(i, j) + vol * (stress_n - stress_s) / (g.rad(j) * g.hy(j));
    }
  }

  modv(s);

  const Range range{2, 3, g.ilast, g.jlast};
  const EquationSettings settings = settings_of(s, Equation::v);
  s.cterm.res_v = relax_and_residual(
      s, range, v, settings.relax, [&g](int i, int j) { return g.wx(i) * g.radv(j) * g.hyv(j); }, &s.ccoef.dv);

  solve_equation(s, settings, range, v.field());
}

}  // namespace questrand
