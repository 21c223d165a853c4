// The program's command line.
//
//   questrand                 run PROB.INP in the working directory
//   questrand -C DIR          run in DIR as if started there
//   questrand --scheme NAME   run with the concentration scheme NAME:
//                             standard (the default) or second-order
//   questrand --scheme second-order --start-dt SECONDS
//                             the start's sub-steps as for a run with steps
//                             of SECONDS (a whole multiple of dt)
//   questrand --help | -h     usage, exit status 0
//   questrand --version       the version, exit status 0
//   questrand --check         check PROB.INP as a run would, run nothing
//   questrand --describe-input
//                             the problem input's layout, names, types and
//                             limits as JSON on standard output
//   questrand --describe      what PROB.INP implies (its files, grid and
//                             restart layout) as JSON; runs nothing
//   questrand COMMAND [ARGS]  run the companion tool questrand-COMMAND found
//                             beside the program or on PATH (summary, plot,
//                             vtk, fit, sweep, ...), as git does
// Anything else is a usage error: one line on standard error, exit status 2.
#pragma once

#include <string>
#include <vector>

#include "core/state.hpp"

namespace questrand {

struct CommandLine {
  enum class Action { Run, Check, DescribeInput, Describe, Help, Version, Tool, UsageError };
  Action action = Action::Run;
  std::vector<std::string> directories;  // -C arguments, in order
  Scheme scheme = Scheme::standard;      // --scheme (a run only)
  float start_dt = 0.0f;                 // --start-dt (a run only; 0: not given)
  std::string tool;                      // for Tool: the command word
  std::vector<std::string> tool_args;    // for Tool: the words after it
  std::string error;                     // for UsageError: the message
};

CommandLine parse_command_line(const std::vector<std::string>& args);

// The usage text printed by --help.
std::string usage_text();

// The program entry: parses the arguments, then runs, prints or hands over.
// Returns the exit status.
int program_main(int argc, char** argv);

}  // namespace questrand
