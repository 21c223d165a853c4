// The temperature path: the input never switches it on, so it is driven
// through the state.  Its field obeys the checks of any transported scalar:
// a uniform start stays uniform, and a fixed inlet value fills the channel.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "control/run.hpp"
#include "state_support.hpp"

using questrand::IterationState;
using questrand::State;

namespace {

// A transient run of the instrument's geometry with the flow field of the
// start (a uniform inlet velocity along the channel, not solved), the
// concentration off and the temperature on, with a species-like
// diffusivity gamt = 1e-6 (density 1000 included).
std::unique_ptr<State> temperature_run(float start, int nsteps) {
  qtest::ProblemText p;
  p.conc = false;
  p.parabolic = false;  // plug flow: every channel row carries the inlet value at u_in
  p.nsteps = nsteps;
  p.dt = 0.5f;
  p.maxit = 30;
  p.convtol = 1.0e-7f;
  auto s = qtest::prepared_state(p.text());
  s->cvar.solve_t = true;
  for (int j = 1; j <= s->cgrid.nj; ++j)
    for (int i = 1; i <= s->cgrid.ni; ++i) {
      s->cvar.t(i, j) = start;
      s->cprop.gamt(i, j) = 1.0e-6f;
    }
  return s;
}

void run_steps(State& s) {
  while (!questrand::run_finished(s)) {
    questrand::begin_time_step(s);
    for (;;) {
      const auto outcome = questrand::outer_iteration(s);
      ASSERT_NE(outcome.state, IterationState::Diverged);
      if (outcome.state != IterationState::Continue) break;
    }
  }
}

}  // namespace

TEST(Temperature, UniformStartStaysUniform) {
  auto s = temperature_run(0.7f, 4);
  run_steps(*s);
  double worst = 0.0;
  for (int j = 2; j <= s->cgrid.jlast; ++j)
    for (int i = 2; i <= s->cgrid.ilast; ++i) worst = std::fmax(worst, std::fabs(s->cvar.t(i, j) - 0.7));
  EXPECT_LT(worst, 1.0e-6);
  EXPECT_EQ(s->ctime.istep, 4);
}

TEST(Temperature, FixedInletFillsTheChannel) {
  auto s = temperature_run(0.0f, 24);  // 12 s, three transits of the channel
  const auto& pb = s->cprob;
  for (int j = 1; j <= pb.jflow2; ++j) s->cvar.t(1, j) = 1.0f;  // inlet value
  run_steps(*s);
  const auto& g = s->cgrid;
  const auto& t = s->cvar.t;
  // Every channel node away from the wall, up to the outlet, has reached the
  // inlet value within 5 %; nothing overshoots.  The row at the wall gives
  // up heat to the membrane, so it falls along the channel.
  double lowest = 1.0, highest = 0.0;
  for (int j = pb.jflow1; j < pb.jflow2; ++j)
    for (int i = 2; i <= g.ilast; ++i) {
      lowest = std::fmin(lowest, t(i, j));
      highest = std::fmax(highest, t(i, j));
    }
  EXPECT_GT(lowest, 0.95);
  EXPECT_LE(highest, 1.0 + 1.0e-6);
  for (int i = 3; i <= g.ilast; ++i) EXPECT_LT(t(i, pb.jflow2), t(i - 1, pb.jflow2)) << i;
  EXPECT_GT(t(g.ilast, pb.jflow2), 0.5);
  // The solid layers take it up by diffusion only: far below the channel.
  EXPECT_LT(t(g.ni / 2, pb.jgel2), 0.01);
  std::printf("temperature after 12 s: channel %.4f..%.4f, wall row at the outlet %.4f, gel top at mid-length %.3g\n",
              lowest, highest, t(g.ilast, pb.jflow2), t(g.ni / 2, pb.jgel2));
}
