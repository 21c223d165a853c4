#include "setup/grid.hpp"

#include <cmath>

namespace questrand {

void grid1(GridVec& p, int /*declared*/, float s, float span, int first, int last) {
  const int n = last - first + 1;
  if (n < 1) return;
  const float delta = span / static_cast<float>(n);
  p(first) = s + 0.5f * delta;
  for (int i = first + 1; i <= last; ++i) p(i) = p(i - 1) + delta;
}

void graded_grid(GridVec& p, float span, int first, int last, double width) {
  const int n = last - first + 1;
  if (n < 1) return;
  const double half_root_pi = 0.5 * std::sqrt(3.14159265358979323846);
  const auto map = [&](double t) { return t - half_root_pi * width * std::erf(t / width); };
  const double whole = map(1.0);
  const auto face = [&](int k) { return static_cast<double>(span) * (map(static_cast<double>(k) / n) / whole); };
  for (int k = 0; k < n; ++k) p(first + k) = static_cast<float>(0.5 * (face(k) + face(k + 1)));
}

}  // namespace questrand
