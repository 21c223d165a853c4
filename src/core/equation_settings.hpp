// One equation's settings, read together where an equation is assembled and
// solved.  They are stored, with their defaults, in the blocks the problem
// input and the restart file fill (crelx, csolv, cters); this view gathers
// the four that belong to one equation.
#pragma once

#include "core/state.hpp"

namespace questrand {

enum class Equation { u, v, p, t, c };

struct EquationSettings {
  float relax;  // under-relaxation factor (p: of the pressure update)
  int solver;   // 1 line solver, 2 whole-field solver, any other value: no solve
  int sweeps;   // line-solver passes at most / whole-field iterations
  float tol;    // line-solver residual-sum tolerance
};

inline EquationSettings settings_of(const State& s, Equation e) {
  const Crelx& r = s.crelx;
  const Csolv& v = s.csolv;
  const Cters& t = s.cters;
  switch (e) {
    case Equation::u: return {r.relax_u, v.solver_u, t.sweeps_u, t.tol_u};
    case Equation::v: return {r.relax_v, v.solver_v, t.sweeps_v, t.tol_v};
    case Equation::p: return {r.relax_p, v.solver_p, t.sweeps_p, t.tol_p};
    case Equation::t: return {r.relax_t, v.solver_t, t.sweeps_t, t.tol_t};
    case Equation::c: return {r.relax_c, v.solver_c, t.sweeps_c, t.tol_c};
  }
  return {1.0f, 0, 0, 0.0f};
}

}  // namespace questrand
