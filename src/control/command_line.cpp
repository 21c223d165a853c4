#include "control/command_line.hpp"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "control/describe.hpp"
#include "control/driver.hpp"
#include "core/version.hpp"
#include "discretise/concentration_scheme.hpp"
#include "setup/input_table.hpp"

namespace questrand {

CommandLine parse_command_line(const std::vector<std::string>& args) {
  CommandLine cl;
  auto usage_error = [&cl](const std::string& message) {
    cl.action = CommandLine::Action::UsageError;
    cl.error = message;
    return cl;
  };
  bool scheme_given = false;
  bool start_dt_given = false;
  // The value of option `name` at args[k]: the next word after "NAME", or the
  // rest of "NAME=VALUE"; false when the option is not there.  Without a
  // next word, `missing` is set.
  auto option_value = [&args](std::size_t& k, const std::string& name, std::string& value, bool& missing) {
    const std::string& a = args[k];
    missing = false;
    if (a == name) {
      if (k + 1 == args.size()) {
        missing = true;
      } else {
        value = args[++k];
      }
      return true;
    }
    if (a.rfind(name + "=", 0) != 0) return false;
    value = a.substr(name.size() + 1);
    return true;
  };
  for (std::size_t k = 0; k < args.size(); ++k) {
    const std::string& a = args[k];
    std::string value;
    bool missing = false;
    if (option_value(k, "--scheme", value, missing)) {
      if (missing) return usage_error(std::string("option --scheme needs a value: ") + scheme_choices());
      if (!parse_scheme(value, cl.scheme))
        return usage_error(std::string("option --scheme: expected ") + scheme_choices() + ", found '" + value + "'");
      scheme_given = true;
      continue;
    }
    if (option_value(k, "--start-dt", value, missing)) {
      if (missing) return usage_error("option --start-dt needs a value: a time step in seconds");
      char* end = nullptr;
      errno = 0;
      const float seconds = std::strtof(value.c_str(), &end);
      if (value.empty() || end != value.c_str() + value.size() || errno == ERANGE || !std::isfinite(seconds) ||
          !(seconds > 0.0f))
        return usage_error("option --start-dt: expected a time step in seconds (a number above 0), found '" +
                           value + "'");
      cl.start_dt = seconds;
      start_dt_given = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      cl.action = CommandLine::Action::Help;
      return cl;
    }
    if (a == "--version") {
      cl.action = CommandLine::Action::Version;
      return cl;
    }
    if (a == "--check" || a == "--describe-input" || a == "--describe") {
      const auto action = a == "--check"            ? CommandLine::Action::Check
                          : a == "--describe-input" ? CommandLine::Action::DescribeInput
                                                    : CommandLine::Action::Describe;
      if (cl.action != CommandLine::Action::Run && cl.action != action)
        return usage_error("options --check, --describe and --describe-input exclude each other");
      cl.action = action;
      continue;
    }
    if (a == "-C") {
      if (k + 1 == args.size()) return usage_error("option -C needs a directory");
      cl.directories.push_back(args[++k]);
      continue;
    }
    if (!a.empty() && a[0] == '-') return usage_error("unknown option '" + a + "'");
    if (cl.action != CommandLine::Action::Run)
      return usage_error("'" + a + "' after " +
                         (cl.action == CommandLine::Action::Check      ? "--check"
                          : cl.action == CommandLine::Action::Describe ? "--describe"
                                                                       : "--describe-input") +
                         ": these options take no command");
    if (a.empty() || a.find('/') != std::string::npos)
      return usage_error("'" + a + "' is not a command (a command is a word such as summary or plot)");
    if (scheme_given || start_dt_given)
      return usage_error(std::string("option ") + (scheme_given ? "--scheme" : "--start-dt") +
                         " applies to a run, not to a command (give it after the command: questrand " + a + " " +
                         (scheme_given ? "--scheme" : "--start-dt") + " ...)");
    cl.action = CommandLine::Action::Tool;
    cl.tool = a;
    cl.tool_args.assign(args.begin() + static_cast<std::ptrdiff_t>(k) + 1, args.end());
    return cl;
  }
  return cl;
}

std::string usage_text() {
  return "usage: questrand [-C DIR] [--scheme standard|second-order|second-order-graded\n"
         "                          [--start-dt SECONDS]]\n"
         "       questrand [-C DIR] COMMAND [ARGS...]\n"
         "       questrand [-C DIR] --check\n"
         "       questrand [-C DIR] [--scheme NAME] --describe\n"
         "       questrand --describe-input\n"
         "       questrand --help | --version\n"
         "\n"
         "Simulates the flow-through diffusion instrument described by PROB.INP in the\n"
         "working directory (or in DIR with -C DIR) and writes its results there: the\n"
         "listing (named by the run name), monitor.dat, the uptake file <stem>.UPT,\n"
         "concentration files, save files and the restart file.  The console log goes\n"
         "to standard output; errors, warnings and the end-of-run summary to standard\n"
         "error.\n"
         "\n"
         "--scheme standard      the concentration equation as always (the default)\n"
         "--scheme second-order  control volumes on the layer boundaries, series\n"
         "                       conductance across them, limited (van Leer)\n"
         "                       convection in the channel, the channel wall's shear\n"
         "                       at the wall, bounded BDF2 in time (a run from time\n"
         "                       0 starts with sub-steps; a restart with one implicit\n"
         "                       Euler step)\n"
         "--scheme second-order-graded\n"
         "                       the second-order scheme on columns graded toward\n"
         "                       the inlet (finest at x = 0, equal beyond 15 % of\n"
         "                       the length), where the inlet's corner with the\n"
         "                       membrane keeps equal columns below order 2; its\n"
         "                       iteration test bounds the change of c, and its\n"
         "                       start makes 256 sub-steps (docs/equations.md 9.4)\n"
         "--start-dt SECONDS     with a second-order scheme: the start's sub-steps\n"
         "                       those of a run with time steps of SECONDS (a whole\n"
         "                       multiple of dt), so that they cover the same\n"
         "                       simulated time whatever dt is (the refined grids of\n"
         "                       fit, converge and design take the given grid's dt)\n"
         "--check reads and checks PROB.INP (and the restart file it asks to read)\n"
         "as a run does before it writes anything, then stops: it writes no file and\n"
         "takes no lock.  Exit status 0 and no output when the run would start (the\n"
         "run's warnings still go to standard error), 2 with the run's one error line\n"
         "when it would not.  --describe-input prints the problem input's layout and\n"
         "every value's name, line, type, unit, limits and description as JSON.\n"
         "--describe checks PROB.INP as --check does and prints what it implies as\n"
         "JSON: the names of the files the run writes (the listing, monitor.dat, the\n"
         "uptake file, the run record, the restart, save and step files), the grid\n"
         "(node coordinates, layer rows; with --scheme those of that scheme) and the\n"
         "restart file's layout.\n"
         "\n"
         "An optional PHYSICS.INP beside PROB.INP (key = value lines) adds partition\n"
         "coefficients, a sink behind the gel, uptake in the gel, a changing inlet and\n"
         "a loaded gel (docs/user-guide.md section 9); without it nothing changes.\n"
         "\n"
         "Every run that starts writing also writes its record <stem>.record.json\n"
         "(whole or not at all): the version, scheme and arguments, the problem as\n"
         "read, the steps and their outer iterations, the steps that ended at maxit,\n"
         "how the run ended and why, and every file written with its size.\n"
         "\n"
         "A COMMAND runs the companion tool questrand-COMMAND found beside this program\n"
         "or on PATH: summary, plot, vtk, netcdf, fit, posterior, sweep, converge,\n"
         "design (the Python toolkit).\n"
         "\n"
         "Exit status: 0 success (also with convergence warnings), 1 an output file\n"
         "could not be written, 2 bad input or usage, 3 the run diverged.\n"
         "See docs/user-guide.md.\n";
}

namespace {

// The running program, or an empty path.
std::filesystem::path program_path() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : self;
}

std::filesystem::path program_directory() { return program_path().parent_path(); }

// questrand-COMMAND beside the program, else on PATH; empty when neither.
std::string find_tool(const std::string& command) {
  const std::string name = "questrand-" + command;
  const std::filesystem::path beside = program_directory() / name;
  if (!program_directory().empty() && ::access(beside.c_str(), X_OK) == 0) return beside.string();
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = dirs.substr(start, end - start);
    const std::filesystem::path candidate = std::filesystem::path(dir.empty() ? "." : dir) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return "";
}

}  // namespace

int program_main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const CommandLine cl = parse_command_line(args);
  switch (cl.action) {
    case CommandLine::Action::Help:
      std::fputs(usage_text().c_str(), stdout);
      return 0;
    case CommandLine::Action::Version:
      std::printf("questrand %s\n", kVersion);
      return 0;
    case CommandLine::Action::UsageError:
      std::fprintf(stderr, "questrand: %s; see questrand --help\n", cl.error.c_str());
      return 2;
    case CommandLine::Action::DescribeInput:
      std::fputs(describe_input_json().c_str(), stdout);
      return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    default:
      break;
  }
  for (const std::string& dir : cl.directories) {
    if (::chdir(dir.c_str()) != 0) {
      std::fprintf(stderr, "questrand: -C %s: cannot change to the directory: %s\n", dir.c_str(), std::strerror(errno));
      return 2;
    }
  }
  if (cl.action == CommandLine::Action::Tool) {
    const std::string tool = find_tool(cl.tool);
    if (tool.empty()) {
      std::fprintf(stderr,
                   "questrand: '%s' is not a questrand command or option (no questrand-%s beside the program or on "
                   "PATH); see questrand --help\n",
                   cl.tool.c_str(), cl.tool.c_str());
      return 2;
    }
    // The tool runs this program (sweeps, fits): tell it which one.
    const std::filesystem::path self = program_path();
    if (!std::getenv("QUESTRAND_PROGRAM") && !self.empty()) ::setenv("QUESTRAND_PROGRAM", self.c_str(), 1);
    std::vector<char*> exec_args;
    std::string arg0 = tool;
    exec_args.push_back(arg0.data());
    std::vector<std::string> rest = cl.tool_args;
    for (std::string& a : rest) exec_args.push_back(a.data());
    exec_args.push_back(nullptr);
    ::execv(tool.c_str(), exec_args.data());
    std::fprintf(stderr, "questrand: cannot run %s: %s\n", tool.c_str(), std::strerror(errno));
    return 2;
  }
  if (cl.action == CommandLine::Action::Check) return check_program();
  if (cl.action == CommandLine::Action::Describe) return describe_program(cl.scheme);
  return run_program(RunOptions{cl.scheme, cl.start_dt}, args);
}

}  // namespace questrand
