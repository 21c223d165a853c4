// Grid laws: equal cells (the input's rule), and columns graded toward the inlet.
#pragma once

#include "core/state.hpp"

namespace questrand {

// Nodes at the centres of n = last - first + 1 equal cells on [s, s + span]:
//   delta = span / n,  P(first) = s + 0.5*delta,  P(i) = P(i-1) + delta,
// a running sum stored in single precision.  Writes only first..last.
// `declared` (the vector's length) is accepted and not used.  n < 1 writes
// nothing (the input check rejects such segments before this is called).
void grid1(GridVec& p, int declared, float s, float span, int first, int last);

// Nodes at the centres of the n = last - first + 1 cells on [0, span] with
// the faces (core/graded_columns.hpp)
//   x_k = span G(k / n) / G(1),  G(t) = t - (sqrt(pi) / 2) w erf(t / w),
// formed in double and stored in single precision: cells that shrink like
// t^2 within about w span of 0 and are equal beyond.  Writes only
// first..last; n < 1 writes nothing.
void graded_grid(GridVec& p, float span, int first, int last, double width);

}  // namespace questrand
