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

// What a run takes from its command line beyond PROB.INP.
struct RunOptions {
  Scheme scheme = Scheme::standard;  // --scheme: the concentration scheme
  float start_dt = 0.0f;             // --start-dt: the second-order start of a run with steps of this size (s);
                                     // 0: of the run's own dt (set_start_factor, control/run.hpp)
};

// Program entry: reads PROB.INP and runs contro with the options, then
// writes the run record (output/run_record.hpp) naming `arguments`, the
// command-line words.  Returns the exit status: 0 success, 1 an output file
// (or the record) could not be written, 2 bad input (PROB.INP, the restart
// file or an option that does not fit the problem), 3 diverged.  Messages go
// to standard error.
int run_program(const RunOptions& options = {}, const std::vector<std::string>& arguments = {});

// The checks of run_program before it writes anything, and nothing else:
// PROB.INP (every value, the grid, the run name) and, when PROB.INP asks for
// it, the restart file.  Writes no file and takes no lock.  Returns 0 (the
// run would start; the run's warnings, such as a missing restart file, go
// to standard error) or 2 with the run's one error line on standard error.
int check_program();

}  // namespace questrand
