// The run record: one JSON document per run, written beside the run's other
// files as <stem>.record.json (the stem without trailing blanks; the name is
// longer than the 12 bytes of any listing name, so it can equal no other
// file of a run), so that tools read what a run did instead of its console
// text.  It is written whole or not at all: to <name>.part, then renamed.
//
// Contents (record_version 1):
//   record, record_version     "questrand run record", 1
//   version, scheme, arguments  the program's version, the concentration
//                               scheme, the command-line words after the
//                               program's name
//   problem                     every value of PROB.INP as read, by name
//   steady, steps, first_step, last_step, final_time
//   step_numbers, step_iterations
//                               per step ended: its number and its outer
//                               iterations (sub-steps included)
//   outer_iterations, most_outer_iterations, maxit
//   maxit_steps                 the steps that ended at the iteration limit
//                               (each once; a steady solve is step 0, as
//                               its T00000 files)
//   status, exit_status, reason "completed" (0), "output error" (1) or
//                               "diverged" (3); reason the error line, ""
//                               when completed
//   files                       every file written, in order, with its size
//                               in bytes (the record itself not included)
//   wall_seconds
// A run whose input is refused writes nothing, and so no record.
#pragma once

#include <string>
#include <vector>

#include "core/state.hpp"
#include "output/run_output.hpp"

namespace questrand {

// The values of PROB.INP held in `s`, as a JSON object by name (taken once
// the input is read, before a restart file raises maxit or nsteps).
std::string problem_json(const State& s);

// The record's file name for the run files `files`.
std::string run_record_name(const RunFiles& files);

struct RunEnd {
  int exit_status = 0;  // 0, 1 or 3
  std::string reason;   // the error line; empty when completed
};

// Writes the record of the run that `out` has followed.  Throws io::FileError
// naming the record when it cannot be written (no partial record is left).
void write_run_record(const State& s, const RunOutput& out, const std::string& problem,
                      const std::vector<std::string>& arguments, const RunEnd& end);

}  // namespace questrand
