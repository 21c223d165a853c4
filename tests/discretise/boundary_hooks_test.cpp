#include "discretise/boundary_hooks.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "state_support.hpp"

using questrand::State;

namespace {

// Uniform x spacing h = 0.02/20 = 1e-3 near the outlet.
std::unique_ptr<State> outlet_state() {
  qtest::ProblemText p;
  p.ni = 22;
  p.n_flow = 3;
  p.n_memb = 2;
  p.n_gel = 2;
  auto s = qtest::prepared_state(p.text());
  const int ni = s->cgrid.ni;
  for (int j = 1; j <= s->cgrid.nj; ++j) {
    s->cvar.cold(ni, j) = 0.2f;
    s->cvar.cold(ni - 1, j) = 0.6f;
    s->cvar.cold(ni - 2, j) = 0.9f;
    s->cvar.c(ni - 1, j) = 1.0f;  // the cap does not act
  }
  return s;
}

}  // namespace

TEST(Modc, CharacteristicOutflowValue) {
  auto s = outlet_state();
  const int ni = s->cgrid.ni;
  const float h = s->cgrid.x(ni) - s->cgrid.x(ni - 1);
  const float dt = s->ctime.dt;
  auto outlet_for = [&](float distance) {
    s->cvar.u(ni, 2) = distance / dt;
    questrand::modc(*s);
    return s->cvar.c(ni, 2);
  };
  // Below h/2: interpolation between the last two nodes of the old field.
  const float xb = s->cgrid.x(ni) - dt * (0.25f * h / dt);
  const float expect =
      0.6f + (0.2f - 0.6f) / (s->cgrid.x(ni) - s->cgrid.x(ni - 1)) * (xb - s->cgrid.x(ni - 1));
  EXPECT_EQ(outlet_for(0.25f * h), expect);
  EXPECT_NEAR(outlet_for(0.25f * h), 0.3f, 1e-5f);
  // From h/2 to 3h/2: the old value of node ni-1.
  EXPECT_EQ(outlet_for(1.0f * h), 0.6f);
  EXPECT_EQ(outlet_for(1.4f * h), 0.6f);
  EXPECT_EQ(outlet_for(1.6f * h), 0.9f);
  // No flow: the old outlet value.
  EXPECT_FLOAT_EQ(outlet_for(0.0f), 0.2f);
  // The cap: never above the last interior value.
  s->cvar.c(ni - 1, 2) = 0.1f;
  EXPECT_EQ(outlet_for(1.0f * h), 0.1f);
}

TEST(Modc, ClosedEndsTopAndSymmetry) {
  auto s = outlet_state();
  auto& cf = s->ccoef;
  const auto& g = s->cgrid;
  for (int j = 1; j <= g.nj; ++j)
    for (int i = 1; i <= g.ni; ++i) cf.aw(i, j) = cf.ae(i, j) = cf.an(i, j) = cf.as(i, j) = 1.0f;
  s->cvar.c(5, 2) = 0.75f;
  questrand::modc(*s);
  EXPECT_EQ(s->cvar.c(5, 1), 0.75f);
  EXPECT_EQ(cf.as(5, 2), 0.0f);
  for (int j = s->cprob.jmemb1; j <= g.jlast; ++j) {
    EXPECT_EQ(cf.aw(2, j), 0.0f);
    EXPECT_EQ(cf.ae(g.ilast, j), 0.0f);
  }
  EXPECT_EQ(cf.aw(2, s->cprob.jflow2), 1.0f);  // the channel inlet stays open
  EXPECT_EQ(cf.ae(g.ilast, s->cprob.jflow2), 1.0f);
  for (int i = 2; i <= g.ilast; ++i) EXPECT_EQ(cf.an(i, g.jlast), 0.0f);
}

TEST(Modu, OutletShiftMatchesTheInflow) {
  qtest::ProblemText p;
  p.flow = true;
  auto s = qtest::prepared_state(p.text());
  const auto& g = s->cgrid;
  // The starting profile carries flowin: no shift.
  questrand::modu(*s);
  for (int j = 2; j <= s->cprob.jflow2; ++j) EXPECT_NEAR(s->cvar.u(g.ni, j), s->cvar.u(g.ilast, j), 1e-9f);
  // Twice the inflow in the last interior column: the same negative shift in
  // every channel row, -flowin / area.
  float area = 0.0f;
  for (int j = 2; j <= s->cprob.jflow2; ++j) {
    s->cvar.u(g.ilast, j) = 2.0f * s->cvar.u(g.ilast, j);
    area = area + 0.5f * (s->cprop.den(g.ilast - 1, j) + s->cprop.den(g.ilast, j)) * g.rad(j) * g.hy(j);
  }
  questrand::modu(*s);
  const float shift = -s->cprob.flowin / area;
  for (int j = 2; j <= s->cprob.jflow2; ++j)
    EXPECT_NEAR(s->cvar.u(g.ni, j) - s->cvar.u(g.ilast, j), shift, 1e-4f * std::fabs(shift)) << j;
  // The solid rows are pinned, the wall link cut, the symmetry plane mirrored.
  for (int i = 3; i <= g.ilast; ++i) {
    EXPECT_EQ(s->ccoef.sp(i, s->cprob.jmemb1), -s->cgen.bignum);
    EXPECT_EQ(s->ccoef.an(i, s->cprob.jflow2), 0.0f);
    EXPECT_EQ(s->cvar.u(i, 1), s->cvar.u(i, 2));
  }
}

TEST(Modv, CutsWallSymmetryAndOutlet) {
  qtest::ProblemText p;
  p.flow = true;
  auto s = qtest::prepared_state(p.text());
  auto& cf = s->ccoef;
  const auto& g = s->cgrid;
  for (int j = 1; j <= g.nj; ++j)
    for (int i = 1; i <= g.ni; ++i) cf.ae(i, j) = cf.an(i, j) = cf.as(i, j) = 1.0f;
  questrand::modv(*s);
  for (int i = 2; i <= g.ilast; ++i) {
    EXPECT_EQ(cf.an(i, s->cprob.jflow2), 0.0f);
    EXPECT_EQ(cf.as(i, 3), 0.0f);
    EXPECT_EQ(cf.sp(i, g.jlast), -s->cgen.bignum);
  }
  for (int j = 3; j <= g.jlast; ++j) EXPECT_EQ(cf.ae(g.ilast, j), 0.0f);
  EXPECT_EQ(cf.ae(g.ilast, 2), 1.0f);
}
