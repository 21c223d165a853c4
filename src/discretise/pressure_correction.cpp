#include "discretise/boundary_hooks.hpp"
#include "discretise/common.hpp"
#include "discretise/momentum.hpp"
#include "core/vectorise.hpp"

namespace questrand {

namespace {

// The pressure correction in the arithmetic T (Real where that pays on this
// processor: the pinned solid rows hold subnormal numbers).
template <class T, bool Steady>
void calcp_in(State& s) {
  [[maybe_unused]] auto [g, u, v, p, den, denold, vis, cf, run_is_steady, dt] = assembly_view<T>(s);
  constexpr bool steady = Steady;
  const FieldOf<T> pcor = s.cvar.pcor;
  const FieldOf<T> imbalance = s.work.cell_residual;

  // The cells row by row (each writes only its own coefficients and
  // imbalance), the mass residual then summed I outer, J inner.
  for (int j = 2; j <= g.jlast; ++j) {
    QUESTRAND_IVDEP
    for (int i = 2; i <= g.ilast; ++i) {
      const auto [area_n, area_s, area_ew, vol] = continuity_cell(g, i, j);

      const T rho_n = 0.5f * (den(i, j + 1) + den(i, j));
      const T rho_s = 0.5f * (den(i, j - 1) + den(i, j));
      const T rho_e = 0.5f * (den(i + 1, j) + den(i, j));
      const T rho_w = 0.5f * (den(i, j) + den(i - 1, j));

      cf.an(i, j) = rho_n * area_n * cf.dv(i, j + 1);
      cf.as(i, j) = rho_s * area_s * cf.dv(i, j);
      cf.ae(i, j) = rho_e * area_ew * cf.du(i + 1, j);
      cf.aw(i, j) = rho_w * area_ew * cf.du(i, j);

      const T fn = rho_n * v(i, j + 1) * area_n;
      const T fs = rho_s * v(i, j) * area_s;
      const T fe = rho_e * u(i + 1, j) * area_ew;
      const T fw = rho_w * u(i, j) * area_ew;

      const T a0 = steady ? 0.0f : denold(i, j) * vol / dt;
      const T b0 = steady ? 0.0f : den(i, j) * vol / dt;
      const T smp = (b0 - a0) + fn - fs + fe - fw;
      cf.sp(i, j) = 0.0f;
      cf.su(i, j) = -smp;
      using std::abs;
      imbalance(i, j) = abs(smp);
    }
  }
  T res_mass = 0.0f;
  for (int i = 2; i <= g.ilast; ++i)
    for (int j = 2; j <= g.jlast; ++j) res_mass = res_mass + imbalance(i, j);
  s.cterm.res_mass = static_cast<float>(res_mass);

  modp(s);

  for (int j = 2; j <= g.jlast; ++j)
    for (int i = 2; i <= g.ilast; ++i)
      cf.ap(i, j) = cf.as(i, j) + cf.an(i, j) + cf.ae(i, j) + cf.aw(i, j) - cf.sp(i, j);

  solve_equation(s, settings_of(s, Equation::p), Range{2, 2, g.ilast, g.jlast}, s.cvar.pcor);

  // Velocity corrections on exactly the solved ranges.
  for (int j = 2; j <= g.jlast; ++j) {
    for (int i = 2; i <= g.ilast; ++i) {
      if (i != 2) u(i, j) = u(i, j) + cf.du(i, j) * (pcor(i - 1, j) - pcor(i, j));
      if (j != 2) v(i, j) = v(i, j) + cf.dv(i, j) * (pcor(i, j - 1) - pcor(i, j));
    }
  }

  // Pressure update relative to the reference cell; pcor back to zero.
  const T pref = pcor(s.cpres.ipref, s.cpres.jpref);
  const T relax_p = settings_of(s, Equation::p).relax;
  for (int j = 2; j <= g.jlast; ++j) {
    for (int i = 2; i <= g.ilast; ++i) {
      p(i, j) = p(i, j) + relax_p * (pcor(i, j) - pref);
      pcor(i, j) = 0.0f;
    }
  }
}

void calcp_baseline(State& s) {
  with_row_arithmetic(subnormal_route_pays(), s.ctime.steady, [&]<class T, bool Steady>() { calcp_in<T, Steady>(s); });
}

QUESTRAND_AVX2_VERSION(calcp, (State & s), (s))

}  // namespace

void calcp(State& s) { QUESTRAND_ON_THIS_CPU(calcp, s); }

}  // namespace questrand
