// Building a ready-to-solve state from a problem input, for the tests.
#pragma once

#include <memory>
#include <string>

#include "core/state.hpp"

namespace qtest {

// A PROB.INP text of the instrument with the given grid and switches; other
// values are those of the reference runs (2 cm channel, 1 mm half-gap,
// water-like fluid).
struct ProblemText {
  int ni = 22;
  int n_flow = 10, n_memb = 4, n_gel = 8;
  bool steady = false;
  int nsteps = 3;
  float dt = 0.25f;
  bool flow = false, conc = true;
  int maxit = 20;
  float convtol = 1.0e-5f;
  float relax_u = 0.5f, relax_p = 0.5f, relax_c = 1.0f;
  int solver_u = 1, solver_p = 1, solver_c = 1;
  int imon = 5, jmon = 3;
  int prt_step = 1;
  std::string runname = "TEST.OUT";
  bool restart_out = false, restart_in = false;
  bool parabolic = true;
  float u_in = 0.005f;
  float chlength = 0.02f, halfgap = 0.001f, th_memb = 1.0e-4f, th_gel = 5.0e-4f;
  float viscosity = 1.0e-3f;
  std::string text() const;
};

// read_problem, geom, starting fields, init and props: the state as the run
// driver has it just before its time loop (without restart or output).
std::unique_ptr<questrand::State> prepared_state(const std::string& prob_text);

// The membrane and gel of the instrument (d_memb, d_gel in m2/s; 1e-4 m and
// 5e-4 m thick) under a channel that holds c = c_in = 1 on the membrane face:
// a fast plug flow (every channel cell upwinded to the inlet value) and a
// channel diffusivity so large that its half cell adds nothing to the face's
// resistance.  The scheme is the caller's to set.
std::unique_ptr<questrand::State> held_stack(double d_memb, double d_gel, int n_memb, int n_gel, float dt, int maxit);

// One time step of a prepared state as a run makes it: its outer iterations
// to convergence (a diverged one fails the test), the second-order start's
// sub-steps and the physics' end of each level included.
void time_step(questrand::State& s);

}  // namespace qtest
