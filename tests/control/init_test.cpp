#include "control/init.hpp"

#include <gtest/gtest.h>

#include "state_support.hpp"

TEST(Properties, LayerDiffusivitiesByRow) {
  qtest::ProblemText p;
  p.n_flow = 2;
  p.n_memb = 1;
  p.n_gel = 3;
  auto s = qtest::prepared_state(p.text());
  ASSERT_EQ(s->cgrid.nj, 8);
  const auto& pr = s->cprop;
  for (int i = 1; i <= s->cgrid.ni; ++i) {
    for (int j : {2, 3}) EXPECT_EQ(pr.gamc(i, j), 1.0e-9f * 1000.0f);
    EXPECT_EQ(pr.gamc(i, 4), 5.0e-10f * 1000.0f);
    for (int j : {5, 6, 7}) EXPECT_EQ(pr.gamc(i, j), 8.0e-10f * 1000.0f);
    for (int j : {1, 8}) EXPECT_EQ(pr.gamc(i, j), 1.0f);  // vis0 / schmidt
    for (int j = 1; j <= 8; ++j) {
      EXPECT_EQ(pr.den(i, j), 1000.0f);
      EXPECT_EQ(pr.vis(i, j), 1.0e-3f);
    }
  }
}

TEST(Init, UniformProfileInletFlow) {
  qtest::ProblemText p;
  p.parabolic = false;
  auto s = qtest::prepared_state(p.text());
  const float d1 = p.halfgap / static_cast<float>(p.n_flow);
  const float d2 = p.th_memb / static_cast<float>(p.n_memb);
  const float expected = 1000.0f * p.u_in * (p.halfgap + (d2 - d1) / 4.0f);
  EXPECT_NEAR(s->cprob.flowin, expected, 1e-6f * expected);
  EXPECT_NEAR(s->cprob.momin, s->cprob.flowin * p.u_in, 1e-6f * s->cprob.momin);
  EXPECT_EQ(s->cterm.resref_m, s->cprob.flowin);
  EXPECT_EQ(s->cterm.resref_c, s->cprob.flowin);
  EXPECT_EQ(s->cterm.resref_u, s->cprob.momin);
  EXPECT_EQ(s->cterm.resref_v, s->cprob.momin);
  EXPECT_EQ(s->cterm.resref_t, 1.0f);
}

TEST(Init, ParabolicProfileAndStartingConcentration) {
  qtest::ProblemText p;
  auto s = qtest::prepared_state(p.text());
  const auto& var = s->cvar;
  const int jflow2 = s->cprob.jflow2;
  for (int i = 1; i <= s->cgrid.ni; ++i) {
    EXPECT_EQ(var.u(i, 1), var.u(i, 2));  // mirror row
    for (int j = 3; j <= jflow2; ++j) {
      EXPECT_LT(var.u(i, j), var.u(i, j - 1));
      EXPECT_GT(var.u(i, j), 0.0f);
    }
    for (int j = jflow2 + 1; j <= s->cgrid.nj; ++j) {
      EXPECT_EQ(var.u(i, j), 0.0f);
      EXPECT_EQ(var.c(i, j), 0.0f);
    }
    for (int j = 1; j <= jflow2; ++j) EXPECT_EQ(var.c(i, j), i <= 2 ? 1.0f : 0.0f);
  }
}
