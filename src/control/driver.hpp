// The run driver: start of run, time loop, outer iterations, end of run.
#pragma once

#include <stdexcept>
#include <string>

#include "control/state.hpp"

namespace questrand {

// A residual became infinite or not a number: the run stops (exit status 3)
// without writing the restart and save files.
class Diverged : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Starting fields over every node: u, v, p, pcor, t, c = 0; den = den0,
// vis = vis0, gamt = vis0/prandtl, gamc = vis0/schmidt.
void set_starting_fields(State& s);

// Start of a time step: uold = u, vold = v, told = t, cold = c,
// denold = den over every node.
void copy_to_old_level(State& s);

// Runs the whole computation from the state the problem input left:
// geometry, starting fields, init, optional restart read, properties, the
// start-of-run output and tables; then each time step (one pass for a steady
// run) with its outer iterations calcu, calcv, calcp, calct, calcc (each by
// its switch), the residual normalisation, the listing and console lines and
// the convergence test (largest normalised residual <= convtol) or the
// iteration limit maxit (warning); finally the end-of-run output, the
// restart file and the save files.  A zero residual reference leaves its
// residual undivided.
void contro(State& s);

// Program entry: reads PROB.INP and runs contro.  Returns the exit status:
// 0 success, 1 an output file could not be written, 2 bad input (PROB.INP or
// the restart file), 3 diverged.  Messages go to standard error.
int run_program();

}  // namespace questrand
