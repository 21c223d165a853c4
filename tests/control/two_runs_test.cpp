// Two runs in one process: two different problems solved at the same time in
// two threads end with the same bits as each solved alone, one after the
// other.  Each run owns all the scratch space it uses (State::work).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "control/run.hpp"
#include "state_support.hpp"

namespace {

using questrand::IterationState;
using questrand::State;

// The whole numerics of a run (the driver's loop without its output), from
// the problem text to the last outer iteration.
std::unique_ptr<State> solve(const std::string& prob_text) {
  std::unique_ptr<State> s = qtest::prepared_state(prob_text);
  for (;;) {
    if (!s->ctime.steady) questrand::begin_time_step(*s);
    for (;;) {
      const IterationState state = questrand::outer_iteration(*s).state;
      if (state != IterationState::Continue) break;
    }
    if (questrand::run_finished(*s)) break;
  }
  return s;
}

bool same_fields(const State& a, const State& b) {
  const questrand::Field* fa[] = {&a.cvar.u, &a.cvar.v, &a.cvar.p, &a.cvar.pcor, &a.cvar.c, &a.cprop.den};
  const questrand::Field* fb[] = {&b.cvar.u, &b.cvar.v, &b.cvar.p, &b.cvar.pcor, &b.cvar.c, &b.cprop.den};
  for (std::size_t k = 0; k < std::size(fa); ++k)
    if (std::memcmp(fa[k]->data, fb[k]->data, sizeof fa[k]->data) != 0) return false;
  const float ra[] = {a.cterm.res_mass, a.cterm.res_u, a.cterm.res_v, a.cterm.res_c, a.csolv.solver_alpha};
  const float rb[] = {b.cterm.res_mass, b.cterm.res_u, b.cterm.res_v, b.cterm.res_c, b.csolv.solver_alpha};
  return std::memcmp(ra, rb, sizeof ra) == 0 && a.cterm.iter == b.cterm.iter && a.ctime.istep == b.ctime.istep;
}

TEST(TwoRuns, InTwoThreadsAtOnceEachEndsAsItDoesAlone) {
  // Flow and concentration by the line solver on one grid; by the
  // whole-field solver (which also changes its shared parameter) on another.
  qtest::ProblemText line;
  line.flow = true;
  line.ni = 40;
  line.n_flow = 16, line.n_memb = 5, line.n_gel = 12;
  line.nsteps = 4;
  qtest::ProblemText whole = line;
  whole.ni = 31;
  whole.n_flow = 12, whole.n_memb = 7, whole.n_gel = 15;
  whole.solver_u = whole.solver_p = whole.solver_c = 2;
  whole.u_in = 0.008f;
  whole.runname = "OTHER.OUT";

  const std::unique_ptr<State> line_alone = solve(line.text());
  const std::unique_ptr<State> whole_alone = solve(whole.text());
  ASSERT_FALSE(same_fields(*line_alone, *whole_alone));

  for (int round = 0; round < 3; ++round) {
    std::unique_ptr<State> line_threaded, whole_threaded;
    std::thread a([&] { line_threaded = solve(line.text()); });
    std::thread b([&] { whole_threaded = solve(whole.text()); });
    a.join();
    b.join();
    EXPECT_TRUE(same_fields(*line_threaded, *line_alone)) << "round " << round;
    EXPECT_TRUE(same_fields(*whole_threaded, *whole_alone)) << "round " << round;
  }
}

}  // namespace
