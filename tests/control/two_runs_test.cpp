// Two runs in one process: two different problems solved at the same time in
// two threads end with the same bits, fields and every iteration's residuals,
// as each solved alone.  Each run owns all the scratch space it uses
// (State::work); a work array shared between the runs makes this test fail.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/run.hpp"
#include "state_support.hpp"

namespace {

using questrand::IterationState;
using questrand::State;

// The whole numerics of a run (the driver's loop without its output), from
// the problem text to the last outer iteration: the final state and every
// iteration's residuals.
struct Solved {
  std::unique_ptr<State> state;
  std::vector<float> residuals;  // mass, u, v, c of each outer iteration
};

Solved solve(const std::string& prob_text) {
  Solved run{qtest::prepared_state(prob_text), {}};
  State& s = *run.state;
  for (;;) {
    if (!s.ctime.steady) questrand::begin_time_step(s);
    for (;;) {
      const IterationState state = questrand::outer_iteration(s).state;
      run.residuals.insert(run.residuals.end(), {s.cterm.res_mass, s.cterm.res_u, s.cterm.res_v, s.cterm.res_c});
      if (state != IterationState::Continue) break;
    }
    if (questrand::run_finished(s)) break;
  }
  return run;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

bool same_run(const Solved& x, const Solved& y) {
  const State& a = *x.state;
  const State& b = *y.state;
  const questrand::Field* fa[] = {&a.cvar.u, &a.cvar.v, &a.cvar.p, &a.cvar.pcor, &a.cvar.c, &a.cprop.den};
  const questrand::Field* fb[] = {&b.cvar.u, &b.cvar.v, &b.cvar.p, &b.cvar.pcor, &b.cvar.c, &b.cprop.den};
  for (std::size_t k = 0; k < std::size(fa); ++k)
    if (std::memcmp(fa[k]->data, fb[k]->data, sizeof fa[k]->data) != 0) return false;
  return same_bits(x.residuals, y.residuals) && same_bits({a.csolv.solver_alpha}, {b.csolv.solver_alpha}) &&
         a.ctime.istep == b.ctime.istep;
}

TEST(TwoRuns, InTwoThreadsAtOnceEachEndsAsItDoesAlone) {
  // Flow and concentration on two grids, each run using both linear solvers
  // (the line solver for some equations, the whole-field solver, which also
  // changes its iteration parameter, for the others).
  qtest::ProblemText line;
  line.flow = true;
  line.ni = 40;
  line.n_flow = 16, line.n_memb = 5, line.n_gel = 12;
  line.nsteps = 4;
  line.solver_u = 1, line.solver_p = 2, line.solver_c = 1;
  qtest::ProblemText whole = line;
  whole.ni = 31;
  whole.n_flow = 12, whole.n_memb = 7, whole.n_gel = 15;
  whole.solver_u = 2, whole.solver_p = 1, whole.solver_c = 2;
  whole.u_in = 0.008f;
  whole.runname = "OTHER.OUT";

  const Solved line_alone = solve(line.text());
  const Solved whole_alone = solve(whole.text());
  ASSERT_FALSE(same_run(line_alone, whole_alone));

  for (int round = 0; round < 4; ++round) {
    Solved line_threaded, whole_threaded;
    std::thread a([&] { line_threaded = solve(line.text()); });
    std::thread b([&] { whole_threaded = solve(whole.text()); });
    a.join();
    b.join();
    EXPECT_TRUE(same_run(line_threaded, line_alone)) << "round " << round;
    EXPECT_TRUE(same_run(whole_threaded, whole_alone)) << "round " << round;
  }
}

}  // namespace
