// questrand --describe: what a problem implies, as JSON on standard output,
// so that tools take the program's own rules instead of copying them.
//
//   files    the listing, monitor.dat, the uptake file, the run record, the
//            run lock, the restart files (read, written, and the temporary
//            one of a restart write), the save files and end-of-run profiles
//            the switches ask for, and the step files: the steps that get
//            them (step 1 and every prt_step-th, when the concentration
//            save is on) with their names;
//   grid     ni, nj, the node coordinates x and y (mirror nodes included),
//            the staggered u and v positions xu and yv, the rows of each
//            layer and the monitoring node;
//   restart  the restart file's layout: the framing and each record's
//            content and length for this grid and kind of run.
// The problem is read and checked as a run would (a restart file it reads is
// read too, for the steps the run will make); nothing is written.
#pragma once

#include <string>

#include "core/state.hpp"

namespace questrand {

// The description of the problem held in `s` after input and start_run;
// `problem` the values as read (problem_json, taken before start_run).
std::string describe_problem_json(const State& s, const std::string& problem);

// Reads PROB.INP (and the restart file it asks for) as a run under `scheme`
// would (its grid: the graded columns of second-order-graded), prints its
// description.
// Exit status 0, or 2 with the run's one error line on standard error.
int describe_program(Scheme scheme = Scheme::standard);

}  // namespace questrand
