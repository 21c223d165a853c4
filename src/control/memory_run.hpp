// A run made in memory: the numerics of the program's run on a problem given
// as text, keeping the uptake observables of every step (what the uptake file
// <stem>.UPT holds, line for line) instead of writing files.  Nothing is
// written, nothing is printed, and a run uses only its own State: several
// runs may go on at once in one process, one per thread.
//
// The steps are those of run_program (control/driver.hpp): read_problem on
// the PROB.INP text (and read_physics_text on the PHYSICS.INP text when one
// is given; an inlet record it names is read from the working directory),
// start_run (with the flow handed over, or the restart file when the problem
// asks for it, read from the working directory), then time_loop.  So each
// step's Uptake is the very value whose %.9g line the program appends to the
// uptake file.
#pragma once

#include <string>
#include <vector>

#include "control/run.hpp"
#include "core/state.hpp"
#include "observables/uptake.hpp"

namespace questrand {

struct MemoryProblem {
  std::string problem_text;          // the text of PROB.INP
  bool has_physics = false;          // a PHYSICS.INP is given ...
  std::string physics_text;          // ... with this text
  Scheme scheme = Scheme::standard;  // the concentration scheme (the program's --scheme)
  const FlowFields* flow = nullptr;  // a steady flow to start from (start_run), or none
  float start_dt = 0.0f;             // the program's --start-dt (0: not given)
};

struct MemoryRun {
  // 0 the run ended, 2 bad input (PROB.INP, PHYSICS.INP, the flow or the
  // restart file), 3 diverged; then `error` holds the program's error line
  // (without "questrand: " for a diverged run, as Diverged holds it).
  int status = 0;
  std::string error;
  std::vector<std::string> warnings;  // the reader's warnings, one line each
  bool physics = false;               // PHYSICS.INP given: m_sink and m_reacted are observables
  std::vector<Uptake> steps;          // one per time step (one for a steady solve), in order
  std::vector<int> step_numbers;      // istep of each of them
  std::vector<int> step_iterations;   // outer iterations of each (sub-steps included)
  std::vector<int> limit_steps;       // the steps that ended at the iteration limit, each once
  int ni = 0, nj = 0;                 // the grid's columns and rows (a run that was read)
  std::vector<float> c;               // the concentration field at the run's end, c(I, J) at (J-1) ni + I-1
};

// Runs `problem` in memory.  Never throws for a run's own failures (they are
// in status and error); std::bad_alloc when the State cannot be made.
MemoryRun run_in_memory(const MemoryProblem& problem);

}  // namespace questrand
