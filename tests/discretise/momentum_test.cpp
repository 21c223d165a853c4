#include "discretise/momentum.hpp"

#include <gtest/gtest.h>

#include "setup/geometry.hpp"
#include "state_support.hpp"

using questrand::State;

namespace {

std::unique_ptr<State> flow_state() {
  qtest::ProblemText p;
  p.flow = true;
  p.steady = true;
  p.ni = 12;
  p.n_flow = 4;
  p.n_memb = 2;
  p.n_gel = 2;
  return qtest::prepared_state(p.text());
}

}  // namespace

TEST(Calcu, StillFluidHasOnlyThePressureForce) {
  auto s = flow_state();
  const auto& g = s->cgrid;
  for (int j = 1; j <= g.nj; ++j)
    for (int i = 1; i <= g.ni; ++i) {
      s->cvar.u(i, j) = 0.0f;
      s->cvar.p(i, j) = -3.0f * static_cast<float>(i);
    }
  s->csolv.solver_u = 0;  // assemble only
  questrand::calcu(*s);
  const int i = 5;
  const int j = 3;  // an interior channel cell away from the wall
  const auto& cf = s->ccoef;
  const float area = g.hy(j) * g.rad(j);
  const float relax = s->crelx.relax_u;
  EXPECT_FLOAT_EQ(cf.ap(i, j) * relax, cf.an(i, j) + cf.as(i, j) + cf.ae(i, j) + cf.aw(i, j));
  EXPECT_FLOAT_EQ(cf.du(i, j), area / (cf.an(i, j) + cf.as(i, j) + cf.ae(i, j) + cf.aw(i, j)) * relax);
  // su: pressure force plus the relaxation term of a zero u.
  EXPECT_FLOAT_EQ(cf.su(i, j), area * 3.0f);
  EXPECT_EQ(s->cterm.res_u > 0.0f, true);
  // Pinned solid cells get a vanishing correction coefficient.
  EXPECT_LT(cf.du(i, s->cprob.jmemb1), 1.0e-30f);
}

TEST(Calcp, CorrectionsAndReferencePressure) {
  auto s = flow_state();
  const auto& g = s->cgrid;
  questrand::calcu(*s);
  questrand::calcv(*s);
  auto before = std::make_unique<State>(*s);
  s->crelx.relax_p = 0.0f;
  questrand::calcp(*s);
  // relax_p = 0: the pressure does not move, the velocities are corrected.
  bool moved = false;
  for (int j = 2; j <= g.jlast; ++j)
    for (int i = 2; i <= g.ilast; ++i) {
      EXPECT_EQ(s->cvar.p(i, j), before->cvar.p(i, j));
      moved = moved || s->cvar.u(i, j) != before->cvar.u(i, j);
    }
  EXPECT_TRUE(moved);
  for (int j = 1; j <= g.nj; ++j)
    for (int i = 1; i <= g.ni; ++i) EXPECT_EQ(s->cvar.pcor(i, j), 0.0f);
  // The inlet face and the symmetry-plane v are never corrected.
  for (int j = 2; j <= g.jlast; ++j) EXPECT_EQ(s->cvar.u(2, j), before->cvar.u(2, j));
  for (int i = 2; i <= g.ilast; ++i) EXPECT_EQ(s->cvar.v(i, 2), before->cvar.v(i, 2));

  // Mass residual: the imbalance sum before the correction.
  EXPECT_GT(s->cterm.res_mass, 0.0f);
  questrand::calcp(*s);
  EXPECT_LT(s->cterm.res_mass, before->cterm.res_mass + 1.0f);
  // The reference cell keeps its pressure.
  s->crelx.relax_p = 1.0f;
  const float pref_before = s->cvar.p(2, 2);
  questrand::calcp(*s);
  EXPECT_EQ(s->cvar.p(2, 2), pref_before);
}

TEST(Calcv, AxisymmetricHoopStressSink) {
  auto s = flow_state();
  auto& g = s->cgrid;
  g.axisym = true;
  questrand::geom(*s);
  for (int j = 1; j <= g.nj; ++j)
    for (int i = 1; i <= g.ni; ++i) {
      s->cvar.u(i, j) = 0.0f;
      s->cvar.v(i, j) = 0.0f;
      s->cvar.p(i, j) = -2.0f * static_cast<float>(j);
    }
  s->csolv.solver_v = 0;  // assemble only
  s->crelx.relax_v = 1.0f;
  questrand::calcv(*s);
  const int i = 4;
  const int j = 3;
  const auto& cf = s->ccoef;
  const float vol = g.hyv(j) * g.wx(i) * g.radv(j);
  const float hoop = s->cprop.vis(i, j) * vol / (g.radv(j) * g.radv(j));
  const float area = 0.5f * (g.wx(i) * g.radvs(j) + g.wx(i) * g.radvs(j + 1));
  EXPECT_FLOAT_EQ(cf.sp(i, j), -hoop);
  EXPECT_FLOAT_EQ(cf.su(i, j), area * 2.0f);  // only the pressure force
  EXPECT_FLOAT_EQ(cf.ap(i, j), cf.an(i, j) + cf.as(i, j) + cf.ae(i, j) + cf.aw(i, j) + hoop);
}
