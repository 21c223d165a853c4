// The time loop of a run, written once for the program's run (output to
// files, control/driver.hpp) and the run made in memory
// (control/memory_run.hpp): each time step (one pass for a steady run) with
// its outer iterations until convergence or the iteration limit, the
// sub-steps of the second-order scheme's start included.  `Events` is told
// of each part as it happens:
//   step_started(s)                 a time step begins (transient runs)
//   iterations_started(s)           outer iterations begin (a step, a sub-step)
//   iteration_ended(s, outcome)     an outer iteration ended
//   step_ended(s)                   the step (or the steady solve) ended
// A diverged iteration throws Diverged after iteration_ended was told.
#pragma once

#include "control/driver.hpp"
#include "control/run.hpp"
#include "output/run_output.hpp"
#include "physics/physics.hpp"

namespace questrand {

template <class Events>
void time_loop(State& s, Events& events) {
  for (;;) {
    if (!s.ctime.steady) {
      begin_time_step(s);
      events.step_started(s);
    }
    events.iterations_started(s);
    for (;;) {
      const IterationOutcome outcome = outer_iteration(s);
      events.iteration_ended(s, outcome);
      if (outcome.state == IterationState::Diverged) throw Diverged(divergence_message(s, outcome).substr(1));
      if (outcome.state != IterationState::Continue) {
        physics_level_ended(s);
        if (s.ctime.steady || !next_substep(s)) break;
        events.iterations_started(s);
      }
    }
    if (!s.ctime.steady) end_time_step(s);
    events.step_ended(s);
    if (run_finished(s)) break;
  }
}

}  // namespace questrand
