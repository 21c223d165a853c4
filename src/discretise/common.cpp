#include "discretise/common.hpp"

#include "solvers/line_solver.hpp"
#include "solvers/whole_field_solver.hpp"

namespace questrand {

void solve_equation(State& s, const EquationSettings& eq, const Range& r, Field& phi) {
  if (eq.solver == 1) {
    adisol(s.ccoef, r, phi, LineSolverParams{eq.sweeps, eq.tol});
  } else if (eq.solver == 2) {
    simsol(s.ccoef, r, phi, WholeFieldParams{s.cgrid.ni, s.cgrid.nj, eq.sweeps}, s.csolv.solver_alpha);
  }
}

}  // namespace questrand
