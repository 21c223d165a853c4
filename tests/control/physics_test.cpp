// Physical checks of whole solutions: species conservation of the
// concentration equation, and the developed laminar channel flow.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "control/driver.hpp"
#include "control/run.hpp"
#include "discretise/scalar_transport.hpp"
#include "setup/input.hpp"
#include "setup/properties.hpp"
#include "state_support.hpp"
#include "test_support.hpp"

using questrand::State;

namespace {

// One time step of the concentration alone, iterated until the normalised
// residual is at most convtol (as the run driver does).
void concentration_step(State& s) {
  questrand::begin_time_step(s);
  for (;;) {
    const questrand::IterationOutcome o = questrand::outer_iteration(s);
    if (o.state == questrand::IterationState::Converged) return;
    if (o.state != questrand::IterationState::Continue) break;
  }
  FAIL() << "step " << s.ctime.istep << " did not converge";
}

}  // namespace

// With the flow off and a uniform inlet profile, the change of the amount of
// species over a step equals what the inlet faces let in minus what the
// outlet faces let out, with the discrete face fluxes of the scheme:
//   in  = aw c_W - (aw - Fw) c_P   on the west faces of column 2,
//   out = (ae + Fe) c_P - ae c_E   on the east faces of column ilast.
// The difference is bounded by the converged residual (convtol x flowin per
// unit concentration) and single-precision rounding of the sums.
TEST(Physics, SpeciesBalanceOfEachStep) {
  qtest::ProblemText p;
  p.parabolic = false;
  p.convtol = 1.0e-5f;
  p.maxit = 50;
  p.dt = 0.5f;
  auto sp = qtest::prepared_state(p.text());
  State& s = *sp;
  const auto& g = s.cgrid;
  const auto& c = s.cvar.c;
  const auto& cold = s.cvar.cold;
  const auto& cf = s.ccoef;
  const float flowin = s.cprob.flowin;
  double worst = 0.0;
  double prev_gel_total = -1.0;
  for (int step = 1; step <= 12; ++step) {
    concentration_step(s);
    double accumulation = 0.0;
    for (int i = 2; i <= g.ilast; ++i)
      for (int j = 2; j <= g.jlast; ++j) {
        const double vol = static_cast<double>(g.wx(i)) * g.hy(j) * g.rad(j);
        accumulation += s.cprop.denold(i, j) * vol / s.ctime.dt * (static_cast<double>(c(i, j)) - cold(i, j));
      }
    double in = 0.0;
    double out = 0.0;
    for (int j = 2; j <= g.jlast; ++j) {
      const double area = static_cast<double>(g.rad(j)) * g.hy(j);
      const double fw = 0.5 * (s.cprop.den(1, j) + s.cprop.den(2, j)) * s.cvar.u(2, j) * area;
      const double fe = 0.5 * (s.cprop.den(g.ni, j) + s.cprop.den(g.ilast, j)) * s.cvar.u(g.ni, j) * area;
      in += cf.aw(2, j) * static_cast<double>(c(1, j)) - (cf.aw(2, j) - fw) * c(2, j);
      out += (cf.ae(g.ilast, j) + fe) * static_cast<double>(c(g.ilast, j)) - cf.ae(g.ilast, j) * c(g.ni, j);
    }
    const double imbalance = std::fabs(accumulation - (in - out));
    worst = std::max(worst, imbalance / flowin);
    EXPECT_LE(imbalance, 2.0e-5 * flowin) << "step " << step << ": accumulation " << accumulation << ", in " << in
                                          << ", out " << out;
    EXPECT_GT(in, 0.0);

    // The gel fills monotonically towards the inlet concentration.
    double gel_total = 0.0;
    for (int j = s.cprob.jgel1; j <= s.cprob.jgel2; ++j)
      for (int i = 2; i <= g.ilast; ++i) {
        EXPECT_GE(c(i, j), cold(i, j)) << i << "," << j << " step " << step;
        EXPECT_LE(c(i, j), 1.0f + 1.0e-6f);
        gel_total += c(i, j);
      }
    EXPECT_GT(gel_total, prev_gel_total);
    prev_gel_total = gel_total;
  }
  std::printf("species balance: worst imbalance %.3g x flowin per step\n", worst);
}

// Steady flow in a long channel whose channel and membrane rows have equal
// spacing, so that the wall face yv(jmemb1) lies on y = halfgap; solved by
// the whole run driver in a scratch directory.
std::unique_ptr<State> developed_flow(int solver) {
  qtest::ProblemText p;
  p.steady = true;
  p.flow = true;
  p.conc = false;
  p.chlength = 0.05f;
  p.halfgap = 0.001f;
  p.th_memb = 0.001f;
  p.th_gel = 2.0e-4f;
  p.ni = 52;
  p.n_flow = 10;
  p.n_memb = 10;
  p.n_gel = 2;
  p.maxit = 1500;
  p.convtol = 5.0e-4f;
  p.relax_u = 0.7f;
  p.relax_p = 0.3f;
  p.solver_u = p.solver_p = solver;
  p.imon = 26;
  p.jmon = 3;
  p.runname = "FLOW.OUT";
  qtest::ScratchDir dir("flow");
  qtest::WorkingDir here(dir.path());
  auto s = std::make_unique<State>();
  questrand::read_problem(*s, "PROB.INP", p.text());
  std::FILE* quiet = std::fopen("/dev/null", "w");
  {
    questrand::RunOutput out(quiet);
    questrand::contro(*s, out);
    out.close();
  }
  std::fclose(quiet);
  return s;
}

// Poiseuille flow between the symmetry plane and the wall face at h:
// u = 1.5 Umean (1 - (y/h)^2), dp/dx = -3 mu Umean / h^2.  Returns the worst
// profile error (of the peak) and the ratio of the pressure gradient to the
// exact one.
std::pair<double, double> poiseuille_errors(const State& s) {
  const auto& g = s.cgrid;
  const double h = g.yv(s.cprob.jmemb1);
  const double umean = s.cprob.flowin / (1000.0 * h);
  double worst = 0.0;
  for (int j = 2; j <= s.cprob.jflow2; ++j) {
    const double y = g.y(j);
    const double exact = 1.5 * umean * (1.0 - (y / h) * (y / h));
    worst = std::max(worst, std::fabs(s.cvar.u(g.ilast, j) - exact) / (1.5 * umean));
  }
  const int i1 = g.ni / 2;
  const int i2 = g.ilast - 2;
  const double dpdx = (s.cvar.p(i2, 2) - s.cvar.p(i1, 2)) / (g.x(i2) - g.x(i1));
  return {worst, dpdx / (-3.0 * 1.0e-3 * umean / (h * h))};
}

class DevelopedFlow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { state_ = developed_flow(1).release(); }
  static void TearDownTestSuite() { delete state_; }
  static State* state_;
};
State* DevelopedFlow::state_ = nullptr;

TEST_F(DevelopedFlow, ConvergesWithMassConservedInEveryCell) {
  const State& s = *state_;
  EXPECT_LT(s.cterm.iter, s.cterm.maxit) << "no convergence";
  EXPECT_LE(s.cterm.res_mass, s.cterm.convtol);
  // Every cell's own imbalance, normalised by the inflow.
  const auto& g = s.cgrid;
  const auto& u = s.cvar.u;
  const auto& v = s.cvar.v;
  double worst = 0.0;
  for (int i = 2; i <= g.ilast; ++i)
    for (int j = 2; j <= g.jlast; ++j) {
      const double fe = u(i + 1, j) * static_cast<double>(g.hy(j));
      const double fw = u(i, j) * static_cast<double>(g.hy(j));
      const double fn = v(i, j + 1) * static_cast<double>(g.wx(i));
      const double fs = v(i, j) * static_cast<double>(g.wx(i));
      worst = std::max(worst, std::fabs(1000.0 * (fe - fw + fn - fs)) / s.cprob.flowin);
    }
  EXPECT_LT(worst, s.cterm.convtol);
  // Outflow equals inflow.
  double outflow = 0.0;
  for (int j = 2; j <= s.cprob.jflow2; ++j) outflow += 1000.0 * g.hy(j) * u(g.ni, j);
  EXPECT_NEAR(outflow, s.cprob.flowin, 1.0e-5 * s.cprob.flowin);
  std::printf("developed flow: %d iterations, worst cell imbalance %.3g x flowin, outflow/inflow - 1 = %.3g\n",
              s.cterm.iter, worst, outflow / s.cprob.flowin - 1.0);
}

TEST_F(DevelopedFlow, ParabolicProfileAndPressureGradient) {
  const State& s = *state_;
  const auto [profile, gradient] = poiseuille_errors(s);
  EXPECT_LT(profile, 0.02);
  EXPECT_NEAR(gradient, 1.0, 0.02);
  // Across the channel the pressure is uniform in the developed region.
  const int i1 = s.cgrid.ni / 2;
  EXPECT_NEAR(s.cvar.p(i1, s.cprob.jflow2) / s.cvar.p(i1, 2), 1.0, 0.01);
  std::printf("developed flow: profile error %.3g of the peak, dp/dx ratio to -3 mu U/h^2 = %.5f\n", profile, gradient);
}

// The whole-field solver reaches the same flow.
TEST(Physics, WholeFieldSolverGivesTheSameDevelopedFlow) {
  auto s = developed_flow(2);
  EXPECT_LT(s->cterm.iter, s->cterm.maxit) << "no convergence";
  const auto [profile, gradient] = poiseuille_errors(*s);
  EXPECT_LT(profile, 0.02);
  EXPECT_NEAR(gradient, 1.0, 0.02);
  std::printf("whole-field solver: %d iterations, profile error %.3g, dp/dx ratio %.5f\n", s->cterm.iter, profile,
              gradient);
}
