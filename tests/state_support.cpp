#include "state_support.hpp"

#include <cstdio>
#include <sstream>

#include <gtest/gtest.h>

#include "control/run.hpp"
#include "physics/physics.hpp"
#include "setup/input.hpp"

namespace qtest {

std::string ProblemText::text() const {
  auto tf = [](bool b) { return b ? "T" : "F"; };
  std::ostringstream o;
  o.precision(9);
  o << "TEST PROBLEM\nline 2\nline 3\nGEOMETRY\nlength, half-gap, membrane, gel\n"
    << chlength << " " << halfgap << " " << th_memb << " " << th_gel << "\n"
    << "inlet velocity\n" << u_in << "\nparabolic\n" << tf(parabolic) << "\nspare\n0.0\ninlet concentration\n1.0\n"
    << "FLUID\ndensity\n1000.0\nviscosity\n" << viscosity << "\ndiffusivities\n1.0E-9 5.0E-10 8.0E-10\n"
    << "GRID\ncolumns\n" << ni << "\nrows\n" << n_flow << " " << n_memb << " " << n_gel << "\n"
    << "TIME\nsteady\n" << tf(steady) << "\nlast step\n" << nsteps << "\ndt\n" << dt << "\n"
    << "EQUATIONS\nflow\n" << tf(flow) << "\nconcentration\n" << tf(conc) << "\n"
    << "ITERATION\nmaxit\n" << maxit << "\nconvtol\n" << convtol << "\n"
    << "RELAXATION\nu, p\n" << relax_u << " " << relax_p << "\nc\n" << relax_c << "\n"
    << "SOLVERS\nu, p\n" << solver_u << " " << solver_p << "\nc\n" << solver_c << "\n"
    << "OUTPUT\nmonitor\n" << imon << " " << jmon << "\nprt_step\n" << prt_step << "\nrun name\n" << runname << "\n"
    << "restart out\n" << tf(restart_out) << "\nrestart in\n" << tf(restart_in) << "\n";
  return o.str();
}

std::unique_ptr<questrand::State> prepared_state(const std::string& prob_text) {
  auto s = std::make_unique<questrand::State>();
  questrand::read_problem(*s, "PROB.INP", prob_text);
  questrand::start_run(*s);
  return s;
}

std::unique_ptr<questrand::State> held_stack(double d_memb, double d_gel, int n_memb, int n_gel, float dt, int maxit) {
  ProblemText p;
  p.chlength = 0.1f;
  p.u_in = 1.0e5f;
  p.parabolic = false;
  p.ni = 5;
  p.n_flow = 2;
  p.n_memb = n_memb;
  p.n_gel = n_gel;
  p.dt = dt;
  p.nsteps = 0;
  p.maxit = maxit;
  p.convtol = 0.0f;
  std::string text = p.text();
  char d[64];
  std::snprintf(d, sizeof d, "1.0 %.9g %.9g", d_memb, d_gel);
  text.replace(text.find("1.0E-9 5.0E-10 8.0E-10"), 22, d);
  auto s = prepared_state(text);
  s->cters.tol_c = 0.0f;
  return s;
}

void time_step(questrand::State& s) {
  questrand::begin_time_step(s);
  for (;;) {
    const auto o = questrand::outer_iteration(s);
    ASSERT_NE(o.state, questrand::IterationState::Diverged);
    if (o.state != questrand::IterationState::Continue) {
      questrand::physics_level_ended(s);
      if (!questrand::next_substep(s)) break;
    }
  }
  questrand::end_time_step(s);
}

}  // namespace qtest
