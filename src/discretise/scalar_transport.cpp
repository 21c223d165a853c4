#include "discretise/scalar_transport.hpp"

#include "discretise/boundary_hooks.hpp"
#include "discretise/common.hpp"

namespace questrand {

namespace {

// The cells I = 2..ilast of row J, in the arithmetic T.
template <class T>
void assemble_row(State& s, const ScalarEquation& eq, int j) {
  auto [g, u, v, p, den, denold, vis, cf, steady, dt] = assembly_view<T>(s);
  const FieldInOf<T> gam = eq.gam;
  const FieldInOf<T> old = eq.old;
  const FieldInOf<T> phi = eq.phi;
  for (int i = 2; i <= g.ilast; ++i) {
    const auto [area_n, area_s, area_ew, vol] = scalar_cell(g, i, j);

    const T fn = 0.5f * (den(i, j + 1) + den(i, j)) * v(i, j + 1) * area_n;
    const T fs = 0.5f * (den(i, j - 1) + den(i, j)) * v(i, j) * area_s;
    const T fe = 0.5f * (den(i + 1, j) + den(i, j)) * u(i + 1, j) * area_ew;
    const T fw = 0.5f * (den(i - 1, j) + den(i, j)) * u(i, j) * area_ew;

    const T dn = 0.5f * (gam(i, j + 1) + gam(i, j)) * area_n / g.dyn(j);
    const T ds = 0.5f * (gam(i, j - 1) + gam(i, j)) * area_s / g.dys(j);
    const T de = 0.5f * (gam(i + 1, j) + gam(i, j)) * area_ew / g.dxe(i);
    const T dw = 0.5f * (gam(i - 1, j) + gam(i, j)) * area_ew / g.dxw(i);

    set_hybrid_coefficients<T>(cf, i, j, {fn, fs, fe, fw}, {dn, ds, de, dw});

    const T a0 = steady ? 0.0f : denold(i, j) * vol / dt;
    const T b0 = steady ? 0.0f : den(i, j) * vol / dt;
    transient_and_imbalance<T>(cf, i, j, steady, a0, b0, old(i, j), phi(i, j), {fn, fs, fe, fw});
  }
}

}  // namespace

void calc_scalar(State& s, const ScalarEquation& eq) {
  const Cgrid& g = s.cgrid;
  const SmallRows small(g, {&s.cvar.u, &s.cvar.v, &eq.phi, &eq.old});

  // Cells are independent: rows outer, the inner loop walks memory.
  for (int j = 2; j <= g.jlast; ++j) {
    if (small.near(j)) {
      assemble_row<Real>(s, eq, j);
    } else {
      assemble_row<float>(s, eq, j);
    }
  }

  eq.hook(s);

  const Range range{2, 2, g.ilast, g.jlast};
  eq.res = relax_and_residual(
      s, range, eq.phi, eq.settings.relax, [&g](int i, int j) { return g.wx(i) * g.hy(j) * g.rad(j); }, nullptr,
      small);

  solve_equation(s, eq.settings, range, eq.phi);
}

void calct(State& s) {
  calc_scalar(s, ScalarEquation{s.cvar.t, s.cvar.told, s.cprop.gamt, modt, settings_of(s, Equation::t), s.cterm.res_t});
}

void calcc(State& s) {
  calc_scalar(s, ScalarEquation{s.cvar.c, s.cvar.cold, s.cprop.gamc, modc, settings_of(s, Equation::c), s.cterm.res_c});
}

}  // namespace questrand
