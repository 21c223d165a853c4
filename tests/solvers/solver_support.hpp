// Shared by the solver tests: a coefficient block and field on the heap,
// a range, and bitwise comparisons of fields.
#pragma once

#include <cmath>
#include <cstring>
#include <memory>

#include "core/range.hpp"
#include "core/state.hpp"

namespace qtest {

using questrand::Ccoef;
using questrand::Field;
using questrand::kMaxGrid;

using questrand::Range;

struct Problem {
  std::unique_ptr<Ccoef> cf = std::make_unique<Ccoef>();
  std::unique_ptr<Field> phi = std::make_unique<Field>();
};

// Work arrays of the solvers for the tests (which run one solve at a time).
inline questrand::LineSolverWork& line_work() {
  static const auto work = std::make_unique<questrand::LineSolverWork>();
  return *work;
}
inline questrand::WholeFieldWork& whole_field_work() {
  static const auto work = std::make_unique<questrand::WholeFieldWork>();
  return *work;
}

inline std::unique_ptr<Field> copy_of(const Field& f) { return std::make_unique<Field>(f); }

inline bool same_bits(const Field& a, const Field& b) { return std::memcmp(a.data, b.data, sizeof a.data) == 0; }

inline bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Nodes outside the range whose bits differ.
inline int changed_outside(const Field& before, const Field& after, const Range& r) {
  int n = 0;
  for (int j = 1; j <= kMaxGrid; ++j)
    for (int i = 1; i <= kMaxGrid; ++i)
      if (!r.inside(i, j) && !same_bits(before(i, j), after(i, j))) ++n;
  return n;
}

// A smooth reference solution of order one.
inline double exact(int i, int j) { return std::sin(0.31 * i) * std::cos(0.17 * j) + 0.05 * i - 0.02 * j + 0.5; }

// Positive neighbour coefficients in steps of 1/4 (so that sums are exact),
// ap = sum of the four + sp, over the range.
inline void set_coefficients(Ccoef& cf, const Range& r, float sp) {
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) {
      cf.an(i, j) = 1.0f + 0.25f * static_cast<float>((3 * i + j) % 4);
      cf.as(i, j) = 0.5f + 0.25f * static_cast<float>((i + 2 * j) % 3);
      cf.ae(i, j) = 0.75f + 0.25f * static_cast<float>((i * j) % 5);
      cf.aw(i, j) = 1.25f + 0.25f * static_cast<float>((i + j) % 2);
      cf.ap(i, j) = cf.an(i, j) + cf.as(i, j) + cf.ae(i, j) + cf.aw(i, j) + sp;
    }
}

// su such that `exact` solves the system (formed in double), the boundary
// ring set to `exact` and the range to `start`.
inline void manufacture(Problem& p, const Range& r, float start) {
  Ccoef& cf = *p.cf;
  Field& phi = *p.phi;
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) {
      const double s = cf.ap(i, j) * exact(i, j) - cf.an(i, j) * exact(i, j + 1) - cf.as(i, j) * exact(i, j - 1) -
                       cf.ae(i, j) * exact(i + 1, j) - cf.aw(i, j) * exact(i - 1, j);
      cf.su(i, j) = static_cast<float>(s);
    }
  for (int j = r.jstart - 1; j <= r.jend + 1; ++j)
    for (int i = r.istart - 1; i <= r.iend + 1; ++i) phi(i, j) = r.inside(i, j) ? start : static_cast<float>(exact(i, j));
}

inline double max_error(const Field& phi, const Range& r) {
  double e = 0.0;
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) e = std::fmax(e, std::fabs(phi(i, j) - exact(i, j)));
  return e;
}

}  // namespace qtest
