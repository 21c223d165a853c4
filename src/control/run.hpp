// The numerics of a run as calls that write nothing: the start of a run, the
// start of a time step and one outer iteration.  The run driver calls them
// and writes its output around them; the benchmarks, the tests and tools that
// run the solver many times call the same functions.
#pragma once

#include "core/iteration.hpp"
#include "core/state.hpp"

namespace questrand {

// Starting fields over every node: u, v, p, pcor, t, c = 0; den = den0,
// vis = vis0, gamt = vis0/prandtl, gamc = vis0/schmidt.
void set_starting_fields(State& s);

// Start of a time step: uold = u, vold = v, told = t, cold = c,
// denold = den over every node.
void copy_to_old_level(State& s);

enum class RestartRead { NotAsked, Read, Missing };

// A steady flow handed to a run in memory: u, v and p over the nodes
// I = 1..ni, J = 1..nj, node (I, J) at element (J-1) ni + (I-1) (I fastest,
// the order of a restart file's records).
struct FlowFields {
  int ni = 0, nj = 0;
  const float* u = nullptr;
  const float* v = nullptr;
  const float* p = nullptr;
};

// Start of a run, from the state the problem input left: geom, the starting
// fields, init, the restart file when restart_in asks for it, props.
// Returns what became of the restart read (Missing: the file does not exist,
// the run starts from the initial fields).  A restart file that cannot be
// used throws io::InputError.
//
// With `flow`, u, v and p are taken from it where a restart file's would be
// (after the gel's initial values, before props), every other field kept as
// the start leaves it: the run a time-zero restart file of that flow starts
// (the toolkit's reused steady flow).  A flow of another grid, a value that
// is not a finite number, or a problem that also asks for its restart file
// throws io::InputError.
RestartRead start_run(State& s, const FlowFields* flow = nullptr);

// Start of a time step of a transient run: istep + 1, time + dt, the current
// fields copied to the previous time level, iter = 0.  Under the second-order
// scheme also the step count since the start + 1 and, from the second step
// on, c_old copied to c_2old first.
//
// Second-order scheme, a run whose first step begins at time 0: the first
// steps are made of equal sub-steps, 64 in the first, 32, 16, 8, 4, 2 in the
// next five (start_substeps), so that the start (the inlet's front along the
// channel and past the outlet, the depletion layer forming over the
// membrane, the first uptake of membrane and gel), which lasts a few of the
// steps the user chose, is resolved in time; BDF2 takes the changing sizes
// with its variable-step weights (a ratio of 2 between neighbouring
// sub-steps).  Against an independent reference a start of 16, 8, 4, 2 left
// the outlet's c_out converging at order 1.1-1.4 from the second refinement
// on; this one at 1.9 (docs/equations.md 9.3).  begin_time_step then begins
// the first sub-step (dt = step / n, time = start + dt); after each
// sub-step's iterations next_substep begins the next one (true) or reports
// the step done (false); end_time_step restores dt.  The last sub-step ends
// at the step's own time start + dt.  Outputs are written once per step, at
// its end.
void begin_time_step(State& s);
bool next_substep(State& s);
void end_time_step(State& s);

// The number of sub-steps of step k (1, 2 ...) of a run from time zero under
// the second-order scheme: 64, 32, 16, 8, 4, 2, then 1.  With `factor` steps
// of the run to one step of the start's reference size (set_start_factor),
// step k takes the sub-steps of that run's step (k - 1) / factor + 1: the
// start's sub-steps then cover the same simulated time on every time step of
// a refinement, each `factor` times smaller.
// `first` the sub-steps of the first step (64 on equal columns, more on
// graded ones: core/graded_columns.hpp), halved at each step after, down to 1.
inline constexpr int kFirstSubsteps = 64;
int start_substeps(int step_of_run, int factor = 1, int first = kFirstSubsteps);

// The start's reference step of --start-dt checked against the problem and
// its factor set (s.cscheme.start_factor = start_dt / dt, a whole number;
// 1 without --start-dt).  --start-dt applies to a transient run under the
// second-order scheme, with start_dt a whole multiple of dt (to 1e-4);
// anything else throws io::InputError naming the option and the time step.
void set_start_factor(State& s);

// One outer iteration: iter + 1; calcu, calcv, calcp, calct, calcc, each by
// its solve switch; props when propupd; every residual divided by its
// reference (left undivided when the reference is zero); then the test:
// Diverged when a residual is not finite (the first in the order mass, u, v,
// t, c), Converged when the largest is at most convtol, Limit when iter has
// reached maxit, else Continue.
IterationOutcome outer_iteration(State& s);

// The outer iterations of the step just ended: its iterations, and under
// the second-order scheme those of its earlier sub-steps too.
int step_outer_iterations(const State& s);

// True when the time loop ends after the current step (a steady run's one
// pass, or the last step).
bool run_finished(const State& s);

}  // namespace questrand
