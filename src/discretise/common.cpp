#include "discretise/common.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "solvers/line_solver.hpp"
#include "solvers/whole_field_solver.hpp"

namespace questrand {

namespace {

// A chain of the assembly's operations on subnormal numbers in the
// arithmetic T; the time of a call is what the choice weighs.
template <class T>
[[gnu::noinline]] float subnormal_chain(const float* x, int n) {
  T sum = 0.0f;
  for (int i = 0; i < n; ++i) {
    const T a = x[i];
    sum = sum + a * T(0.75f) - a / T(3.0f);
  }
  if constexpr (std::is_same_v<T, Real>) {
    return sum.value();
  } else {
    return sum;
  }
}

template <class T>
double fastest_chain_seconds(const float* x, int n) {
  double best = 1.0e30;
  volatile float keep = 0.0f;
  for (int repeat = 0; repeat < 5; ++repeat) {
    const auto start = std::chrono::steady_clock::now();
    keep = keep + subnormal_chain<T>(x, n);
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

bool time_the_routes() {
  constexpr int n = 2048;
  static float x[n];
  for (int i = 0; i < n; ++i) x[i] = 1.0e-40f * static_cast<float>(1 + i % 13);  // subnormal
  return fastest_chain_seconds<float>(x, n) > fastest_chain_seconds<Real>(x, n);
}

}  // namespace

bool subnormal_route_pays() {
  static const bool pays = [] {
    const char* fixed = std::getenv("QUESTRAND_SUBNORMAL_ROUTE");
    if (fixed != nullptr && std::strcmp(fixed, "double") == 0) return true;
    if (fixed != nullptr && std::strcmp(fixed, "float") == 0) return false;
    return time_the_routes();
  }();
  return pays;
}

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
