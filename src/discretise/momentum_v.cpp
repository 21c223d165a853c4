#include "discretise/boundary_hooks.hpp"
#include "discretise/common.hpp"
#include "discretise/momentum.hpp"
#include "core/vectorise.hpp"

namespace questrand {

namespace {

// The v-cells I = 2..ilast of row J, in the arithmetic T.
template <class T, bool Steady>
void assemble_row(State& s, int j) {
  [[maybe_unused]] auto [g, u, v, p, den, denold, vis, cf, run_is_steady, dt] = assembly_view<T>(s);
  constexpr bool steady = Steady;
  const FieldInOf<T> vold = s.cvar.vold;
  QUESTRAND_IVDEP
  for (int i = 2; i <= g.ilast; ++i) {
    const auto [area_n, area_s, area_ew, vol] = v_cell(g, i, j);

    const T gn = 0.5f * (den(i, j) + den(i, j + 1)) * v(i, j + 1);
    const T gp = 0.5f * (den(i, j) + den(i, j - 1)) * v(i, j);
    const T fn = 0.5f * (gp + gn) * area_n;
    const T gs = 0.5f * (den(i, j - 2) + den(i, j - 1)) * v(i, j - 1);
    const T fs = 0.5f * (gs + gp) * area_s;
    const T ge = 0.5f * (den(i, j) + den(i + 1, j)) * u(i + 1, j);
    const T gse = 0.5f * (den(i + 1, j - 1) + den(i, j - 1)) * u(i + 1, j - 1);
    const T fe = 0.5f * (ge + gse) * area_ew;
    const T gw = 0.5f * (den(i, j) + den(i - 1, j)) * u(i, j);
    const T gsw = 0.5f * (den(i, j - 1) + den(i - 1, j - 1)) * u(i, j - 1);
    const T fw = 0.5f * (gw + gsw) * area_ew;

    const T dn = vis(i, j) * area_n / g.dynv(j);
    const T ds = vis(i, j - 1) * area_s / g.dysv(j);
    const T de = 0.25f * (vis(i + 1, j) + vis(i, j) + vis(i, j - 1) + vis(i + 1, j - 1)) * area_ew / g.dxe(i);
    const T dw = 0.25f * (vis(i - 1, j) + vis(i, j) + vis(i, j - 1) + vis(i - 1, j - 1)) * area_ew / g.dxw(i);

    set_hybrid_coefficients<T>(cf, i, j, {fn, fs, fe, fw}, {dn, ds, de, dw});

    const T a0 = steady ? 0.0f : 0.5f * (denold(i, j - 1) + denold(i, j)) * vol / dt;
    const T b0 = steady ? 0.0f : 0.5f * (den(i, j - 1) + den(i, j)) * vol / dt;
    // The correction's sink -cp joins sp here; the pressure force follows,
    // the hoop-stress sink after the row.
    transient_and_imbalance<T>(cf, i, j, steady, a0, b0, vold(i, j), v(i, j), {fn, fs, fe, fw});

    cf.dv(i, j) = 0.5f * (g.wx(i) * g.radvs(j) + g.wx(i) * g.radvs(j + 1));
    cf.su(i, j) = cf.su(i, j) + cf.dv(i, j) * (p(i, j - 1) - p(i, j));

    // Cross derivative: d/dx (vis du/dy).
    const T vis_e = 0.25f * (vis(i + 1, j) + vis(i, j) + vis(i, j - 1) + vis(i + 1, j - 1));
    const T vis_w = 0.25f * (vis(i - 1, j) + vis(i, j) + vis(i, j - 1) + vis(i - 1, j - 1));
    const T cross_e = vis_e * (u(i + 1, j) - u(i + 1, j - 1)) / g.dys(j);
    const T cross_w = vis_w * (u(i, j) - u(i, j - 1)) / g.dys(j);
    cf.su(i, j) = cf.su(i, j) + (cross_e - cross_w) / g.wx(i) * vol;

    // Normal stress: (1/r) d/dy (r vis dv/dy) beyond the coefficients.
    const T stress_n = vis(i, j) * g.rad(j) * (v(i, j + 1) - v(i, j)) / g.hy(j);
    const T stress_s = vis(i, j - 1) * g.rad(j - 1) * (v(i, j) - v(i, j - 1)) / g.hy(j - 1);
    cf.su(i, j) = cf.su(i, j) + vol * (stress_n - stress_s) / (g.rad(j) * g.hy(j));
  }
  // Hoop stress of the axisymmetric geometry: a sink vis V / r^2 (a loop of
  // its own, so that the row's loop has no branch on the geometry).
  if (g.axisym) {
    for (int i = 2; i <= g.ilast; ++i) {
      const T vol = v_cell(g, i, j).vol;
      cf.sp(i, j) = cf.sp(i, j) - vis(i, j) * vol / (g.radv(j) * g.radv(j));
    }
  }
}

void calcv_baseline(State& s) {
  const Cgrid& g = s.cgrid;
  const SmallRows small(g, {&s.cvar.u, &s.cvar.v, &s.cvar.vold});

  // Cells are independent: rows outer, the inner loop walks memory.
  for (int j = 3; j <= g.jlast; ++j) {
    with_row_arithmetic(small.near(j), s.ctime.steady, [&]<class T, bool Steady>() { assemble_row<T, Steady>(s, j); });
  }

  modv(s);

  const Range range{2, 3, g.ilast, g.jlast};
  const EquationSettings settings = settings_of(s, Equation::v);
  s.cterm.res_v = relax_and_residual(
      s, range, s.cvar.v, settings.relax, [&g](int i, int j) { return g.wx(i) * g.radv(j) * g.hyv(j); },
      &s.ccoef.dv, small);

  solve_equation(s, settings, range, s.cvar.v);
}

QUESTRAND_AVX2_VERSION(calcv, (State & s), (s))

}  // namespace

void calcv(State& s) { QUESTRAND_ON_THIS_CPU(calcv, s); }

}  // namespace questrand
