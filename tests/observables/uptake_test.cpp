// The uptake observables: a membrane and gel filled from a channel held at
// the inlet concentration, against the two-layer slab series; the amounts
// against the step's field file; the species balance of a flow and
// concentration run; the file's layout for transient, steady and continued
// runs.
#include "observables/uptake.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <vector>

#include "control/run.hpp"
#include "output/uptake_file.hpp"
#include "state_support.hpp"
#include "test_support.hpp"
#include "two_layer_slab.hpp"

namespace fs = std::filesystem;
using questrand::IterationState;
using questrand::State;

namespace {

void run_steps(State& s) {
  while (!questrand::run_finished(s)) {
    questrand::begin_time_step(s);
    for (;;) {
      const auto o = questrand::outer_iteration(s);
      ASSERT_NE(o.state, IterationState::Diverged);
      if (o.state != IterationState::Continue && !questrand::next_substep(s)) break;
    }
    questrand::end_time_step(s);
  }
}

}  // namespace

// A membrane and a gel of unit thickness under a channel kept at the inlet
// concentration (a fast, well-mixed stream): the layer means and the point
// values (mid-membrane, mid-gel, top of the gel) follow the slab series of
// the physical layers within 3e-3 of c_in.  The bound covers the first-order
// time stepping (dt = 0.001 against decay times of 0.5 and more) and 25
// cells per layer; the series itself is exact to 1e-9.
TEST(Uptake, MembraneAndGelFillAsTheTwoLayerSlabSeries) {
  qtest::ProblemText p;
  p.chlength = 0.1f;
  p.halfgap = 0.002f;
  p.th_memb = 1.0f;
  p.th_gel = 1.0f;
  p.u_in = 1.0e5f;
  p.parabolic = false;
  p.ni = 7;
  p.n_flow = 2;
  p.n_memb = 25;
  p.n_gel = 25;
  p.dt = 0.001f;
  p.nsteps = 250;
  p.maxit = 50;
  p.convtol = 1.0e-6f;
  p.prt_step = 1000;
  std::string text = p.text();
  text.replace(text.find("1.0E-9 5.0E-10 8.0E-10"), 22, "0.5 0.5 0.25");
  auto s = qtest::prepared_state(text);
  const qtest::TwoLayerSlab slab(0.5, 0.25, 1.0, 1.0);
  // Slab coordinates z = y - halfgap: the membrane is 0..1, the gel 1..2.
  double worst = 0.0;
  for (int k = 1; k <= 5; ++k) {
    s->ctime.nsteps = 200 * k;
    run_steps(*s);
    const questrand::Uptake up = questrand::uptake_of(*s);
    const double t = s->ctime.time;
    const double memb = slab.integral(0.0, 1.0, t), gel = slab.integral(1.0, 2.0, t);
    const double points[3][2] = {{up.c_memb_mid, slab.value(0.5, t)},
                                 {up.c_gel_mid, slab.value(1.5, t)},
                                 {up.c_gel_top, slab.value(2.0, t)}};
    worst = std::max({worst, std::fabs(up.c_memb_mean - memb), std::fabs(up.c_gel_mean - gel)});
    for (const auto& pt : points) worst = std::max(worst, std::fabs(pt[0] - pt[1]));
    std::printf("t = %.2f: membrane %.5f (series %.5f), gel %.5f (series %.5f), top %.5f (series %.5f)\n", t,
                up.c_memb_mean, memb, up.c_gel_mean, gel, up.c_gel_top, points[2][1]);
  }
  EXPECT_LT(worst, 3.0e-3);
}

namespace {

struct UptakeRows {
  std::string header;
  std::vector<std::vector<double>> rows;
};

UptakeRows read_uptake(const fs::path& p) {
  UptakeRows t;
  const auto lines = qtest::lines_of(qtest::read_file(p));
  for (const std::string& line : lines) {
    if (line.rfind("time,", 0) == 0) {
      t.header = line;
      continue;
    }
    std::vector<double> row;
    std::istringstream in(line);
    std::string cell;
    while (std::getline(in, cell, ',')) row.push_back(std::stod(cell));
    t.rows.push_back(row);
  }
  return t;
}

qtest::ProblemText flow_and_concentration() {
  qtest::ProblemText p;
  p.flow = true;
  p.conc = true;
  p.nsteps = 6;
  p.dt = 0.5f;
  p.prt_step = 3;
  p.maxit = 400;
  p.convtol = 1.0e-6f;
  p.runname = "UPT.OUT";
  return p;
}

}  // namespace

// One line per step, the amounts equal to the sums over the step's field file
// with the program's cells, and a species balance at the level of the
// converged residuals (convtol 1e-6) in a run that solves flow and
// concentration.
TEST(Uptake, FileAgreesWithTheFieldFilesAndConservesSpecies) {
  qtest::ScratchDir dir;
  const qtest::ProblemText p = flow_and_concentration();
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(dir.path()), 0) << qtest::read_file(dir.path() / "stderr.txt");
  const UptakeRows up = read_uptake(dir.path() / "UPT.UPT");
  EXPECT_EQ(up.header, questrand::kUptakeHeader);
  ASSERT_EQ(up.rows.size(), 6u);
  for (std::size_t k = 0; k < up.rows.size(); ++k) EXPECT_DOUBLE_EQ(up.rows[k][0], 0.5 * static_cast<double>(k + 1));

  // The gel's rows and their design cells (thickness / rows), from a state
  // prepared from the same input.
  auto s = qtest::prepared_state(p.text());
  const auto& g = s->cgrid;
  const auto& pb = s->cprob;
  for (int step : {1, 3, 6}) {
    char name[16];
    std::snprintf(name, sizeof name, "T%05d.CON", step);
    const auto lines = qtest::lines_of(qtest::read_file(dir.path() / name));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>((g.ni - 2) * (g.nj - 2)));
    double m_gel = 0.0, m_memb = 0.0;
    std::size_t k = 0;
    for (int j = 2; j <= g.jlast; ++j)
      for (int i = 2; i <= g.ilast; ++i, ++k) {
        double x, y, c;
        std::istringstream(lines[k]) >> x >> y >> c;
        const double wx = g.wx(i);
        if (j >= pb.jgel1 && j <= pb.jgel2) m_gel += c * wx * (static_cast<double>(pb.th_gel) / pb.n_gel);
        if (j >= pb.jmemb1 && j <= pb.jmemb2) m_memb += c * wx * (static_cast<double>(pb.th_memb) / pb.n_memb);
      }
    EXPECT_NEAR(up.rows[step - 1][3], m_gel, 1e-8 * m_gel + 1e-30) << "step " << step;
    EXPECT_NEAR(up.rows[step - 1][2], m_memb, 1e-8 * m_memb + 1e-30) << "step " << step;
  }
  double worst = 0.0;
  for (const auto& row : up.rows) worst = std::max(worst, std::fabs(row[8]));
  EXPECT_LT(worst, 1.0e-6);
  std::printf("species balance of the steps: worst %.3g of the amount held\n", worst);
  // The gel fills monotonically; the mixing-cup outlet value lies in 0..c_in.
  for (std::size_t k = 1; k < up.rows.size(); ++k) EXPECT_GT(up.rows[k][3], up.rows[k - 1][3]);
  for (const auto& row : up.rows) EXPECT_TRUE(row[7] >= 0.0 && row[7] <= 1.0) << row[7];
}

// A steady run writes one line (time 0); a run continued from its restart
// file appends to the file of the first, without a second header.
TEST(Uptake, SteadyAndContinuedRuns) {
  qtest::ScratchDir dir;
  qtest::ProblemText p = flow_and_concentration();
  p.steady = true;
  p.flow = false;
  p.maxit = 200;
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(dir.path()), 0);
  const UptakeRows steady = read_uptake(dir.path() / "UPT.UPT");
  ASSERT_EQ(steady.rows.size(), 1u);
  EXPECT_EQ(steady.rows[0][0], 0.0);

  qtest::ScratchDir dir2;
  p = flow_and_concentration();
  p.flow = false;
  p.nsteps = 2;
  p.restart_out = true;
  qtest::write_file(dir2.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(dir2.path()), 0);
  p.restart_in = true;
  p.nsteps = 3;
  qtest::write_file(dir2.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(dir2.path()), 0);
  const std::string text = qtest::read_file(dir2.path() / "UPT.UPT");
  EXPECT_EQ(text.find("time,", 1), std::string::npos) << "one header";
  const UptakeRows cont = read_uptake(dir2.path() / "UPT.UPT");
  ASSERT_EQ(cont.rows.size(), 5u);
  for (std::size_t k = 0; k < 5; ++k) EXPECT_DOUBLE_EQ(cont.rows[k][0], 0.5 * static_cast<double>(k + 1));

  // A new run from time zero replaces the file.
  p.restart_in = false;
  p.nsteps = 1;
  qtest::write_file(dir2.path() / "PROB.INP", p.text());
  ASSERT_EQ(qtest::run_program(dir2.path()), 0);
  EXPECT_EQ(read_uptake(dir2.path() / "UPT.UPT").rows.size(), 1u);
}
