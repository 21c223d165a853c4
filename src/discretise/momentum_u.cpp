#include "discretise/boundary_hooks.hpp"
#include "discretise/common.hpp"
#include "discretise/momentum.hpp"
#include "core/vectorise.hpp"

namespace questrand {

namespace {

// The u-cells I = 3..ilast of row J, in the arithmetic T.
template <class T, bool Steady>
void assemble_row(State& s, int j) {
  [[maybe_unused]] auto [g, u, v, p, den, denold, vis, cf, run_is_steady, dt] = assembly_view<T>(s);
  constexpr bool steady = Steady;
  const FieldInOf<T> uold = s.cvar.uold;
  QUESTRAND_IVDEP
  for (int i = 3; i <= g.ilast; ++i) {
    const auto [area_n, area_s, area_ew, vol] = u_cell(g, i, j);

    const T gn = 0.5f * (den(i, j) + den(i, j + 1)) * v(i, j + 1);
    const T gnw = 0.5f * (den(i - 1, j + 1) + den(i - 1, j)) * v(i - 1, j + 1);
    const T fn = 0.5f * (gn + gnw) * area_n;
    const T gs = 0.5f * (den(i, j) + den(i, j - 1)) * v(i, j);
    const T gsw = 0.5f * (den(i - 1, j - 1) + den(i - 1, j)) * v(i - 1, j);
    const T fs = 0.5f * (gs + gsw) * area_s;
    const T ge = 0.5f * (den(i, j) + den(i + 1, j)) * u(i + 1, j);
    const T gp = 0.5f * (den(i, j) + den(i - 1, j)) * u(i, j);
    const T fe = 0.5f * (ge + gp) * area_ew;
    const T gw = 0.5f * (den(i - 1, j) + den(i - 2, j)) * u(i - 1, j);
    const T fw = 0.5f * (gw + gp) * area_ew;

    const T dn = 0.25f * (vis(i, j + 1) + vis(i, j) + vis(i - 1, j) + vis(i - 1, j + 1)) * area_n / g.dyn(j);
    const T ds = 0.25f * (vis(i, j - 1) + vis(i, j) + vis(i - 1, j) + vis(i - 1, j - 1)) * area_s / g.dys(j);
    const T de = vis(i, j) * area_ew / g.dxeu(i);
    const T dw = vis(i - 1, j) * area_ew / g.dxwu(i);

    set_hybrid_coefficients<T>(cf, i, j, {fn, fs, fe, fw}, {dn, ds, de, dw});

    const T a0 = steady ? 0.0f : 0.5f * (denold(i - 1, j) + denold(i, j)) * vol / dt;
    const T b0 = steady ? 0.0f : 0.5f * (den(i - 1, j) + den(i, j)) * vol / dt;
    transient_and_imbalance<T>(cf, i, j, steady, a0, b0, uold(i, j), u(i, j), {fn, fs, fe, fw});

    cf.du(i, j) = area_ew;
    cf.su(i, j) = cf.su(i, j) + cf.du(i, j) * (p(i - 1, j) - p(i, j));

    // Normal stress: d/dx (vis du/dx) beyond the part in the coefficients.
    const T stress_e = vis(i, j) * (u(i + 1, j) - u(i, j)) / g.wx(i);
    const T stress_w = vis(i - 1, j) * (u(i, j) - u(i - 1, j)) / g.wx(i - 1);
    cf.su(i, j) = cf.su(i, j) + (stress_e - stress_w) / g.wxu(i) * vol;

    // Cross derivative: d/dy (vis dv/dx).
    const T vis_n = 0.25f * (vis(i - 1, j) + vis(i, j) + vis(i, j + 1) + vis(i - 1, j + 1));
    const T vis_s = 0.25f * (vis(i - 1, j) + vis(i, j) + vis(i, j - 1) + vis(i - 1, j - 1));
    const T cross_n = vis_n * (v(i, j + 1) - v(i - 1, j + 1)) * g.radv(j + 1) / g.dxw(i);
    const T cross_s = vis_s * (v(i, j) - v(i - 1, j)) * g.radv(j) / g.dxw(i);
    cf.su(i, j) = cf.su(i, j) + (cross_n - cross_s) / g.hy(j) / g.rad(j) * vol;
  }
}

void calcu_baseline(State& s) {
  const Cgrid& g = s.cgrid;
  const SmallRows small(g, {&s.cvar.u, &s.cvar.v, &s.cvar.uold});

  // Cells are independent: rows outer, the inner loop walks memory.
  for (int j = 2; j <= g.jlast; ++j) {
    with_row_arithmetic(small.near(j), s.ctime.steady, [&]<class T, bool Steady>() { assemble_row<T, Steady>(s, j); });
  }

  modu(s);

  const Range range{3, 2, g.ilast, g.jlast};
  const EquationSettings settings = settings_of(s, Equation::u);
  s.cterm.res_u = relax_and_residual(
      s, range, s.cvar.u, settings.relax, [&g](int i, int j) { return g.wxu(i) * g.rad(j) * g.hy(j); },
      &s.ccoef.du, small);

  solve_equation(s, settings, range, s.cvar.u);
}

QUESTRAND_AVX2_VERSION(calcu, (State & s), (s))

}  // namespace

void calcu(State& s) { QUESTRAND_ON_THIS_CPU(calcu, s); }

}  // namespace questrand
