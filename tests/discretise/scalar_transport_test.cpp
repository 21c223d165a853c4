#include "discretise/scalar_transport.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "discretise/boundary_hooks.hpp"
#include "discretise/common.hpp"
#include "state_support.hpp"

using questrand::hybrid_minus;
using questrand::hybrid_plus;
using questrand::State;

TEST(Hybrid, CentralUpToPecletTwoThenUpwind) {
  EXPECT_EQ(hybrid_minus(0.0f, 3.0f), 3.0f);
  EXPECT_EQ(hybrid_plus(0.0f, 3.0f), 3.0f);
  EXPECT_EQ(hybrid_minus(2.0f, 3.0f), 2.0f);   // D - F/2
  EXPECT_EQ(hybrid_plus(2.0f, 3.0f), 4.0f);    // D + F/2
  EXPECT_EQ(hybrid_minus(6.0f, 3.0f), 0.0f);   // F/2 = D: downstream 0
  EXPECT_EQ(hybrid_plus(6.0f, 3.0f), 6.0f);    // and upstream 2D = F
  EXPECT_EQ(hybrid_minus(10.0f, 3.0f), 0.0f);  // F > 2D: pure upwind
  EXPECT_EQ(hybrid_plus(10.0f, 3.0f), 10.0f);
  EXPECT_EQ(hybrid_minus(-10.0f, 3.0f), 10.0f);
  EXPECT_EQ(hybrid_plus(-10.0f, 3.0f), 0.0f);
}

namespace {

std::unique_ptr<State> still_state(bool steady) {
  qtest::ProblemText p;
  p.ni = 8;
  p.n_flow = 3;
  p.n_memb = 2;
  p.n_gel = 2;
  p.steady = steady;
  auto s = qtest::prepared_state(p.text());
  for (int j = 1; j <= s->cgrid.nj; ++j)
    for (int i = 1; i <= s->cgrid.ni; ++i) {
      s->cvar.u(i, j) = 0.0f;
      s->cvar.v(i, j) = 0.0f;
    }
  return s;
}

void no_hook(State&) {}

questrand::ScalarEquation equation(State& s, void (*hook)(State&), int solver = 1) {
  return questrand::ScalarEquation{s.cvar.c, s.cvar.cold, s.cprop.gamc, hook, {1.0f, solver, 1, 1e-6f}, s.cterm.res_c};
}

}  // namespace

TEST(ScalarTransport, PureDiffusionCoefficients) {
  auto s = still_state(true);
  questrand::calc_scalar(*s, equation(*s, no_hook, 3));
  const auto& g = s->cgrid;
  const auto& gam = s->cprop.gamc;
  const int i = 4;
  const int j = 4;
  const float dn = 0.5f * (gam(i, j + 1) + gam(i, j)) * (g.wx(i) * g.radv(j + 1)) / g.dyn(j);
  const float dw = 0.5f * (gam(i - 1, j) + gam(i, j)) * (g.rad(j) * g.hy(j)) / g.dxw(i);
  EXPECT_EQ(s->ccoef.an(i, j), dn);
  EXPECT_EQ(s->ccoef.aw(i, j), dw);
  EXPECT_EQ(s->ccoef.ap(i, j), s->ccoef.as(i, j) + s->ccoef.an(i, j) + s->ccoef.ae(i, j) + s->ccoef.aw(i, j));
  EXPECT_EQ(s->ccoef.su(i, j), 0.0f);
}

TEST(ScalarTransport, ExactSolutionHasZeroResidualAndStays) {
  auto s = still_state(true);
  for (int j = 1; j <= s->cgrid.nj; ++j)
    for (int i = 1; i <= s->cgrid.ni; ++i) s->cvar.c(i, j) = s->cvar.cold(i, j) = 0.7f;
  questrand::calcc(*s);
  // Zero up to the rounding of single-precision sums: the coefficients are
  // about 1e-4 (kg/s), so |r| stays below 1e-4 x 0.7 x 1e-6 per cell.
  EXPECT_LT(s->cterm.res_c, 1.0e-9f);
  for (int j = 1; j <= s->cgrid.nj; ++j)
    for (int i = 1; i <= s->cgrid.ni; ++i) EXPECT_NEAR(s->cvar.c(i, j), 0.7f, 1.0e-5f) << i << "," << j;
}

TEST(ScalarTransport, SteadyRunIgnoresThePreviousLevel) {
  auto a = still_state(true);
  auto b = still_state(true);
  for (int j = 1; j <= b->cgrid.nj; ++j)
    for (int i = 1; i <= b->cgrid.ni - 1; ++i) b->cvar.cold(i, j) = 123.0f;
  // The outlet column rule reads cold(ni-1..ni); keep it equal in both.
  questrand::calc_scalar(*a, equation(*a, no_hook));
  questrand::calc_scalar(*b, equation(*b, no_hook));
  EXPECT_EQ(a->cterm.res_c, b->cterm.res_c);
  for (int j = 2; j <= a->cgrid.jlast; ++j)
    for (int i = 2; i <= a->cgrid.ilast; ++i) EXPECT_EQ(a->cvar.c(i, j), b->cvar.c(i, j));
}

namespace {
// Pins cell (3,3) to the value 2.
void pin_cell(State& s) {
  s.ccoef.sp(3, 3) = -s.cgen.bignum;
  s.ccoef.su(3, 3) = s.cgen.bignum * 2.0f;
}
}  // namespace

TEST(ScalarTransport, PinnedCellResidualIsScaledByBignumVolume) {
  auto s = still_state(false);
  questrand::calc_scalar(*s, equation(*s, no_hook, 3));
  const float plain = s->cterm.res_c;
  auto t = still_state(false);
  questrand::calc_scalar(*t, equation(*t, pin_cell, 3));
  const auto& g = t->cgrid;
  const float vol = g.wx(3) * g.hy(3) * g.rad(3);
  // The pinned cell's imbalance is about bignum * (2 - c) before scaling.
  const float pinned = std::fabs(2.0f - t->cvar.c(3, 3)) / vol;
  EXPECT_NEAR(t->cterm.res_c, plain - 0.0f + pinned, 1e-3f * (plain + pinned));
  EXPECT_LT(t->cterm.res_c, 1.0e10f);
  // Selector 3 solved nothing.
  EXPECT_EQ(t->cvar.c(3, 3), 0.0f);
  questrand::calc_scalar(*t, equation(*t, pin_cell, 1));
  EXPECT_NEAR(t->cvar.c(3, 3), 2.0f, 1e-6f);
}

TEST(ScalarTransport, UnknownSolverLeavesTheFieldButWritesTheResidual) {
  auto s = still_state(false);
  const float before = s->cvar.c(2, 2);
  s->cterm.res_c = -1.0f;
  s->csolv.solver_c = 3;
  questrand::calcc(*s);
  EXPECT_GT(s->cterm.res_c, 0.0f);
  EXPECT_EQ(s->cvar.c(2, 2), before);
}

TEST(ScalarTransport, ConcentrationUsesItsOwnSolverSelector) {
  auto a = still_state(false);
  auto b = still_state(false);
  a->csolv.solver_c = 2;
  a->csolv.solver_t = 1;
  b->csolv.solver_c = 2;
  b->csolv.solver_t = 7;
  questrand::calcc(*a);
  questrand::calcc(*b);
  for (int j = 2; j <= a->cgrid.jlast; ++j)
    for (int i = 2; i <= a->cgrid.ilast; ++i) EXPECT_EQ(a->cvar.c(i, j), b->cvar.c(i, j));
  auto line = still_state(false);
  questrand::calcc(*line);
  EXPECT_NE(line->cvar.c(3, 2), a->cvar.c(3, 2));  // the whole-field solver gave another iterate
}
