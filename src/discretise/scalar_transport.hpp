// Transport of a scalar (temperature t, concentration c) on the scalar cells.
#pragma once

#include "core/equation_settings.hpp"
#include "core/state.hpp"

namespace questrand {

// What distinguishes one scalar equation from the other.
struct ScalarEquation {
  Field& phi;          // the transported field
  const Field& old;    // its previous-time-level field
  const Field& gam;    // its diffusivity (density included)
  void (*hook)(State&);  // boundary conditions of the instrument
  EquationSettings settings;  // relaxation, solver, sweeps, tolerance
  float& res;          // residual sum written
  bool second_order = false;  // follows the run's scheme (the concentration); else always standard
  bool partition = false;     // phi = c / K under PHYSICS.INP: capacity K, the gel's reaction (physics/physics.hpp)
};

// Assembles and solves, over I = 2..ilast, J = 2..jlast,
//   ap phi = an phi_N + as phi_S + ae phi_E + aw phi_W + su
// with face fluxes F = 0.5 (den_P + den_nb) u_face A, conductances
// D = 0.5 (gam_P + gam_nb) A / dist, hybrid weighting, the transient term
// a0 = denold V / dt (su = a0 phi_old, sp = -a0), the mass-imbalance
// correction cp = max(0, (b0 - a0) + Fn - Fs + Fe - Fw) (su += cp phi,
// sp -= cp), then the hook, the residual and the relaxation, and the solve.
// An equation that follows the run's scheme is assembled, under the
// second-order scheme, with that scheme's cells, conductances and time
// derivative (concentration_scheme.hpp); the rest stays as above.
void calc_scalar(State& s, const ScalarEquation& eq);

void calct(State& s);  // temperature t
void calcc(State& s);  // concentration c

}  // namespace questrand
