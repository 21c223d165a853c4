#include "solvers/line_solver.hpp"

#include <cmath>

namespace questrand {

void lisoli(const Ccoef& cf, const Range& r, Field& phi) {
  const int istart = r.istart, jstart = r.jstart, iend = r.iend, jend = r.jend;
  // Indexed by J; position jstart-1 holds the start of the recurrence.
  static float tda[kMaxGrid + 1], tdb[kMaxGrid + 1], tdc[kMaxGrid + 1];
  tda[jstart - 1] = 0.0f;
  for (int i = istart; i <= iend; ++i) {
    tdc[jstart - 1] = phi(i, jstart - 1);
    for (int j = jstart; j <= jend; ++j) {
      tda[j] = cf.an(i, j);
      tdb[j] = cf.as(i, j);
      tdc[j] = cf.ae(i, j) * phi(i + 1, j) + cf.aw(i, j) * phi(i - 1, j) + cf.su(i, j);
      const float term = 1.0f / (cf.ap(i, j) - tdb[j] * tda[j - 1]);
      tda[j] = tda[j] * term;
      tdc[j] = (tdc[j] + tdb[j] * tdc[j - 1]) * term;
    }
    for (int j = jend; j >= jstart; --j) phi(i, j) = tda[j] * phi(i, j + 1) + tdc[j];
  }
}

void lisolj(const Ccoef& cf, const Range& r, Field& phi) {
  const int istart = r.istart, jstart = r.jstart, iend = r.iend, jend = r.jend;
  // Indexed by I; position istart-1 holds the start of the recurrence.
  static float tda[kMaxGrid + 1], tdb[kMaxGrid + 1], tdc[kMaxGrid + 1];
  tda[istart - 1] = 0.0f;
  for (int j = jstart; j <= jend; ++j) {
    tdc[istart - 1] = phi(istart - 1, j);
    for (int i = istart; i <= iend; ++i) {
      tda[i] = cf.ae(i, j);
      tdb[i] = cf.aw(i, j);
      tdc[i] = cf.as(i, j) * phi(i, j - 1) + cf.an(i, j) * phi(i, j + 1) + cf.su(i, j);
      const float term = 1.0f / (cf.ap(i, j) - tdb[i] * tda[i - 1]);
      tda[i] = tda[i] * term;
      tdc[i] = (tdc[i] + tdb[i] * tdc[i - 1]) * term;
    }
    for (int i = iend; i >= istart; --i) phi(i, j) = tda[i] * phi(i + 1, j) + tdc[i];
  }
}

void adisol(const Ccoef& cf, const Range& range, Field& phi, const LineSolverParams& params) {
  const int istart = range.istart, jstart = range.jstart, iend = range.iend, jend = range.jend;
  int pass = 0;
  for (;;) {
    ++pass;
    lisoli(cf, range, phi);
    lisolj(cf, range, phi);
    if (pass >= params.sweeps) return;  // the last allowed pass: the residual decides nothing
    double rsum = 0.0;
    for (int i = istart; i <= iend; ++i) {
      for (int j = jstart; j <= jend; ++j) {
        const float r = cf.an(i, j) * phi(i, j + 1) + cf.as(i, j) * phi(i, j - 1) + cf.ae(i, j) * phi(i + 1, j) +
                        cf.aw(i, j) * phi(i - 1, j) + cf.su(i, j) - cf.ap(i, j) * phi(i, j);
        rsum = rsum + static_cast<double>(std::fabs(r));
      }
    }
    if (!(rsum > static_cast<double>(params.tol))) return;
  }
}

}  // namespace questrand
