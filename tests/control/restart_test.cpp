#include "control/restart.hpp"
#include "output/run_output.hpp"
#include "output/save_files.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "io/list_reader.hpp"
#include "state_support.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;
using questrand::State;

namespace {

std::unique_ptr<State> small_state(bool steady) {
  qtest::ProblemText p;
  p.ni = 10;
  p.n_flow = 2;
  p.n_memb = 1;
  p.n_gel = 3;  // nj = 8
  p.steady = steady;
  p.runname = "RUN1";
  return qtest::prepared_state(p.text());
}

unsigned le32(const std::string& b, std::size_t at) {
  return static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8) |
         (static_cast<unsigned char>(b[at + 2]) << 16) | (static_cast<unsigned>(static_cast<unsigned char>(b[at + 3])) << 24);
}

}  // namespace

TEST(RestartFile, RecordSizesOfATenByEightGrid) {
  qtest::ScratchDir dir;
  qtest::WorkingDir here(dir.path());
  auto s = small_state(true);
  s->cterm.iter = 57;
  questrand::write_restart(*s);
  const std::string bytes = qtest::read_file("RUN1.sav");
  ASSERT_EQ(bytes.size(), 2972u);  // 12 + 8 + 9 * 328
  EXPECT_EQ(le32(bytes, 0), 12u);
  EXPECT_EQ(le32(bytes, 16), 12u);
  for (int k = 0; k < 9; ++k) {
    const std::size_t at = 20 + 328 * static_cast<std::size_t>(k);
    EXPECT_EQ(le32(bytes, at), 320u);
    EXPECT_EQ(le32(bytes, at + 324), 320u);
  }
  auto t = small_state(false);
  t->ctime.istep = 40;
  t->ctime.time = 20.0f;
  questrand::write_restart(*t);
  const std::string tb = qtest::read_file("RUN1.sav");
  EXPECT_EQ(tb.size(), 24u + 9u * 328u);
  EXPECT_EQ(le32(tb, 0), 16u);
  EXPECT_EQ(le32(tb, 20), 16u);
  // No temporary file is left behind.
  int files = 0;
  for (const auto& e : fs::directory_iterator(".")) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
}

TEST(RestartFile, RoundTripRaisesTheLimits) {
  qtest::ScratchDir dir;
  qtest::WorkingDir here(dir.path());
  auto s = small_state(true);
  s->cterm.iter = 57;
  for (int j = 1; j <= 8; ++j)
    for (int i = 1; i <= 10; ++i) {
      s->cvar.u(i, j) = static_cast<float>(i) + 0.5f * static_cast<float>(j);
      s->cprop.gamc(i, j) = -static_cast<float>(i * j);
    }
  questrand::write_restart(*s);
  auto r = small_state(true);
  r->cterm.maxit = 100;
  EXPECT_TRUE(questrand::read_restart(*r));
  EXPECT_EQ(r->cterm.iter, 57);
  EXPECT_EQ(r->cterm.maxit, 157);
  for (int j = 1; j <= 8; ++j)
    for (int i = 1; i <= 10; ++i) {
      EXPECT_EQ(r->cvar.u(i, j), s->cvar.u(i, j));
      EXPECT_EQ(r->cprop.gamc(i, j), s->cprop.gamc(i, j));
    }

  auto t = small_state(false);
  t->ctime.istep = 40;
  t->ctime.time = 20.0f;
  questrand::write_restart(*t);
  auto rt = small_state(false);
  rt->ctime.nsteps = 10;
  questrand::read_restart(*rt);
  EXPECT_EQ(rt->ctime.istep, 40);
  EXPECT_EQ(rt->ctime.time, 20.0f);
  EXPECT_EQ(rt->ctime.nsteps, 50);
}

TEST(RestartFile, UnsuitableFilesAreRejectedAndChangeNothing) {
  qtest::ScratchDir dir;
  qtest::WorkingDir here(dir.path());
  auto s = small_state(false);
  questrand::write_restart(*s);
  const std::string good = qtest::read_file("RUN1.sav");
  auto expect_rejected = [](const std::string& bytes, bool steady, const std::string& words) {
    auto r = small_state(steady);
    const float u_before = r->cvar.u(3, 2);
    const int nsteps = r->ctime.nsteps;
    try {
      questrand::load_restart(*r, "RUN1.sav", bytes);
      ADD_FAILURE() << "accepted: " << words;
    } catch (const questrand::io::InputError& e) {
      EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("RUN1.sav: record ", 0), 0u) << e.what();
    }
    EXPECT_EQ(r->cvar.u(3, 2), u_before);
    EXPECT_EQ(r->ctime.nsteps, nsteps);
  };
  expect_rejected(good, true, "transient run's restart file, read by a steady run");
  expect_rejected(good.substr(0, 100), false, "truncated");
  expect_rejected(good.substr(0, good.size() - 2), false, "truncated");
  expect_rejected(good.substr(0, 24 + 328 * 8), false, "record 10");
  std::string lying = good;
  lying[24] = static_cast<char>(0xFF);  // record 2 claims more bytes
  expect_rejected(lying, false, "expected 320");
  std::string broken = good;
  broken[24 + 324] = 0x41;  // closing length word of record 2
  expect_rejected(broken, false, "closing length word");
  expect_rejected("", false, "missing");

  // Counts that would overflow the raised limit, or negative ones.
  for (const unsigned count : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    std::string bad = good;
    for (int k = 0; k < 4; ++k) bad[12 + k] = static_cast<char>((count >> (8 * k)) & 0xFF);
    expect_rejected(bad, false, "step number");
  }
  std::string nan_time = good;
  nan_time[16] = 0; nan_time[17] = 0; nan_time[18] = static_cast<char>(0xC0); nan_time[19] = 0x7F;
  expect_rejected(nan_time, false, "time is not a finite number");

  // A file of another grid.
  qtest::ProblemText p;
  p.ni = 12;
  p.n_flow = 2;
  p.n_memb = 1;
  p.n_gel = 3;
  p.runname = "RUN1";
  auto other = qtest::prepared_state(p.text());
  questrand::write_restart(*other);
  const std::string wide = qtest::read_file("RUN1.sav");
  auto r = small_state(false);
  try {
    questrand::load_restart(*r, "RUN1.sav", wide);
    ADD_FAILURE() << "a 12 by 8 file was read on a 10 by 8 grid";
  } catch (const questrand::io::InputError& e) {
    EXPECT_NE(std::string(e.what()).find("12 by 8 grid, but PROB.INP gives a 10 by 8 grid"), std::string::npos)
        << e.what();
  }
}

TEST(RestartFile, MissingFileIsReportedOnTheConsoleAndTheRunGoesOn) {
  qtest::ScratchDir dir;
  qtest::WorkingDir here(dir.path());
  auto s = small_state(false);
  EXPECT_FALSE(questrand::read_restart(*s));
  char* buf = nullptr;
  std::size_t len = 0;
  std::FILE* con = open_memstream(&buf, &len);
  {
    questrand::RunOutput out(con);
    out.restart_missing(*s);
  }
  std::fclose(con);
  EXPECT_EQ(std::string(buf, len), "  UNABLE TO READ RESTART FILE RUN1.sav    \n");
  std::free(buf);
}

TEST(SaveFiles, NamesAndInterpolatedVelocities) {
  qtest::ScratchDir dir;
  qtest::WorkingDir here(dir.path());
  auto s = small_state(false);
  EXPECT_EQ(questrand::run_files(s->cio).save(".VEL"), "RUN1    .VEL");  // blanks of the stem kept
  EXPECT_EQ(questrand::run_files(s->cio).uptake(), "RUN1.UPT");
  s->cio.runname = "RESULT.     ";
  EXPECT_EQ(questrand::run_files(s->cio).save(".PRS"), "RESULT.PRS");

  // A 3 by 3 grid: one line, for node (2, 2), with the worked values.
  auto t = std::make_unique<State>();
  t->cio.runname = "RESULT.     ";
  t->cio.save_vel = true;
  t->cgrid.ilast = 2;
  t->cgrid.jlast = 2;
  t->cvar.u(2, 2) = 0.25f;
  t->cvar.u(3, 2) = 0.25f;
  t->cvar.v(2, 2) = 0.00001f;
  t->cvar.v(2, 3) = 0.00001f;
  t->cgrid.x(1) = -0.5f; t->cgrid.x(2) = 0.5f; t->cgrid.x(3) = 1.5f;
  t->cgrid.y(1) = 0.5f; t->cgrid.y(2) = 1.5f; t->cgrid.y(3) = 2.5f;
  questrand::write_save_files(*t, questrand::run_files(t->cio));
  EXPECT_EQ(qtest::read_file("RESULT.VEL"), " 0.500000000 1.50000000 0.250000000 9.99999975E-06 \n");
}
