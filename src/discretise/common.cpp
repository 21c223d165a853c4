#include "discretise/common.hpp"

#include <cstdint>
#include <cstring>

#include "solvers/line_solver.hpp"
#include "solvers/whole_field_solver.hpp"

namespace questrand {

SmallRows::SmallRows(const Cgrid& g, std::initializer_list<const Field*> fields) {
  if (!subnormal_route_pays()) return;
  constexpr std::uint32_t limit = (127u - 90u) << 23;  // bits of 2^-90
  for (int j = 1; j <= g.nj; ++j) {
    std::uint32_t any = 0;
    for (const Field* f : fields) {
      const float* row = f->data + static_cast<std::size_t>(j - 1) * kMaxGrid;  // (1, J)
      for (int i = 0; i < g.ni; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &row[i], sizeof bits);
        any |= (bits & 0x7fffffffu) - 1u < limit - 1u;  // nonzero, below 2^-90
      }
    }
    small_[j] = any != 0;
  }
}

void solve_equation(State& s, const EquationSettings& eq, const Range& r, Field& phi) {
  if (eq.solver == 1) {
    adisol(s.ccoef, r, phi, LineSolverParams{eq.sweeps, eq.tol}, s.work.line);
  } else if (eq.solver == 2) {
    simsol(s.ccoef, r, phi, WholeFieldParams{s.cgrid.ni, s.cgrid.nj, eq.sweeps}, s.csolv.solver_alpha,
           s.work.whole_field);
  }
}

}  // namespace questrand
