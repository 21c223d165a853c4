// The run driver: the time loop and the outer iterations of a whole run, with
// the run's output written around the numerics.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "core/state.hpp"
#include "output/run_output.hpp"

namespace questrand {

// A residual became infinite or not a number: the run stops (exit status 3)
// without writing the restart and save files.
class Diverged : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs the whole computation from the state the problem input left:
// start_run and the start-of-run output; each time step (one pass for a
// steady run) with its outer iterations until convergence or the iteration
// limit (a warning); finally the end-of-run output, the restart file and the
// save files.  A diverged iteration throws Diverged after its lines are
// written.
void contro(State& s, RunOutput& out);

// Program entry: reads PROB.INP and runs contro with the concentration scheme
// `scheme`, then writes the run record (output/run_record.hpp) naming
// `arguments`, the command-line words.  Returns the exit status:
// 0 success, 1 an output file (or the record) could not be written, 2 bad
// input (PROB.INP or the restart file), 3 diverged.  Messages go to standard
// error.
int run_program(Scheme scheme = Scheme::standard, const std::vector<std::string>& arguments = {});

// The checks of run_program before it writes anything, and nothing else:
// PROB.INP (every value, the grid, the run name) and, when PROB.INP asks for
// it, the restart file.  Writes no file and takes no lock.  Returns 0 (the
// run would start; the run's warnings, such as a missing restart file, go
// to standard error) or 2 with the run's one error line on standard error.
int check_program();

}  // namespace questrand
