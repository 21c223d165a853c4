// Uniform grid law.
#pragma once

#include "core/state.hpp"

namespace questrand {

// Nodes at the centres of n = last - first + 1 equal cells on [s, s + span]:
//   delta = span / n,  P(first) = s + 0.5*delta,  P(i) = P(i-1) + delta,
// a running sum stored in single precision.  Writes only first..last.
// `declared` (the vector's length) is accepted and not used.  n < 1 writes
// nothing (the input check rejects such segments before this is called).
void grid1(GridVec& p, int declared, float s, float span, int first, int last);

}  // namespace questrand
