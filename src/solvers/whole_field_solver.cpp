#include "solvers/whole_field_solver.hpp"

#include <cmath>

namespace questrand {

namespace {

// Residual of node (I,J) with the field at the start of the iteration,
// clamped away from zero and to at most 1e11 in magnitude (both replacement
// values positive).
inline float clamped_residual(const Ccoef& cf, const Field& phi, int i, int j) {
  const float r = cf.as(i, j) * phi(i, j - 1) + cf.su(i, j) + cf.aw(i, j) * phi(i - 1, j) + cf.ae(i, j) * phi(i + 1, j) +
                  cf.an(i, j) * phi(i, j + 1) - cf.ap(i, j) * phi(i, j);
  float rc = r;
  if (std::fabs(rc) < 1.0e-34f) rc = 1.0e-34f;
  if (std::fabs(rc) > 1.0e11f) rc = 1.0e11f;
  return rc;
}

// Step length minimising the new residual, then phi += omega d over
// 1..iend x 1..jend (d is zero outside the range).
void step_and_update(const Ccoef& cf, float& alpha, int istart, int jstart, int iend, int jend, Field& phi,
                     WholeFieldWork& w) {
  const Field& sipr = w.sipr;
  const Field& sipd = w.sipd;
  Field& sipq = w.sipq;
  double s1 = 0.0;
  double s2 = 0.0;
  for (int j = jstart; j <= jend; ++j) {
    for (int i = istart; i <= iend; ++i) {
      sipq(i, j) = cf.ap(i, j) * sipd(i, j) - cf.as(i, j) * sipd(i, j - 1) - cf.aw(i, j) * sipd(i - 1, j) -
                   cf.ae(i, j) * sipd(i + 1, j) - cf.an(i, j) * sipd(i, j + 1);
    }
  }
  for (int j = jstart; j <= jend; ++j) {
    for (int i = istart; i <= iend; ++i) {
      s1 = s1 + static_cast<double>(sipq(i, j)) * static_cast<double>(sipr(i, j));
      s2 = s2 + static_cast<double>(sipq(i, j)) * static_cast<double>(sipq(i, j));
    }
  }
  // The quotient and its tests against 0 and 1 are in double; the step
  // length that scales the correction is a single-precision real, and
  // phi + omega d is a single-precision product and sum.
  const double g = (s2 == 0.0) ? 1.0 : 0.0;
  const double quotient = (s1 + g) / (s2 + g);
  float omega = static_cast<float>(quotient);
  if (quotient < 0.0) {
    omega = 0.0f;
    alpha = 0.0f;
  }
  if (quotient > 1.0) omega = 1.0f;
  for (int j = 1; j <= jend; ++j)
    for (int i = 1; i <= iend; ++i) {
      const float step = omega * sipd(i, j);
      phi(i, j) = phi(i, j) + step;
    }
}

}  // namespace

void simsol(const Ccoef& cf, const Range& range, Field& phi, const WholeFieldParams& params, float& alpha,
            WholeFieldWork& work) {
  Field& sipy = work.sipy;
  Field& sipx = work.sipx;
  Field& sipv = work.sipv;
  Field& sipd = work.sipd;
  Field& sipr = work.sipr;
  const int ni = params.ni, nj = params.nj, nsweep = params.sweeps;
  const int istart = range.istart, jstart = range.jstart, iend = range.iend, jend = range.jend;
  for (int j = 1; j <= nj; ++j) {
    for (int i = 1; i <= ni; ++i) {
      sipy(i, j) = 0.0f;
      sipx(i, j) = 0.0f;
      sipv(i, j) = 0.0f;
      sipd(i, j) = 0.0f;
      sipr(i, j) = 0.0f;
    }
  }
  for (int n = 1; n <= nsweep; ++n) {
    if (n % 2 == 1) {
      // First ordering: rows upwards, the factor couples to row J-1.
      for (int j = jstart; j <= jend; ++j) {
        for (int i = istart; i <= iend; ++i) {
          sipr(i, j) = clamped_residual(cf, phi, i, j);
          const float b = -cf.as(i, j) / (1.0f + alpha * sipx(i, j - 1));
          const float c = -cf.aw(i, j) / (1.0f + alpha * sipy(i - 1, j));
          const float d = cf.ap(i, j) + b * (alpha * sipx(i, j - 1) - sipy(i, j - 1)) +
                          c * (alpha * sipy(i - 1, j) - sipx(i - 1, j));
          const float e = 1.0f / d;
          sipx(i, j) = e * (-cf.ae(i, j) - alpha * b * sipx(i, j - 1));
          sipy(i, j) = e * (-cf.an(i, j) - alpha * c * sipy(i - 1, j));
          sipv(i, j) = e * (sipr(i, j) - b * sipv(i, j - 1) - c * sipv(i - 1, j));
        }
      }
      for (int j = jend; j >= jstart; --j)
        for (int i = iend; i >= istart; --i)
          sipd(i, j) = sipv(i, j) - sipx(i, j) * sipd(i + 1, j) - sipy(i, j) * sipd(i, j + 1);
    } else {
      // Second ordering: rows downwards, the factor couples to row J+1.
      for (int j = jend; j >= jstart; --j) {
        for (int i = istart; i <= iend; ++i) {
          sipr(i, j) = clamped_residual(cf, phi, i, j);
          const float b = -cf.an(i, j) / (1.0f + alpha * sipx(i, j + 1));
          const float c = -cf.aw(i, j) / (1.0f + alpha * sipy(i - 1, j));
          const float d = cf.ap(i, j) + b * (alpha * sipx(i, j + 1) - sipy(i, j + 1)) +
                          c * (alpha * sipy(i - 1, j) - sipx(i - 1, j));
          const float e = 1.0f / d;
          sipx(i, j) = e * (-cf.ae(i, j) - alpha * b * sipx(i, j + 1));
          sipy(i, j) = e * (-cf.as(i, j) - alpha * c * sipy(i - 1, j));
          sipv(i, j) = e * (sipr(i, j) - b * sipv(i, j + 1) - c * sipv(i - 1, j));
        }
      }
      for (int j = jstart; j <= jend; ++j)
        for (int i = iend; i >= istart; --i)
          sipd(i, j) = sipv(i, j) - sipx(i, j) * sipd(i + 1, j) - sipy(i, j) * sipd(i, j - 1);
    }
    step_and_update(cf, alpha, istart, jstart, iend, jend, phi, work);
  }
}

}  // namespace questrand
