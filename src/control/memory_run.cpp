#include "control/memory_run.hpp"

#include <memory>

#include "control/time_loop.hpp"
#include "io/list_reader.hpp"
#include "physics/physics.hpp"
#include "setup/input.hpp"

namespace questrand {

namespace {

// The events of the time loop, kept as the run's record keeps them
// (output/run_output.hpp): each step's uptake observables, its number and
// outer iterations, and the steps that ended at the iteration limit (a step
// counts once, whatever its sub-steps; a steady solve is step 0).
class MemoryEvents {
 public:
  explicit MemoryEvents(MemoryRun& run) : run_(run) {}
  void step_started(const State&) {}
  void iterations_started(const State&) {}
  void iteration_ended(const State& s, const IterationOutcome& outcome) {
    if (outcome.state != IterationState::Limit) return;
    if (s.ctime.steady || s.ctime.istep != last_limit_step_) {
      last_limit_step_ = s.ctime.istep;
      run_.limit_steps.push_back(s.ctime.istep);
    }
  }
  void step_ended(const State& s) {
    run_.steps.push_back(uptake_of(s));
    run_.step_numbers.push_back(s.ctime.istep);
    run_.step_iterations.push_back(step_outer_iterations(s));
  }

 private:
  MemoryRun& run_;
  int last_limit_step_ = -1;
};

}  // namespace

MemoryRun run_in_memory(const MemoryProblem& problem) {
  MemoryRun run;
  const auto state = std::make_unique<State>();
  State& s = *state;
  s.cscheme.scheme = problem.scheme;
  s.cscheme.start_dt = problem.start_dt;
  try {
    run.warnings = read_problem(s, kProblemFile, problem.problem_text);
    set_start_factor(s);
    if (problem.has_physics) read_physics_text(s, kPhysicsFile, problem.physics_text);
    run.physics = s.cphys.present;
    if (start_run(s, problem.flow) == RestartRead::Missing)
      run.warnings.push_back(RunOutput::restart_missing_warning(s));
    MemoryEvents events(run);
    time_loop(s, events);
    run.ni = s.cgrid.ni;
    run.nj = s.cgrid.nj;
    run.c.reserve(static_cast<std::size_t>(run.ni) * run.nj);
    for (int j = 1; j <= run.nj; ++j)
      for (int i = 1; i <= run.ni; ++i) run.c.push_back(s.cvar.c(i, j));
  } catch (const io::InputError& e) {
    run.status = 2;
    run.error = e.what();
  } catch (const Diverged& e) {
    run.status = 3;
    run.error = e.what();
  }
  return run;
}

}  // namespace questrand
