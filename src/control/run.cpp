#include "control/run.hpp"

#include "physics/physics.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "control/init.hpp"
#include "control/restart.hpp"
#include "core/graded_columns.hpp"
#include "discretise/momentum.hpp"
#include "discretise/scalar_transport.hpp"
#include "io/json.hpp"
#include "io/list_reader.hpp"
#include "setup/run_files.hpp"
#include "setup/geometry.hpp"
#include "setup/properties.hpp"

namespace questrand {

namespace {

// residual / reference, or the residual itself when the reference is zero.
float normalised(float residual, float reference) { return reference != 0.0f ? residual / reference : residual; }

void normalise_residuals(Cterm& tm) {
  tm.res_mass = normalised(tm.res_mass, tm.resref_m);
  tm.res_u = normalised(tm.res_u, tm.resref_u);
  tm.res_v = normalised(tm.res_v, tm.resref_v);
  tm.res_t = normalised(tm.res_t, tm.resref_t);
  tm.res_c = normalised(tm.res_c, tm.resref_c);
}

IterationOutcome test_iteration(const Cterm& tm) {
  struct Named {
    float value;
    const char* equation;
  };
  const Named residuals[] = {{tm.res_mass, "pressure correction (mass)"},
                             {tm.res_u, "u-momentum"},
                             {tm.res_v, "v-momentum"},
                             {tm.res_t, "temperature"},
                             {tm.res_c, "concentration"}};
  for (const Named& r : residuals)
    if (!std::isfinite(r.value)) return {IterationState::Diverged, r.equation};
  float rmax = tm.res_mass;
  for (float r : {tm.res_u, tm.res_v, tm.res_t, tm.res_c})
    if (r >= rmax) rmax = r;
  if (rmax <= tm.convtol) return {IterationState::Converged};
  if (tm.iter == tm.maxit) return {IterationState::Limit};
  return {IterationState::Continue};
}

}  // namespace

void copy_to_old_level(State& s) {
  const std::pair<Field*, const Field*> old_and_new[] = {{&s.cvar.uold, &s.cvar.u},
                                                         {&s.cvar.vold, &s.cvar.v},
                                                         {&s.cvar.told, &s.cvar.t},
                                                         {&s.cvar.cold, &s.cvar.c},
                                                         {&s.cprop.denold, &s.cprop.den}};
  for (const auto& [old, now] : old_and_new)
    for (int j = 1; j <= s.cgrid.nj; ++j)
      for (int i = 1; i <= s.cgrid.ni; ++i) (*old)(i, j) = (*now)(i, j);
}

void set_starting_fields(State& s) {
  const Cgrid& g = s.cgrid;
  for (int j = 1; j <= g.nj; ++j) {
    for (int i = 1; i <= g.ni; ++i) {
      s.cvar.u(i, j) = 0.0f;
      s.cvar.v(i, j) = 0.0f;
      s.cvar.p(i, j) = 0.0f;
      s.cvar.pcor(i, j) = 0.0f;
      s.cvar.t(i, j) = 0.0f;
      s.cvar.c(i, j) = 0.0f;
      s.cprop.den(i, j) = s.cprop.den0;
      s.cprop.vis(i, j) = s.cprop.vis0;
      s.cprop.gamt(i, j) = s.cprop.vis0 / s.cprop.prandtl;
      s.cprop.gamc(i, j) = s.cprop.vis0 / s.cprop.schmidt;
    }
  }
}

namespace {

// u, v and p of the run from `flow` (see start_run), after its checks.
void take_flow(State& s, const FlowFields& flow) {
  const int ni = s.cgrid.ni, nj = s.cgrid.nj;
  if (s.cio.restart_in)
    throw io::InputError("the flow handed to the run: the problem also reads its restart file " +
                         run_files(s.cio).restart_in + "; a run starts from one or the other");
  if (flow.ni != ni || flow.nj != nj)
    throw io::InputError("the flow handed to the run: a " + std::to_string(flow.ni) + " by " +
                         std::to_string(flow.nj) + " grid, but PROB.INP gives a " + std::to_string(ni) + " by " +
                         std::to_string(nj) + " grid");
  const std::pair<Field*, const float*> fields[] = {{&s.cvar.u, flow.u}, {&s.cvar.v, flow.v}, {&s.cvar.p, flow.p}};
  const char* names[] = {"u", "v", "p"};
  for (int k = 0; k < 3; ++k) {
    const float* given = fields[k].second;
    if (given == nullptr) throw io::InputError(std::string("the flow handed to the run: no field ") + names[k]);
    for (int j = 1; j <= nj; ++j)
      for (int i = 1; i <= ni; ++i)
        if (!std::isfinite(given[(j - 1) * ni + (i - 1)]))
          throw io::InputError(std::string("the flow handed to the run: field ") + names[k] + ": the value at node (" +
                               std::to_string(i) + "," + std::to_string(j) + ") is not a finite number");
  }
  for (const auto& [field, given] : fields)
    for (int j = 1; j <= nj; ++j)
      for (int i = 1; i <= ni; ++i) (*field)(i, j) = given[(j - 1) * ni + (i - 1)];
}

}  // namespace

RestartRead start_run(State& s, const FlowFields* flow) {
  geom(s);
  set_starting_fields(s);
  init(s);
  set_initial_gel(s);
  RestartRead restart = RestartRead::NotAsked;
  if (flow != nullptr) {
    take_flow(s, *flow);
  } else if (s.cio.restart_in) {
    restart = read_restart(s) ? RestartRead::Read : RestartRead::Missing;
  }
  props(s);
  return restart;
}

namespace {

// Begins one (sub-)step of size h under the second-order scheme: the ratio of its size to the previous one for the BDF2 weights,
// c_old to c_2old from the second on, the bounded-step marks cleared.
void begin_level(State& s, float h) {
  Cscheme& sc = s.cscheme;
  sc.steps = sc.steps + 1;
  sc.step_ratio = sc.steps >= 2 && sc.last_dt > 0.0f ? h / sc.last_dt : 1.0f;
  sc.last_dt = h;
  if (sc.steps >= 2)
    for (int j = 1; j <= s.cgrid.nj; ++j)
      for (int i = 1; i <= s.cgrid.ni; ++i) sc.c2old(i, j) = s.cvar.cold(i, j);
  for (int j = 1; j <= s.cgrid.nj; ++j)
    for (int i = 1; i <= s.cgrid.ni; ++i) sc.limited(i, j) = 0.0f;
}

}  // namespace

int start_substeps(int step_of_run, int factor, int first) {
  const int reference_step = (step_of_run - 1) / factor + 1;
  int substeps = first;  // halved at each step after the first, down to 1
  for (int k = 1; k < reference_step && substeps > 1; ++k) substeps /= 2;
  return substeps;
}

void set_start_factor(State& s) {
  Cscheme& sc = s.cscheme;
  sc.start_factor = 1;
  if (sc.start_dt == 0.0f) return;
  const std::string option = "option --start-dt " + io::json_real(sc.start_dt);
  if (!is_second_order(sc.scheme))
    throw io::InputError(option + ": the start it sets is the second-order scheme's (give --scheme second-order)");
  if (s.ctime.steady)
    throw io::InputError(option + ": PROB.INP asks for a steady solve, which has no start in time");
  const double ratio = static_cast<double>(sc.start_dt) / s.ctime.dt;
  const double whole = std::round(ratio);
  if (!(whole >= 1.0 && whole <= 1.0e6 && std::fabs(ratio - whole) <= 1.0e-4 * whole))
    throw io::InputError(option + ": expected a whole multiple (1, 2, 3 ...) of the time step dt = " +
                         io::json_real(s.ctime.dt) + " of PROB.INP");
  sc.start_factor = static_cast<int>(whole);
}

void begin_time_step(State& s) {
  s.ctime.istep = s.ctime.istep + 1;
  Cscheme& sc = s.cscheme;
  if (is_second_order(sc.scheme)) {
    if (sc.output_steps == 0) sc.from_time_zero = s.ctime.time == 0.0f;
    // The start's first interior column holds the inlet value (column 1's):
    // under the second-order scheme it stands for the channel beyond the
    // inlet face and starts as the column after it does (an empty cell starts
    // empty), so that the start does not depend on the grid's column width.
    if (sc.output_steps == 0 && sc.from_time_zero && s.cgrid.ilast >= 3)
      for (int j = 2; j <= s.cprob.jflow2; ++j) s.cvar.c(2, j) = s.cvar.c(3, j);
    sc.output_steps = sc.output_steps + 1;
    sc.step_dt = s.ctime.dt;
    sc.step_start = s.ctime.time;
    // A jump of the inlet (a wash-out) within this step starts the time
    // stepping again as at time 0: implicit Euler, then BDF2, on sub-steps.
    if (inlet_jumps_within(s, sc.step_start, sc.step_start + sc.step_dt)) {
      sc.start_step = sc.output_steps;
      sc.restarted = true;
      sc.steps = 0;
    }
    sc.substeps = sc.from_time_zero || sc.restarted
                      ? start_substeps(sc.output_steps - sc.start_step + 1, sc.start_factor,
                                       sc.scheme == Scheme::second_order_graded ? kGradedColumns.first_substeps
                                                                                : kFirstSubsteps)
                      : 1;
    sc.substep = 1;
    sc.substep_iterations = 0;
    if (sc.substeps > 1) {
      s.ctime.dt = sc.step_dt / static_cast<float>(sc.substeps);
      s.ctime.time = sc.step_start + s.ctime.dt;
    } else {
      s.ctime.time = s.ctime.time + s.ctime.dt;
    }
    begin_level(s, s.ctime.dt);
  } else {
    s.ctime.time = s.ctime.time + s.ctime.dt;
  }
  copy_to_old_level(s);
  s.cterm.iter = 0;
}

bool next_substep(State& s) {
  Cscheme& sc = s.cscheme;
  if (!is_second_order(sc.scheme) || sc.substep >= sc.substeps) return false;
  sc.substep = sc.substep + 1;
  sc.substep_iterations = sc.substep_iterations + s.cterm.iter;
  s.ctime.time = sc.substep == sc.substeps ? sc.step_start + sc.step_dt
                                           : sc.step_start + static_cast<float>(sc.substep) * s.ctime.dt;
  begin_level(s, s.ctime.dt);
  copy_to_old_level(s);
  s.cterm.iter = 0;
  return true;
}

void end_time_step(State& s) {
  Cscheme& sc = s.cscheme;
  if (is_second_order(sc.scheme) && sc.substeps > 1) s.ctime.dt = sc.step_dt;
}

namespace {

// The change-based test of the graded columns (core/graded_columns.hpp):
// the concentration's residual replaced by E / (change_share c_scale), E the
// estimated iteration error of c after this outer iteration, so that the
// step converges when E <= change_share convtol c_scale; below 2 before the
// second iteration.  s.cscheme.iterate_before holds c as the iteration
// found it, s.cscheme.last_change the previous iteration's change.
float change_based_residual(State& s) {
  Cscheme& sc = s.cscheme;
  const Field& c = s.cvar.c;
  double largest = 0.0, c_scale = 0.0, signed_change = 0.0, previous_at = 0.0;
  for (int j = 1; j <= s.cgrid.nj; ++j)
    for (int i = 1; i <= s.cgrid.ni; ++i) c_scale = std::max(c_scale, std::fabs(static_cast<double>(c(i, j))));
  for (int j = 2; j <= s.cgrid.jlast; ++j)
    for (int i = 2; i <= s.cgrid.ilast; ++i) {
      const double change = static_cast<double>(c(i, j)) - sc.iterate_before(i, j);
      if (std::fabs(change) > largest) {
        largest = std::fabs(change);
        signed_change = change;
        previous_at = sc.last_change(i, j);
      }
      sc.last_change(i, j) = static_cast<float>(change);
    }
  double estimate = largest;
  const bool alternating = signed_change * previous_at < 0.0;
  if (s.cterm.iter >= 2 && sc.largest_change > 0.0 && !alternating) {
    const double rho = std::min(largest / sc.largest_change, 0.95);
    estimate = std::max(largest, largest * rho / (1.0 - rho));
  }
  sc.largest_change = largest;
  if (c_scale == 0.0) c_scale = 1.0;
  const float measure = static_cast<float>(estimate / (kGradedColumns.change_share * c_scale));
  return s.cterm.iter < 2 ? std::max(measure, 2.0f * s.cterm.convtol) : measure;
}

}  // namespace

IterationOutcome outer_iteration(State& s) {
  s.cterm.iter = s.cterm.iter + 1;
  if (s.cvar.solve_u) calcu(s);
  if (s.cvar.solve_v) calcv(s);
  if (s.cvar.solve_p) calcp(s);
  if (s.cvar.solve_t) calct(s);
  const bool change_test = s.cvar.solve_c && s.cscheme.scheme == Scheme::second_order_graded;
  if (change_test)  // what change_based_residual measures against (the previous step's values unused at iter 1)
    for (int j = 2; j <= s.cgrid.jlast; ++j)
      for (int i = 2; i <= s.cgrid.ilast; ++i) s.cscheme.iterate_before(i, j) = s.cvar.c(i, j);
  if (s.cvar.solve_c) calcc(s);
  if (s.cprop.propupd) props(s);
  normalise_residuals(s.cterm);
  if (change_test) s.cterm.res_c = change_based_residual(s);
  return test_iteration(s.cterm);
}

int step_outer_iterations(const State& s) {
  return s.cterm.iter + (is_second_order(s.cscheme.scheme) ? s.cscheme.substep_iterations : 0);
}

bool run_finished(const State& s) { return s.ctime.steady || s.ctime.istep >= s.ctime.nsteps; }

}  // namespace questrand
