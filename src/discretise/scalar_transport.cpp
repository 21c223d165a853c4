#include "discretise/scalar_transport.hpp"

#include "discretise/boundary_hooks.hpp"
#include "discretise/common.hpp"
#include "discretise/concentration_scheme.hpp"
#include "physics/physics.hpp"
#include "core/graded_columns.hpp"
#include "core/vectorise.hpp"

namespace questrand {

namespace {

// The cells I = 2..ilast of row J, in the arithmetic T.
template <class T, bool Steady>
void assemble_row(State& s, const ScalarEquation& eq, int j) {
  [[maybe_unused]] auto [g, u, v, p, den, denold, vis, cf, run_is_steady, dt] = assembly_view<T>(s);
  constexpr bool steady = Steady;
  const FieldInOf<T> gam = eq.gam;
  const FieldInOf<T> old = eq.old;
  const FieldInOf<T> phi = eq.phi;
  const T capacity = eq.partition ? partition(s, j) : 1.0f;  // K of the layer (1: exactly as without)
  QUESTRAND_IVDEP
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

    const T a0 = steady ? 0.0f : denold(i, j) * vol / dt * capacity;
    const T b0 = steady ? 0.0f : den(i, j) * vol / dt * capacity;
    transient_and_imbalance<T>(cf, i, j, steady, a0, b0, old(i, j), phi(i, j), {fn, fs, fe, fw});
  }
}

// The same cells under the second-order scheme (concentration_scheme.hpp):
// design-cell heights h, series conductances across the row faces, every
// face's diffusion kept with upwind convection (the limited face values come
// as the deferred-correction source, added after the rows), the inlet face a
// fixed value at x = 0 and the outlet face without diffusion, and the limited
// BDF2 time derivative (now c - explicit) / dt.  The deferred-correction
// source of the limited convection (outlet face held within [low, high]) is
// kept in s.cscheme.deferred for the correction solve and added to su.
template <class T>
void assemble_row_second_order(State& s, const ScalarEquation& eq, int j, float low, float high) {
  auto [g, u, v, p, den, denold, vis, cf, steady, dt] = assembly_view<T>(s);
  const FieldInOf<T> gam = eq.gam;
  const Field& old = eq.old;
  const Field& older = s.cscheme.c2old;
  const Field& limited = s.cscheme.limited;
  const FieldInOf<T> phi = eq.phi;
  const float h = concentration_cell_height(s, j);
  const TimeWeights w = concentration_time_weights(s);
  const bool channel = j <= s.cprob.jflow2;
  const T capacity = eq.partition ? partition(s, j) : 1.0f;
  DeferredRow deferred(s, j, low, high);
  const float h_design = design_cell_height(s, j);  // the rows' design cell heights, for the series faces
  const float h_north = design_cell_height(s, j + 1);
  const float h_south = design_cell_height(s, j - 1);
  const bool graded = s.cscheme.scheme == Scheme::second_order_graded;
  const float relax_deferred = kGradedColumns.deferred_relaxation;
  for (int i = 2; i <= g.ilast; ++i) {
    const T area_n = g.wx(i) * g.radv(j + 1);
    const T area_s = g.wx(i) * g.radv(j);
    const T area_ew = g.rad(j) * h;
    const T vol = g.wx(i) * g.rad(j) * h;

    const T fn = 0.5f * (den(i, j + 1) + den(i, j)) * v(i, j + 1) * area_n;
    const T fs = 0.5f * (den(i, j - 1) + den(i, j)) * v(i, j) * area_s;
    const T fe = 0.5f * (den(i + 1, j) + den(i, j)) * u(i + 1, j) * area_ew;
    const T fw = 0.5f * (den(i - 1, j) + den(i, j)) * u(i, j) * area_ew;

    const T dn = series_conductance(s.cprop.gamc, i, j, static_cast<float>(area_n), h_design, h_north);
    const T ds = series_conductance(s.cprop.gamc, i, j - 1, static_cast<float>(area_s), h_south, h_design);
    T de = 0.5f * (gam(i + 1, j) + gam(i, j)) * area_ew / g.dxe(i);
    T dw = 0.5f * (gam(i - 1, j) + gam(i, j)) * area_ew / g.dxw(i);
    if (channel && i == 2) dw = inlet_conductance(s, j, static_cast<float>(area_ew));
    if (channel && i == g.ilast) de = 0.0f;

    set_upwind_coefficients<T>(cf, i, j, {fn, fs, fe, fw}, {dn, ds, de, dw});

    const T a0 = steady ? 0.0f : denold(i, j) * vol / dt * capacity;
    const T b0 = steady ? 0.0f : den(i, j) * vol / dt * capacity;
    if (steady) {
      cf.su(i, j) = 0.0f;
      cf.sp(i, j) = 0.0f;
    } else {
      const double a0d = static_cast<float>(a0);
      const TimeTerm tt = time_term(w, old(i, j), older(i, j), limited(i, j) != 0.0f);
      cf.su(i, j) = static_cast<float>(a0d * tt.explicit_part);
      cf.sp(i, j) = tt.now == w.now ? -(w.now * a0) : static_cast<float>(-(tt.now * a0d));
    }
    const T smp = (b0 - a0) + fn - fs + fe - fw;
    const T cp = smp > 0.0f ? smp : T(0.0f);
    cf.su(i, j) = cf.su(i, j) + cp * phi(i, j);
    cf.sp(i, j) = cf.sp(i, j) - cp;

    const float source = deferred.source(
        i, {static_cast<float>(fn), static_cast<float>(fs), static_cast<float>(fe), static_cast<float>(fw)});
    // graded columns: relaxed toward the previous assembly's source (core/graded_columns.hpp)
    const float applied = graded ? s.cscheme.deferred(i, j) + relax_deferred * (source - s.cscheme.deferred(i, j))
                                 : source;
    s.cscheme.deferred(i, j) = applied;
    cf.su(i, j) = cf.su(i, j) + applied;
  }
}

// The second-order scheme solves each outer iteration for the correction
// d = phi_new - phi of the current field, with the residual of the current
// field formed in double from the coefficients and the fields:
//   ap d = an d_N + as d_S + ae d_E + aw d_W + r,   d = 0 outside the range,
//   r = an (phi_N - phi) + as (phi_S - phi) + ae (phi_E - phi) + aw (phi_W - phi)
//       + a0 (old c_old - older c_2old - now phi)          (transient runs)
// (the relaxation and the mass-imbalance terms cancel from r at phi), then
// phi = phi + d.  The solver makes the same passes as on phi itself, and r is
// the same residual; only the rounding differs.  Formed in single precision,
// the residual's terms are some 1e4 times larger than their sum late in an
// uptake, and the rounding of ap and su, the same at every step, then stalls
// the field (the gel mean of a membrane-limited stack stops 3e-4 short of c_in
// on 16/32 rows at dt 2.5 s).  d is held in the run's own workspace
// (State::work.correction), so runs in different threads share nothing.

void solve_for_correction(State& s, const ScalarEquation& eq, const Range& r, Field& phi) {
  const EquationSettings& settings = eq.settings;
  const Cgrid& g = s.cgrid;
  Ccoef& cf = s.ccoef;
  const Field& old = s.cvar.cold;
  const Field& older = s.cscheme.c2old;
  const Field& denold = s.cprop.denold;
  const Field& deferred = s.cscheme.deferred;
  const Field& limited = s.cscheme.limited;
  const TimeWeights w = concentration_time_weights(s);
  const bool steady = s.ctime.steady;
  const float dt = s.ctime.dt;
  Field& correction = s.work.correction;
  for (int j = r.jstart - 1; j <= r.jend + 1; ++j)
    for (int i = r.istart - 1; i <= r.iend + 1; ++i) correction(i, j) = 0.0f;
  for (int j = r.jstart; j <= r.jend; ++j) {
    const float h = concentration_cell_height(s, j);
    const float capacity = eq.partition ? partition(s, j) : 1.0f;
    for (int i = r.istart; i <= r.iend; ++i) {
      const double p = phi(i, j);
      double res = static_cast<double>(cf.an(i, j)) * (phi(i, j + 1) - p) + static_cast<double>(cf.as(i, j)) * (phi(i, j - 1) - p) +
                   static_cast<double>(cf.ae(i, j)) * (phi(i + 1, j) - p) + static_cast<double>(cf.aw(i, j)) * (phi(i - 1, j) - p);
      if (!steady) {
        const float vol = g.wx(i) * g.rad(j) * h;
        const double a0 = denold(i, j) * vol / dt * capacity;
        const TimeTerm tt = time_term(w, old(i, j), older(i, j), limited(i, j) != 0.0f);
        res += a0 * (tt.explicit_part - tt.now * p);
      }
      res += deferred(i, j);
      if (eq.partition) res -= reaction_coefficient(s, i, j) * p;
      cf.su(i, j) = static_cast<float>(res);
    }
  }
  solve_equation(s, settings, r, correction);
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) phi(i, j) = phi(i, j) + correction(i, j);
}

}  // namespace

namespace {

// One assembly and solve of the equation: coefficients, the hook, the
// residual of the current field and the relaxed equation, the solve.
// Returns the residual sum.
// Under the second-order scheme [low, high] are the step's bounds
// (concentration_bounds).
float assemble_and_solve(State& s, const ScalarEquation& eq, bool second_order, float low, float high) {
  const Cgrid& g = s.cgrid;
  const SmallRows small = second_order ? SmallRows(g, {&s.cvar.u, &s.cvar.v, &eq.phi, &eq.old, &s.cscheme.c2old})
                                       : SmallRows(g, {&s.cvar.u, &s.cvar.v, &eq.phi, &eq.old});

  if (second_order && !s.ctime.steady) mark_cells_out_of_bounds(s, low, high);
  s.work.north_faces.row = -1;  // no face kept from an earlier pass

  // Cells are independent: rows outer, the inner loop walks memory.
  for (int j = 2; j <= g.jlast; ++j) {
    if (second_order) {
      if (small.near(j)) {
        assemble_row_second_order<Real>(s, eq, j, low, high);
      } else {
        assemble_row_second_order<float>(s, eq, j, low, high);
      }
    } else {
      with_row_arithmetic(small.near(j), s.ctime.steady,
                          [&]<class T, bool Steady>() { assemble_row<T, Steady>(s, eq, j); });
    }
  }

  eq.hook(s);

  const Range range{2, 2, g.ilast, g.jlast};
  float res = 0.0f;
  if (second_order) {
    float row_height[kMaxGrid + 1];  // the scheme's cell height of each row, formed once
    for (int j = range.jstart; j <= range.jend; ++j) row_height[j] = concentration_cell_height(s, j);
    res = relax_and_residual(
        s, range, eq.phi, eq.settings.relax,
        [&g, &row_height](int i, int j) { return g.wx(i) * row_height[j] * g.rad(j); }, nullptr, small);
  } else {
    res = relax_and_residual(
        s, range, eq.phi, eq.settings.relax, [&g](int i, int j) { return g.wx(i) * g.hy(j) * g.rad(j); }, nullptr,
        small);
  }

  if (second_order) {
    solve_for_correction(s, eq, range, eq.phi);
  } else {
    solve_equation(s, eq.settings, range, eq.phi);
  }
  return res;
}

}  // namespace

// Under the second-order scheme the limited convection enters as a deferred
// correction, a fixed-point iteration that gains about a factor 2 per pass;
// each outer iteration makes kDeferredPasses passes, the residual reported
// being that of the field it started from, so that a converged step leaves
// an iteration error some 2^(kDeferredPasses - 1) times below what convtol
// alone would.
constexpr int kDeferredPasses = 3;

namespace {

void calc_scalar_baseline(State& s, const ScalarEquation& eq) {
  const bool second_order = eq.second_order && is_second_order(s.cscheme.scheme);
  // the bounds hold the inlet values and c_old alone, which the passes leave as they are
  float low = 0.0f, high = 0.0f;
  if (second_order) {
    concentration_bounds(s, low, high);
    set_face_ratios(s);
  }
  eq.res = assemble_and_solve(s, eq, second_order, low, high);
  if (second_order)
    for (int pass = 1; pass < kDeferredPasses; ++pass) assemble_and_solve(s, eq, second_order, low, high);
}

QUESTRAND_AVX2_VERSION(calc_scalar, (State & s, const ScalarEquation& eq), (s, eq))

}  // namespace

void calc_scalar(State& s, const ScalarEquation& eq) { QUESTRAND_ON_THIS_CPU(calc_scalar, s, eq); }

void calct(State& s) {
  calc_scalar(s, ScalarEquation{s.cvar.t, s.cvar.told, s.cprop.gamt, modt, settings_of(s, Equation::t), s.cterm.res_t});
}

void calcc(State& s) {
  if (s.cphys.present) {
    calcc_physics(s);
    return;
  }
  calc_scalar(s, ScalarEquation{s.cvar.c, s.cvar.cold, s.cprop.gamc, modc, settings_of(s, Equation::c), s.cterm.res_c,
                                true});
}

}  // namespace questrand
