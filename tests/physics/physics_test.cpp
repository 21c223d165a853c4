// PHYSICS.INP: partition, the gel's sink and reaction against their exact
// steady states, the species balance with them, and the checks of the file.
#include "physics/physics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "control/run.hpp"
#include "io/list_reader.hpp"
#include "observables/uptake.hpp"
#include "setup/properties.hpp"
#include "state_support.hpp"
#include "test_support.hpp"

using questrand::IterationState;
using questrand::Scheme;
using questrand::State;

namespace {

constexpr double kMemb = 1.0e-4, kGel = 5.0e-4;  // the stack's thicknesses (m)
constexpr double kDm = 5.0e-10, kDg = 8.0e-10;

// The held stack (state_support.hpp) with the physics `set` applies.
template <class Set>
std::unique_ptr<State> stack(Set set, int n_memb, int n_gel, float dt) {
  auto s = qtest::held_stack(kDm, kDg, n_memb, n_gel, dt, 6);
  s->cscheme.scheme = Scheme::second_order;
  s->cphys.present = true;
  set(s->cphys);
  questrand::props(*s);
  questrand::set_initial_gel(*s);
  return s;
}

void step(State& s) { qtest::time_step(s); }

void run(State& s, int steps) {
  for (int n = 0; n < steps; ++n) step(s);
}

}  // namespace

// Closed back, K_m = 2, K_g = 5: at equilibrium each layer holds K c_in (the
// variable continuous across the faces is c / K), within 1e-5 of it.
TEST(Physics, PartitionedLayersEquilibrateAtKTimesTheInlet) {
  auto s = stack([](questrand::Cphys& p) { p.partition_memb = 2.0f, p.partition_gel = 5.0f; }, 4, 8, 400.0f);
  run(*s, 60);  // 24000 s: some 30 times b^2 / D_g
  const auto up = questrand::uptake_of(*s);
  std::printf("equilibrium: membrane %.7f (2), gel %.7f (5)\n", up.c_memb_mean, up.c_gel_mean);
  EXPECT_NEAR(up.c_memb_mean, 2.0, 1e-5);
  EXPECT_NEAR(up.c_gel_mean, 5.0, 1e-5);
}

// A sink behind the gel, K_m = 2, K_g = 0.5: the steady flux per unit area is
// c_in / (a / (K_m D_m) + b / (K_g D_g)) (two resistances in series), and the
// profile is linear in each layer.  The accumulated sink mass grows at that
// rate within 1e-4; the gel's mean and mid-depth value are K_g times the
// mean of its linear phi, its back-face value the sink's 0.
TEST(Physics, SinkTakesTheSteadySeriesFlux) {
  auto s = stack([](questrand::Cphys& p) { p.partition_memb = 2.0f, p.partition_gel = 0.5f, p.sink = true; }, 4, 8,
                 200.0f);
  run(*s, 100);  // 20000 s
  const double before = s->cphys.m_sink;
  run(*s, 10);
  const double width = s->cprob.chlength;
  const double rate = (s->cphys.m_sink - before) / (10 * 200.0) / width;
  const double exact = 1.0 / (kMemb / (2.0 * kDm) + kGel / (0.5 * kDg));
  std::printf("sink flux %.6e, exact %.6e (relative %.2e)\n", rate, exact, rate / exact - 1.0);
  EXPECT_NEAR(rate / exact, 1.0, 1e-4);
  // the gel's mean: K_g times the mean of its linear phi profile
  const double phi_face = 1.0 - exact * kMemb / (2.0 * kDm);
  const auto up = questrand::uptake_of(*s);
  EXPECT_NEAR(up.c_gel_mean, 0.5 * 0.5 * phi_face, 2e-5);
  // the linear profile's values at the gel's mid-depth and on its back face (the sink's 0)
  EXPECT_NEAR(up.c_gel_mid, 0.5 * 0.5 * phi_face, 2e-5);
  EXPECT_EQ(up.c_gel_top, 0.0);
}

// First-order uptake in the gel (k = 2e-3 1/s), closed back, K_g = 3: the
// steady state is linear in the membrane and phi = A cosh(m (L - z)) in the
// gel, m = sqrt(k / D_g), with A from continuity of phi and of K D phi' at the
// gel's face; the gel's mean is K_g A sinh(m b) / (m b).  On 4/8 and 8/16 rows
// its error falls at order 1.8 or more, and is below 5e-4 of it on 8/16; the
// reacted amount's rate is k times the gel's amount.
TEST(Physics, ReactingGelReachesItsSteadyProfileAtOrderTwo) {
  const double k = 2.0e-3;
  const double m = std::sqrt(k / kDg);
  const double a = 1.0 / (std::cosh(m * kGel) + kMemb * 3.0 * kDg * m / kDm * std::sinh(m * kGel));
  const double exact = 3.0 * a * std::sinh(m * kGel) / (m * kGel);
  double error[2];
  for (int level = 0; level < 2; ++level) {
    const int f = 1 << level;
    auto s = stack([k](questrand::Cphys& p) { p.partition_gel = 3.0f, p.rate_gel = static_cast<float>(k); }, 4 * f,
                   8 * f, 200.0f);
    run(*s, 100);
    const auto up = questrand::uptake_of(*s);
    const double before = s->cphys.m_reacted;
    run(*s, 1);
    const double rate = (s->cphys.m_reacted - before) / 200.0;
    error[level] = up.c_gel_mean - exact;
    std::printf("reacting gel, %d/%d rows: mean %.6f, exact %.6f; reacted rate / (k m_gel) - 1 = %.2e\n", 4 * f,
                8 * f, up.c_gel_mean, exact, rate / (k * up.m_gel) - 1.0);
    EXPECT_NEAR(rate / (k * questrand::uptake_of(*s).m_gel), 1.0, 1e-5);
  }
  const double order = std::log2(std::fabs(error[0] / error[1]));
  std::printf("reacting gel: observed order %.2f\n", order);
  EXPECT_GE(order, 1.8);
  EXPECT_LT(std::fabs(error[1]), 5e-4 * exact);
}

// Every bad line gives one error naming the file, the line and the key.
TEST(Physics, BadLinesNameTheFileTheLineAndTheKey) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"partition_gel = 0\n", "PHYSICS.INP: line 1: partition_gel: expected a number greater than 0, found \"0\""},
      {"# a comment\n\nrate_gel = -1\n", "PHYSICS.INP: line 3: rate_gel: expected a number of at least 0, found \"-1\""},
      {"gel_back = open\n", "PHYSICS.INP: line 1: gel_back: expected closed or sink, found \"open\""},
      {"partition = 2\n", "PHYSICS.INP: line 1: unknown key \"partition\", expected one of partition_memb"},
      {"c0_gel = 1\nc0_gel = 2\n", "PHYSICS.INP: line 2: c0_gel: given twice (first on line 1)"},
      {"washout_at = 10\ninlet = IN.csv\n", "PHYSICS.INP: line 2: inlet: expected no inlet record together with washout_at"},
      {"partition_memb 2\n", "PHYSICS.INP: line 1: expected key = value, found \"partition_memb 2\""},
      {"lower_face = open\n", "PHYSICS.INP: line 1: lower_face: expected symmetry or wall, found \"open\""},
      {"inlet = no-such-inlet.csv\n", "no-such-inlet.csv: cannot open the inlet record"},
  };
  for (const auto& c : cases) {
    auto s = std::make_unique<State>();  // large: on the heap
    try {
      questrand::read_physics_text(*s, "PHYSICS.INP", c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const questrand::io::InputError& e) {
      EXPECT_EQ(std::string(e.what()).find(c.message), 0u) << e.what();
    }
  }
}

// A refused PHYSICS.INP stops the run before it writes anything (status 2,
// one line); a good one (partition, sink and reaction at once) is named in
// the record, the uptake file gains m_sink and m_reacted, and the species
// balance of every step, with what left into the sink and reacted, closes to
// 1e-6 of the amount held under both schemes.
TEST(Physics, RefusedFileWritesNothingAndAGoodOneIsRecorded) {
  qtest::ScratchDir dir("qt-physics");
  qtest::ProblemText p;
  p.runname = "PHYS.OUT";
  qtest::write_file(dir.path() / "PROB.INP", p.text());
  qtest::write_file(dir.path() / "PHYSICS.INP", "partition_gel = 5\nrate_gel = nan\n");
  EXPECT_EQ(qtest::run_program(dir.path()), 2);
  const std::string err = qtest::read_file(dir.path() / "stderr.txt");
  EXPECT_EQ(err, "PHYSICS.INP: line 2: rate_gel: expected a number of at least 0, found \"nan\"\n");
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) files += e.path().filename() != "console.txt";
  EXPECT_EQ(files, 3);  // PROB.INP, PHYSICS.INP, stderr.txt
  qtest::write_file(dir.path() / "PHYSICS.INP", "partition_gel = 5\ngel_back = sink\nrate_gel = 0.01\npartition_memb = 2\n");
  EXPECT_EQ(qtest::run_program(dir.path()), 0);
  for (const bool second_order : {false, true}) {
    const std::string flags = second_order ? " --scheme second-order" : "";
    const std::string command = "cd '" + dir.path().string() + "' && '" QUESTRAND_EXE "'" + flags + " > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const auto rows = qtest::lines_of(qtest::read_file(dir.path() / "PHYS.UPT"));
    double worst = 0.0, last_sink = 0.0, last_reacted = 0.0;
    for (std::size_t k = 1; k < rows.size(); ++k) {
      std::vector<double> v;
      std::stringstream in(rows[k]);
      for (std::string cell; std::getline(in, cell, ',');) v.push_back(std::stod(cell));
      ASSERT_EQ(v.size(), 14u);
      worst = std::max(worst, std::fabs(v[8]));
      EXPECT_GE(v[12], last_sink);
      EXPECT_GT(v[13], last_reacted);
      last_sink = v[12], last_reacted = v[13];
    }
    std::printf("%s: worst step balance %.2e with sink, reaction and partition\n",
                second_order ? "second-order" : "standard", worst);
    EXPECT_LT(worst, 1e-6);
  }
  EXPECT_NE(qtest::read_file(dir.path() / "PHYS.record.json").find("\"physics\": {\"partition_memb\": 2, \"partition_gel\": 5, \"gel_back\": \"sink\", \"rate_gel\": 0.01"),
            std::string::npos);
  EXPECT_EQ(qtest::lines_of(qtest::read_file(dir.path() / "PHYS.UPT"))[0].substr(0, 5), "time,");
  EXPECT_NE(qtest::read_file(dir.path() / "PHYS.UPT").find(",m_sink,m_reacted\n"), std::string::npos);
}
