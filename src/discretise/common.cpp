#include "discretise/common.hpp"

#include "solvers/line_solver.hpp"
#include "solvers/whole_field_solver.hpp"

namespace questrand {

void solve_equation(State& s, int selector, const Range& r, Field& phi, int sweeps, float tol) {
  if (selector == 1) {
    adisol(s.ccoef, r.istart, r.jstart, r.iend, r.jend, phi, sweeps, tol);
  } else if (selector == 2) {
    simsol(s.ccoef, s.csolv.solver_alpha, s.cgrid.ni, s.cgrid.nj, r.istart, r.jstart, r.iend, r.jend, phi, sweeps);
  }
}

}  // namespace questrand
