#include "output/usrout.hpp"

#include "output/run_output.hpp"
#include "setup/run_files.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "state_support.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;
using questrand::State;

namespace {

int count_numbers(const std::string& line) {
  std::istringstream in(line);
  std::string tok;
  int n = 0;
  while (in >> tok) ++n;
  return n;
}

// A hand-filled state: c(I,J) = I + J/100.
std::unique_ptr<State> filled(int n_flow, int n_memb, int n_gel) {
  qtest::ProblemText p;
  p.ni = 9;
  p.n_flow = n_flow;
  p.n_memb = n_memb;
  p.n_gel = n_gel;
  p.runname = "CASE1.A";
  auto s = qtest::prepared_state(p.text());
  for (int j = 1; j <= s->cgrid.nj; ++j)
    for (int i = 1; i <= s->cgrid.ni; ++i) s->cvar.c(i, j) = static_cast<float>(i) + static_cast<float>(j) / 100.0f;
  return s;
}

}  // namespace

TEST(Usrout, StepNames) {
  EXPECT_EQ(questrand::step_name(1), "T00001.  ");
  EXPECT_EQ(questrand::step_name(12), "T00012.  ");
  EXPECT_EQ(questrand::step_name(345), "T00345.  ");
  EXPECT_EQ(questrand::step_name(6789), "T06789.  ");
  EXPECT_EQ(questrand::step_name(12345), "T12345.  ");
  EXPECT_EQ(questrand::step_name(0), "T00000.  ");
  // Wider stamps from step 100000 on: no step's files overwrite another's.
  EXPECT_EQ(questrand::step_name(99999), "T99999.  ");
  EXPECT_EQ(questrand::step_name(100000), "T100000.");
  EXPECT_EQ(questrand::step_name(100001), "T100001.");
  EXPECT_EQ(questrand::step_name(2147483647), "T2147483647.");
  // The file stems keep every digit, however many.
  EXPECT_EQ(questrand::RunFiles::step_stem(7), "T00007");
  EXPECT_EQ(questrand::RunFiles::step_stem(100000), "T100000");
  EXPECT_EQ(questrand::RunFiles::step_stem(123456789), "T123456789");
  EXPECT_NE(questrand::RunFiles::step_stem(123456789), questrand::RunFiles::step_stem(123456788));
}

TEST(Usrout, ProfileFilesLayout) {
  qtest::ScratchDir dir;
  qtest::WorkingDir here(dir.path());
  auto s = filled(6, 2, 4);  // nj = 14
  ASSERT_EQ(s->cgrid.nj, 14);
  s->ctime.istep = 1;
  questrand::append_monitor_line(*s);
  questrand::write_step_files(*s);
  const auto cpr = qtest::lines_of(qtest::read_file("T00001.CPR"));
  ASSERT_EQ(cpr.size(), 1u + 7u);  // heading, ni - 2 lines
  EXPECT_EQ(cpr[0].size(), 1u + 4u + 12u * 19u);
  EXPECT_EQ(cpr[0].substr(0, 25), " \"X\" \"C(Y=8.33333E-05)\" \"");
  for (std::size_t k = 1; k < cpr.size(); ++k) EXPECT_EQ(count_numbers(cpr[k]), 13);
  EXPECT_EQ(cpr[1], " 1.42857141E-03 2.01999998 2.02999997 2.03999996 2.04999995 2.05999994 2.06999993 2.07999992 "
                    "2.08999991 2.09999990 2.10999990 2.11999989 2.13000011 ");
  const auto vpr = qtest::lines_of(qtest::read_file("T00001.VPR"));
  ASSERT_EQ(vpr.size(), 1u + 12u);
  EXPECT_EQ(count_numbers(vpr[1]), 1 + 7);
  EXPECT_EQ(vpr[0].substr(0, 5), " \"Y\" ");
  const auto con = qtest::lines_of(qtest::read_file("T00001.CON"));
  EXPECT_EQ(con.size(), 7u * 12u);
  EXPECT_EQ(count_numbers(con[0]), 3);
  // Monitor line: time and nine probes of column ni/2 = 4.
  const auto mon = qtest::lines_of(qtest::read_file("monitor.dat"));
  ASSERT_EQ(mon.size(), 1u);
  EXPECT_EQ(count_numbers(mon[0]), 10);
}

TEST(Usrout, StepIntervalRules) {
  qtest::ScratchDir dir;
  qtest::WorkingDir here(dir.path());
  auto s = filled(2, 1, 3);
  s->cio.prt_step = 5;
  for (int step = 1; step <= 11; ++step) {
    s->ctime.istep = step;
    questrand::append_monitor_line(*s);
    questrand::write_step_files(*s);
  }
  for (int step = 1; step <= 11; ++step) {
    const bool written = step == 1 || step % 5 == 0;
    EXPECT_EQ(fs::exists(questrand::step_name(step).substr(0, 6) + ".CON"), written) << step;
  }
  EXPECT_EQ(qtest::lines_of(qtest::read_file("monitor.dat")).size(), 11u);

  // Without save_con only the monitor line, and nothing at the end.
  s->cio.save_con = false;
  s->ctime.istep = 15;
  questrand::write_step_files(*s);
  questrand::write_end_profiles(*s, questrand::run_files(s->cio));
  EXPECT_FALSE(fs::exists("T00015.CON"));
  EXPECT_FALSE(fs::exists("CASE1.CPR"));
  s->cio.save_con = true;
  questrand::write_end_profiles(*s, questrand::run_files(s->cio));
  EXPECT_TRUE(fs::exists("CASE1.CPR"));
  EXPECT_TRUE(fs::exists("CASE1.VPR"));
  EXPECT_FALSE(fs::exists("CASE1.CON"));
}

TEST(Usrout, MonitorHeaderOnlyAtTheStartOfATransientRun) {
  qtest::ScratchDir dir;
  qtest::WorkingDir here(dir.path());
  auto s = filled(2, 1, 3);
  std::FILE* null_console = std::fopen("/dev/null", "w");
  auto start = [&] {
    questrand::RunOutput out(null_console);
    out.start(*s);
    out.close();
  };
  start();  // time 0 <= dt: header
  s->ctime.time = 1.0f;  // restarted beyond one step: appends without a header
  start();
  s->ctime.steady = true;
  s->ctime.time = 0.0f;
  start();  // steady: no header
  std::fclose(null_console);
  const auto mon = qtest::lines_of(qtest::read_file("monitor.dat"));
  ASSERT_EQ(mon.size(), 1u);
  EXPECT_EQ(mon[0],
            " \"time\" \"C(FlStr)\" \"C(FlMid)\" \"C(FlEnd)\" \"C(MembStr)\" \"C(MembMid)\" \"C(MembEnd)\" "
            "\"C(GelStr)\" \"C(GelMid)\" \"C(GelEnd)\"");
  const auto lis = qtest::lines_of(qtest::read_file("CASE1.A"));
  ASSERT_GT(lis.size(), 6u);  // the heading, then the tables of the starting fields
  EXPECT_EQ(lis[4], "               HALF-GAP                :  1.000E-03");
  EXPECT_EQ(lis[8].find("CONCENTR"), 45u) << lis[8];
}
