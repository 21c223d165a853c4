#include <gtest/gtest.h>

#include <memory>

#include "setup/geometry.hpp"
#include "setup/grid.hpp"
#include "state_support.hpp"

using questrand::geom;
using questrand::GridVec;
using questrand::grid1;
using questrand::State;

TEST(Grid1, CentresOfEqualCells) {
  GridVec p;
  grid1(p, 350, 0.0f, 1.0f, 2, 5);
  EXPECT_EQ(p(1), 0.0f);  // outside first..last: untouched
  EXPECT_EQ(p(2), 0.125f);
  EXPECT_EQ(p(3), 0.375f);
  EXPECT_EQ(p(4), 0.625f);
  EXPECT_EQ(p(5), 0.875f);
  EXPECT_EQ(p(6), 0.0f);
}

TEST(Grid1, SingleNodeAtTheMiddle) {
  GridVec p;
  grid1(p, 350, 2.0f, 3.0f, 7, 7);
  EXPECT_EQ(p(7), 3.5f);
}

TEST(Grid1, RunningSumInSinglePrecision) {
  GridVec p;
  grid1(p, 350, 0.0f, 0.02f, 2, 21);
  float expect = 0.0f + 0.5f * (0.02f / 20.0f);
  EXPECT_EQ(p(2), expect);
  for (int i = 3; i <= 21; ++i) {
    expect = expect + 0.02f / 20.0f;
    EXPECT_EQ(p(i), expect) << i;
  }
}

TEST(Geometry, DefaultGridHasOneInteriorNode) {
  auto s = std::make_unique<State>();
  geom(*s);
  const auto& g = s->cgrid;
  EXPECT_EQ(g.ilast, 2);
  EXPECT_EQ(g.jlast, 2);
  EXPECT_EQ(g.wx(2), 0.5f * (g.x(3) - g.x(1)));  // ni = 3
  EXPECT_EQ(g.dxeu(2), 1.0f);
  EXPECT_EQ(g.dxwu(3), 1.0f);
  EXPECT_EQ(g.wxu(2), 0.0f);  // no u-cell width is written for ni = 3
  EXPECT_EQ(g.xu(2), 0.0f);
  EXPECT_EQ(g.yv(2), 0.0f);
}

TEST(Geometry, UniformSpacingAndFaces) {
  auto s = std::make_unique<State>();
  auto& g = s->cgrid;
  g.ni = 8;
  g.nj = 5;
  for (int i = 1; i <= g.ni; ++i) g.x(i) = -0.25f + 0.5f * static_cast<float>(i - 1);  // h = 0.5, faces at 0 ..
  for (int j = 1; j <= g.nj; ++j) g.y(j) = -1.0f + 2.0f * static_cast<float>(j - 1);
  geom(*s);
  for (int i = 2; i <= g.ni - 1; ++i) {
    EXPECT_EQ(g.dxe(i), 0.5f);
    EXPECT_EQ(g.dxw(i), 0.5f);
    EXPECT_EQ(g.wx(i), 0.5f);
    EXPECT_EQ(g.dxeu(i), 0.5f);
  }
  for (int i = 3; i <= g.ni - 1; ++i) EXPECT_EQ(g.wxu(i), 0.5f);
  EXPECT_EQ(g.wx(1), 0.0f);
  EXPECT_EQ(g.wx(g.ni), 0.0f);
  EXPECT_EQ(g.dxe(g.ni), 0.0f);
  EXPECT_EQ(g.dxw(1), 0.0f);
  EXPECT_EQ(g.xu(2), 0.0f);
  EXPECT_EQ(g.hy(2), 2.0f);
  EXPECT_EQ(g.hyv(3), 2.0f);
  EXPECT_EQ(g.hyv(2), 0.0f);
  // plane geometry
  EXPECT_EQ(g.rad(1), 1.0f);
  EXPECT_EQ(g.radv(1), 0.0f);
  EXPECT_EQ(g.radv(2), 1.0f);
  EXPECT_EQ(g.radvs(2), 0.5f);
  EXPECT_EQ(g.radvs(3), 1.0f);
}

TEST(Geometry, AxisymmetricRadii) {
  auto s = std::make_unique<State>();
  auto& g = s->cgrid;
  g.axisym = true;
  g.ni = 4;
  g.nj = 4;
  for (int j = 1; j <= 4; ++j) g.y(j) = -0.5f + static_cast<float>(j - 1);
  for (int i = 1; i <= 4; ++i) g.x(i) = -0.5f + static_cast<float>(i - 1);
  geom(*s);
  EXPECT_EQ(g.rad(1), -0.5f);  // mirrored first node
  EXPECT_EQ(g.radv(2), 0.0f);  // zero-area face at the axis
  EXPECT_EQ(g.rad(3), 1.5f);
}

TEST(Geometry, InstrumentLayersOfDifferentSpacing) {
  // Channel of 10 rows over 1.0, membrane of 5 rows over 0.1.
  qtest::ProblemText p;
  p.halfgap = 1.0f;
  p.th_memb = 0.1f;
  p.th_gel = 0.5f;
  p.chlength = 2.0f;
  p.n_flow = 10;
  p.n_memb = 5;
  p.n_gel = 4;
  auto s = qtest::prepared_state(p.text());
  const auto& g = s->cgrid;
  const int jmemb1 = s->cprob.jmemb1;
  EXPECT_EQ(jmemb1, 12);
  EXPECT_FLOAT_EQ(g.y(2), 0.05f);
  EXPECT_FLOAT_EQ(g.y(11), 0.95f);
  EXPECT_FLOAT_EQ(g.y(1), -0.05f);
  EXPECT_NEAR(g.dys(jmemb1), 0.06f, 1e-6f);
  EXPECT_NEAR(g.yv(jmemb1), 0.98f, 1e-6f);
  EXPECT_EQ(g.yv(2), 0.0f);                   // symmetry plane
  EXPECT_FLOAT_EQ(g.yv(g.nj), 1.6f);          // outer edge of the gel
  EXPECT_FLOAT_EQ(g.xu(g.ni), 2.0f);          // outlet face
  EXPECT_EQ(g.xu(2), 0.0f);                   // inlet face
  for (int j = 2; j <= g.nj - 1; ++j) EXPECT_NEAR(g.hy(j), g.yv(j + 1) - g.yv(j), 1e-5f * g.hy(j)) << j;
}
