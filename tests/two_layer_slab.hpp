// The two-layer slab series: the uptake of a membrane and a gel from a face
// held at the inlet concentration, the truth the concentration schemes are
// measured against.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace qtest {

// Two layers on 0 < z < L1 (diffusivity D1) and L1 < z < L1 + L2 (D2), held
// at c = 1 at z = 0, closed at the far end, empty at t = 0.  With u = 1 - c:
// modes sin(l1 z) in the first layer and B cos(l2 (L1 + L2 - z)) in the
// second, l_k = sqrt(mu / D_k), continuity of u and of D du/dz at z = L1:
//   D1 l1 cos(l1 L1) cos(l2 L2) - D2 l2 sin(l1 L1) sin(l2 L2) = 0,
//   B = sin(l1 L1) / cos(l2 L2)   (or, where cos(l2 L2) vanishes as it does
//       for commensurate layers, B = D1 l1 cos(l1 L1) / (D2 l2 sin(l2 L2))),
// each decaying as exp(-mu t), weighted by the initial u = 1 (the problem is
// self-adjoint with unit capacity).
struct TwoLayerSlab {
  double d1, d2, l1, l2;
  struct Mode {
    double mu, k1, k2, b, weight;
  };
  std::vector<Mode> modes;

  TwoLayerSlab(double d1_, double d2_, double l1_, double l2_) : d1(d1_), d2(d2_), l1(l1_), l2(l2_) {
    auto f = [this](double mu) {
      const double k1 = std::sqrt(mu / d1), k2 = std::sqrt(mu / d2);
      return d1 * k1 * std::cos(k1 * l1) * std::cos(k2 * l2) - d2 * k2 * std::sin(k1 * l1) * std::sin(k2 * l2);
    };
    // Roots in sqrt(mu), found by scanning (steps of 1/50 of the closer mode
    // spacing of the two layers alone) and bisection.
    const double pi = std::acos(-1.0);
    const double step = std::min(pi / l1 * std::sqrt(d1), pi / l2 * std::sqrt(d2)) / 50.0;
    double prev = 1e-3 * step, fprev = f(prev * prev);
    for (double r = step; modes.size() < 400; r += step) {
      const double fr = f(r * r);
      if ((fprev < 0) != (fr < 0)) {
        double a = prev, b = r;
        for (int it = 0; it < 80; ++it) {
          const double m = 0.5 * (a + b);
          ((f(a * a) < 0) != (f(m * m) < 0)) ? b = m : a = m;
        }
        add_mode(0.5 * (a + b) * 0.5 * (a + b));
      }
      prev = r;
      fprev = fr;
    }
  }

  void add_mode(double mu) {
    Mode m{mu, std::sqrt(mu / d1), std::sqrt(mu / d2), 0.0, 0.0};
    if (std::fabs(std::cos(m.k2 * l2)) > std::fabs(std::sin(m.k2 * l2)))
      m.b = std::sin(m.k1 * l1) / std::cos(m.k2 * l2);
    else
      m.b = d1 * m.k1 * std::cos(m.k1 * l1) / (d2 * m.k2 * std::sin(m.k2 * l2));
    const double int1 = (1.0 - std::cos(m.k1 * l1)) / m.k1;            // integral of X over layer 1
    const double int2 = m.b * std::sin(m.k2 * l2) / m.k2;              // over layer 2
    const double sq1 = 0.5 * l1 - std::sin(2.0 * m.k1 * l1) / (4.0 * m.k1);  // integral of X^2
    const double sq2 = m.b * m.b * (0.5 * l2 + std::sin(2.0 * m.k2 * l2) / (4.0 * m.k2));
    m.weight = (int1 + int2) / (sq1 + sq2);
    modes.push_back(m);
  }

  // c at depth z (0 <= z <= L1 + L2) and time t.
  double value(double z, double t) const {
    double sum = 1.0;
    for (const Mode& m : modes) {
      const double shape = z <= l1 ? std::sin(m.k1 * z) : m.b * std::cos(m.k2 * (l1 + l2 - z));
      sum -= m.weight * std::exp(-m.mu * t) * shape;
    }
    return sum;
  }

  // Integral of c over za..zb at time t (c = 1 for z < 0, the held channel).
  double integral(double za, double zb, double t) const {
    const double l = l1 + l2;
    double sum = 0.0;
    if (za < 0.0) sum += std::min(zb, 0.0) - za;
    const double a1 = std::max(za, 0.0), b1 = std::min(zb, l1);
    const double a2 = std::max(za, l1), b2 = std::min(zb, l);
    if (b1 > a1) sum += b1 - a1;
    if (b2 > a2) sum += b2 - a2;
    for (const Mode& m : modes) {
      const double decay = m.weight * std::exp(-m.mu * t);
      if (b1 > a1) sum -= decay * (std::cos(m.k1 * a1) - std::cos(m.k1 * b1)) / m.k1;
      if (b2 > a2) sum -= decay * m.b * (std::sin(m.k2 * (l - a2)) - std::sin(m.k2 * (l - b2))) / m.k2;
    }
    return sum;
  }

  // Mean concentration of the second layer at time t.
  double second_layer_mean(double t) const { return integral(l1, l1 + l2, t) / l2; }
};

}  // namespace qtest
