#include "setup/grid.hpp"

namespace questrand {

void grid1(GridVec& p, int /*declared*/, float s, float span, int first, int last) {
  const int n = last - first + 1;
  if (n < 1) return;
  const float delta = span / static_cast<float>(n);
  p(first) = s + 0.5f * delta;
  for (int i = first + 1; i <= last; ++i) p(i) = p(i - 1) + delta;
}

}  // namespace questrand
