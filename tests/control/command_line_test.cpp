// The command line: options, the hand-over to companion tools, the end-of-run
// summary and the convergence warning on standard error.
#include "control/command_line.hpp"

#include "control/run.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "state_support.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;
using questrand::CommandLine;
using questrand::parse_command_line;

namespace {

struct Result {
  int status;
  std::string out, err;
};

// Runs the program with `args` (shell words) in `dir`, with `path_prefix`
// put before PATH.
Result run(const fs::path& dir, const std::string& args, const std::string& path_prefix = "") {
  qtest::ScratchDir streams("qt-cli");
  std::string cmd = "cd '" + dir.string() + "' && ";
  if (!path_prefix.empty()) cmd += "PATH='" + path_prefix + "':\"$PATH\" ";
  cmd += "env -u QUESTRAND_PROGRAM '" + std::string(QUESTRAND_EXE) + "' " + args + " > '" + (streams.path() / "out").string() + "' 2> '" +
         (streams.path() / "err").string() + "' < /dev/null";
  const int rc = std::system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, qtest::read_file(streams.path() / "out"),
          qtest::read_file(streams.path() / "err")};
}

}  // namespace

TEST(CommandLine, Parsing) {
  EXPECT_EQ(parse_command_line({}).action, CommandLine::Action::Run);
  EXPECT_EQ(parse_command_line({"--help"}).action, CommandLine::Action::Help);
  EXPECT_EQ(parse_command_line({"-h"}).action, CommandLine::Action::Help);
  EXPECT_EQ(parse_command_line({"--version"}).action, CommandLine::Action::Version);
  const CommandLine c = parse_command_line({"-C", "a", "-C", "b"});
  EXPECT_EQ(c.action, CommandLine::Action::Run);
  EXPECT_EQ(c.directories, (std::vector<std::string>{"a", "b"}));
  const CommandLine t = parse_command_line({"-C", "runs/1", "plot", "-o", "figs"});
  EXPECT_EQ(t.action, CommandLine::Action::Tool);
  EXPECT_EQ(t.tool, "plot");
  EXPECT_EQ(t.tool_args, (std::vector<std::string>{"-o", "figs"}));
  EXPECT_EQ(parse_command_line({"-C"}).action, CommandLine::Action::UsageError);
  EXPECT_EQ(parse_command_line({"--frobnicate"}).action, CommandLine::Action::UsageError);
  EXPECT_EQ(parse_command_line({"../evil"}).action, CommandLine::Action::UsageError);
  EXPECT_EQ(parse_command_line({}).scheme, questrand::Scheme::standard);
  EXPECT_EQ(parse_command_line({"--scheme", "second-order", "-C", "a"}).scheme, questrand::Scheme::second_order);
  EXPECT_EQ(parse_command_line({"--scheme=standard"}).scheme, questrand::Scheme::standard);
  EXPECT_EQ(parse_command_line({"--scheme", "second-order", "plot"}).action, CommandLine::Action::UsageError);
  const CommandLine check = parse_command_line({"--check", "-C", "runs/1"});
  EXPECT_EQ(check.action, CommandLine::Action::Check);
  EXPECT_EQ(check.directories, (std::vector<std::string>{"runs/1"}));
  EXPECT_EQ(parse_command_line({"-C", "d", "--check"}).action, CommandLine::Action::Check);
  EXPECT_EQ(parse_command_line({"--describe-input"}).action, CommandLine::Action::DescribeInput);
  EXPECT_EQ(parse_command_line({"--check", "--describe-input"}).action, CommandLine::Action::UsageError);
  EXPECT_EQ(parse_command_line({"--check", "plot"}).action, CommandLine::Action::UsageError);
}

TEST(CommandLine, HelpVersionAndUsageErrors) {
  qtest::ScratchDir dir;
  const Result help = run(dir.path(), "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: questrand", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("--scheme second-order"), std::string::npos) << help.out;
  EXPECT_EQ(help.err, "");
  const Result version = run(dir.path(), "--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("questrand ") + QUESTRAND_VERSION + "\n");
  for (const char* bad : {"--bogus", "-C", "nosuchcommand", "--scheme", "--scheme third-order"}) {
    const Result r = run(dir.path(), bad);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(qtest::lines_of(r.err).size(), 1u) << bad << ": " << r.err;
    EXPECT_EQ(r.out, "") << bad;
  }
  EXPECT_TRUE(fs::is_empty(dir.path())) << "nothing written by a usage error";
  const Result missing_dir = run(dir.path(), "-C no/such/dir");
  EXPECT_EQ(missing_dir.status, 2);
  EXPECT_NE(missing_dir.err.find("-C no/such/dir: cannot change to the directory"), std::string::npos);
}

// -C DIR runs as if started in DIR: its PROB.INP, its files.
TEST(CommandLine, RunsInTheDirectoryGivenWithC) {
  qtest::ScratchDir top;
  fs::create_directories(top.path() / "case");
  qtest::ProblemText p;
  p.nsteps = 2;
  p.runname = "CDIR.OUT";
  qtest::write_file(top.path() / "case" / "PROB.INP", p.text());
  const Result r = run(top.path(), "-C case");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(top.path() / "case" / "CDIR.OUT"));
  EXPECT_TRUE(fs::exists(top.path() / "case" / "CDIR.UPT"));
  EXPECT_FALSE(fs::exists(top.path() / "CDIR.OUT"));
}

// A first word that is not an option goes to questrand-WORD with the rest
// of the arguments, in the -C directory.
TEST(CommandLine, HandsCommandsToCompanionTools) {
  qtest::ScratchDir tools;
  qtest::write_file(tools.path() / "questrand-hello", "#!/bin/sh\necho \"hello from $(pwd) with $*\"\nexit 7\n");
  fs::permissions(tools.path() / "questrand-hello", fs::perms::owner_all);
  qtest::ScratchDir top;
  fs::create_directories(top.path() / "sub");
  const Result r = run(top.path(), "-C sub hello a 'b c'", tools.path().string());
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out, "hello from " + fs::canonical(top.path() / "sub").string() + " with a b c\n");
}

// The summary closes every successful run on standard error (standard output
// stays the console log); a step that reaches the iteration limit is named
// there as well.
TEST(CommandLine, SummaryAndConvergenceWarningOnStandardError) {
  qtest::ScratchDir dir;
  qtest::ProblemText p;
  p.nsteps = 3;
  p.maxit = 1;
  p.convtol = 1.0e-12f;
  p.runname = "SUM.OUT";
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  const Result r = run(dir.path(), "");
  EXPECT_EQ(r.status, 0);
  const auto err = qtest::lines_of(r.err);
  ASSERT_EQ(err.size(), 6u) << r.err;
  for (int step = 1; step <= 3; ++step)
    EXPECT_EQ(err[static_cast<std::size_t>(step - 1)],
              "questrand: warning: step " + std::to_string(step) +
                  " ended without convergence after maxit = 1 outer iterations");
  EXPECT_EQ(err[3], std::string("questrand ") + QUESTRAND_VERSION +
                        ": run SUM.OUT finished: 3 steps, 3 outer iterations, 3 ended with the convergence warning "
                        "(first: step 1)");
  EXPECT_EQ(err[4].rfind("questrand: final time 0.75: m_memb ", 0), 0u) << err[4];
  EXPECT_NE(err[5].find("files written: SUM.OUT, monitor.dat, SUM.UPT"), std::string::npos) << err[5];
  EXPECT_EQ(qtest::without_summary(r.err).find("finished"), std::string::npos);
  EXPECT_EQ(r.out.find("questrand:"), std::string::npos) << "nothing of it on standard output";
}

// --scheme second-order: the listing and the summary name the scheme; a run
// continued from its restart file (one time level) starts again with the
// implicit Euler step, so that every step's species balance, the first after
// the restart included, stays at rounding level.
TEST(CommandLine, SecondOrderSchemeRunAndContinuation) {
  qtest::ScratchDir dir;
  qtest::ProblemText p;
  p.nsteps = 3;
  p.dt = 20.0f;
  p.maxit = 60;
  p.convtol = 1.0e-7f;
  p.runname = "SO.OUT";
  p.restart_out = true;
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  const Result first = run(dir.path(), "--scheme second-order");
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(qtest::read_file(dir.path() / "SO.OUT").find("CONCENTRATION SCHEME"), std::string::npos);
  EXPECT_NE(first.err.find("outer iterations, second-order scheme"), std::string::npos) << first.err;
  p.restart_in = true;  // three more steps
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  const Result second = run(dir.path(), "--scheme=second-order");
  ASSERT_EQ(second.status, 0) << second.err;
  // The uptake file's columns by name.
  auto column = [](const std::string& file, const std::string& name) {
    const auto lines = qtest::lines_of(qtest::read_file(file));
    std::size_t index = 0;
    std::string cell;
    std::istringstream header(lines.at(0));
    while (std::getline(header, cell, ',') && cell != name) ++index;
    std::vector<double> values;
    for (std::size_t k = 1; k < lines.size(); ++k) {
      std::istringstream row(lines[k]);
      for (std::size_t c = 0; c <= index; ++c) std::getline(row, cell, ',');
      values.push_back(std::stod(cell));
    }
    return values;
  };
  const std::vector<double> balance = column(dir.path() / "SO.UPT", "balance");
  ASSERT_EQ(balance.size(), 6u);
  for (std::size_t k = 0; k < balance.size(); ++k) EXPECT_LT(std::fabs(balance[k]), 1.0e-6) << "step " << k + 1;
  // Against six steps in one run: the restart costs one first-order step, a
  // small difference; a BDF2 step from a missing earlier level would be far off.
  qtest::ScratchDir straight;
  p.restart_in = p.restart_out = false;
  p.nsteps = 6;
  qtest::write_file(straight.path() / "PROB.INP", p.text());
  ASSERT_EQ(run(straight.path(), "--scheme second-order").status, 0);
  const double continued = column(dir.path() / "SO.UPT", "m_gel").back();
  const double in_one_run = column(straight.path() / "SO.UPT", "m_gel").back();
  std::printf("gel amount after 6 steps: continued %.7g, in one run %.7g\n", continued, in_one_run);
  EXPECT_NEAR(continued / in_one_run, 1.0, 0.02);
  const Result standard = run(dir.path(), "");
  EXPECT_EQ(standard.err.find("scheme"), std::string::npos) << standard.err;
  EXPECT_EQ(qtest::read_file(dir.path() / "SO.OUT").find("SCHEME"), std::string::npos);
}

// --start-dt: the start of a run with steps of that size, each step's
// sub-steps as many as in the larger step that holds it (so they cover the
// same simulated time, each smaller); refused where it does not fit.
TEST(CommandLine, StartOfAGivenTimeStep) {
  using questrand::start_substeps;
  for (int k = 1; k <= 30; ++k) {
    const int of_the_given_step[] = {64, 32, 16, 8, 4, 2, 1, 1};
    EXPECT_EQ(start_substeps(k, 4), of_the_given_step[std::min((k - 1) / 4, 7)]) << "step " << k;
    EXPECT_EQ(start_substeps(k, 1), start_substeps(k)) << "step " << k;
  }
  EXPECT_EQ(parse_command_line({"--scheme", "second-order", "--start-dt", "10"}).start_dt, 10.0f);
  EXPECT_EQ(parse_command_line({"--start-dt=2.5"}).start_dt, 2.5f);
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--start-dt"}, {"--start-dt", "0"}, {"--start-dt", "-5"}, {"--start-dt", "ten"}, {"--start-dt=nan"},
           {"--start-dt", "10", "plot"}})
    EXPECT_EQ(parse_command_line(bad).action, CommandLine::Action::UsageError) << bad.back();

  qtest::ScratchDir dir;
  qtest::ProblemText p;
  p.nsteps = 4;
  p.dt = 5.0f;
  p.maxit = 60;
  p.runname = "ST.OUT";
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  const Result given = run(dir.path(), "--scheme second-order --start-dt 10");
  ASSERT_EQ(given.status, 0) << given.err;
  EXPECT_NE(given.err.find("second-order scheme, the start of steps of 10 s"), std::string::npos) << given.err;
  EXPECT_NE(qtest::read_file(dir.path() / "ST.record.json").find("\"start_dt\": 10,"), std::string::npos);
  const struct {
    const char* args;
    const char* says;
  } refused[] = {{"--start-dt 10", "give --scheme second-order"},
                 {"--scheme second-order --start-dt 7.5", "a whole multiple (1, 2, 3 ...) of the time step dt = 5"},
                 {"--scheme second-order --start-dt 2.5", "a whole multiple"}};
  for (const auto& r : refused) {
    qtest::ScratchDir fresh;
    qtest::write_file(fresh.path() / "PROB.INP", p.text());
    const Result done = run(fresh.path(), r.args);
    EXPECT_EQ(done.status, 2) << r.args;
    EXPECT_EQ(qtest::lines_of(done.err).size(), 1u) << r.args << ": " << done.err;
    EXPECT_NE(done.err.find(r.says), std::string::npos) << r.args << ": " << done.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(fresh.path()), fs::directory_iterator{}), 1) << "PROB.INP alone";
  }
}

// The tool learns which program handed it the command.
TEST(CommandLine, ToolsAreToldTheProgram) {
  qtest::ScratchDir tools;
  qtest::write_file(tools.path() / "questrand-which", "#!/bin/sh\necho \"$QUESTRAND_PROGRAM\"\n");
  fs::permissions(tools.path() / "questrand-which", fs::perms::owner_all);
  qtest::ScratchDir dir;
  const Result r = run(dir.path(), "which", tools.path().string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, fs::canonical(QUESTRAND_EXE).string() + "\n");
}
