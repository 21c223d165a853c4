// Whole runs of the program: restart continuation, listing layout rules and
// the zero-reference residuals.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "state_support.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;

namespace {

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

qtest::ProblemText conc_problem() {
  qtest::ProblemText p;
  p.nsteps = 6;
  p.dt = 0.5f;
  p.prt_step = 2;
  p.runname = "CONT.A";
  return p;
}

}  // namespace

// A 4-step run and a 2-step restart from its restart file give the monitor
// lines and the files of one 6-step run.
TEST(Driver, RestartContinuesExactly) {
  qtest::ScratchDir whole("whole");
  qtest::ScratchDir parts("parts");
  qtest::ProblemText p = conc_problem();
  qtest::write_file(whole.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(whole.path()), 0);

  p.nsteps = 4;
  p.restart_out = true;
  qtest::write_file(parts.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(parts.path()), 0);
  p.nsteps = 2;
  p.restart_in = true;
  p.runname = "CONT.B";
  qtest::write_file(parts.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(parts.path()), 0);

  // The monitor file: one header (the restart starts beyond one step) and the
  // same six data lines.
  EXPECT_EQ(qtest::read_file(parts.path() / "monitor.dat"), qtest::read_file(whole.path() / "monitor.dat"));
  for (const char* name : {"T00001.CON", "T00002.CPR", "T00004.VPR", "T00006.CON", "T00006.CPR", "CONT.CPR",
                           "CONT.VPR", "CONT.CON"})
    EXPECT_EQ(qtest::read_file(parts.path() / name), qtest::read_file(whole.path() / name)) << name;
  // The listing of the restarted run carries steps 5 and 6 only.
  const std::string second = qtest::read_file(parts.path() / "CONT.B");
  EXPECT_EQ(count(second, " IT="), 2);
  EXPECT_NE(second.find(" IT=    5   TIME= 2.500E+00"), std::string::npos);
  EXPECT_NE(second.find(" IT=    6   TIME= 3.000E+00"), std::string::npos);
}

// With maxit = 1 and a tolerance no step can meet, every step ends with the
// warning in the listing and on the console, and the run still succeeds.
TEST(Driver, IterationLimitWarnsEveryStep) {
  qtest::ScratchDir dir;
  qtest::ProblemText p = conc_problem();
  p.nsteps = 3;
  p.maxit = 1;
  p.convtol = 1.0e-12f;
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(dir.path()), 0);
  const std::string listing = qtest::read_file(dir.path() / "CONT.A");
  const std::string console = qtest::read_file(dir.path() / "console.txt");
  EXPECT_EQ(count(listing, " *** WARNING ***"), 3);
  EXPECT_EQ(count(console, " *** WARNING ***"), 3);
  EXPECT_EQ(count(listing, " CONVERGENCE CRITERION NOT SATISFIED AFTER MAXIT ITERATIONS"), 3);
}

// With a zero inlet velocity both references are zero: the residuals are
// shown undivided and nothing is infinite.
TEST(Driver, ZeroInletVelocityLeavesResidualsUndivided) {
  qtest::ScratchDir dir;
  qtest::ProblemText p = conc_problem();
  p.u_in = 0.0f;
  p.nsteps = 2;
  p.flow = true;
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(dir.path()), 0);
  const std::string console = qtest::read_file(dir.path() / "console.txt");
  EXPECT_EQ(console.find("Inf"), std::string::npos);
  EXPECT_EQ(console.find("NaN"), std::string::npos);
  EXPECT_NE(console.find("Concentrat. Residual"), std::string::npos);
}

// A steady run: no step line, step counter 0 (T00000 files), one monitor
// line without a header, the end-of-run tables when the last iteration is
// not a multiple of the table interval (1000).
TEST(Driver, SteadyRunOutput) {
  qtest::ScratchDir dir;
  qtest::ProblemText p = conc_problem();
  p.steady = true;
  p.maxit = 5;
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(dir.path()), 0);
  const std::string listing = qtest::read_file(dir.path() / "CONT.A");
  EXPECT_EQ(count(listing, " IT="), 0);
  EXPECT_TRUE(fs::exists(dir.path() / "T00000.CON"));
  const auto monitor = qtest::lines_of(qtest::read_file(dir.path() / "monitor.dat"));
  ASSERT_EQ(monitor.size(), 1u);
  EXPECT_EQ(monitor[0].substr(0, 16), " 0.00000000E+00 ");
  EXPECT_EQ(count(listing, "*-* CONCENTR"), 2);  // starting and end-of-run tables
}

// An output file that cannot be created stops the run with status 1 and one
// message naming the file; the restart file is replaced only when complete.
TEST(Driver, UnwritableOutputFilesStopTheRun) {
  qtest::ScratchDir dir;
  qtest::ProblemText p = conc_problem();
  p.nsteps = 2;
  fs::create_directory(dir.path() / "CONT.CPR");  // the end-of-run profile file
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  EXPECT_EQ(qtest::run_program(dir.path()), 1);
  const auto err = qtest::lines_of(qtest::read_file(dir.path() / "stderr.txt"));
  ASSERT_EQ(err.size(), 1u);
  EXPECT_EQ(err[0].rfind("CONT.CPR: cannot create", 0), 0u) << err[0];

  qtest::ScratchDir dir2;
  p.restart_out = true;
  fs::create_directory(dir2.path() / "CONT.sav");
  qtest::write_file(dir2.path() / "CONT.sav" / "keep", "x");
  qtest::write_file(dir2.path() / "PROB.INP", p.text());
  EXPECT_EQ(qtest::run_program(dir2.path()), 1);
  const auto err2 = qtest::lines_of(qtest::read_file(dir2.path() / "stderr.txt"));
  ASSERT_EQ(err2.size(), 1u);
  EXPECT_EQ(err2[0].rfind("CONT.sav: cannot replace the restart file", 0), 0u) << err2[0];
  EXPECT_EQ(qtest::read_file(dir2.path() / "CONT.sav" / "keep"), "x");
  for (const auto& e : fs::directory_iterator(dir2.path()))
    EXPECT_EQ(e.path().filename().string().find(".part"), std::string::npos) << e.path();
  EXPECT_FALSE(fs::exists(dir2.path() / "CONT.CON"));  // save files come after the restart file
}
