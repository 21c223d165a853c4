// Line-by-line tridiagonal solver of the five-point system
//   ap phi(I,J) = an phi(I,J+1) + as phi(I,J-1) + ae phi(I+1,J) + aw phi(I-1,J) + su
// over columns istart..iend and rows jstart..jend (inclusive, within 2..349).
// The ring of nodes one step outside the range holds fixed boundary values:
// it is read, never written.  sp is not read (it is folded into ap).
//
// A pass solves every vertical line (column I, unknowns along J) west to
// east, then every horizontal line (row J, unknowns along I) south to north,
// each exactly by the tridiagonal recurrence with its neighbour lines at their
// latest values.  The work arrays are the caller's (LineSolverWork, one per
// run); nothing is allocated per call.
// Pivots are not tested: a zero pivot gives non-finite values, which the run
// driver reports as a diverged run.
#pragma once

#include "core/range.hpp"
#include "core/state.hpp"

namespace questrand {

// Settings of one line-solver call.
struct LineSolverParams {
  int sweeps = 1;       // at most this many passes (at least one is made)
  float tol = 1.0e-6f;  // residual sum at which the passes stop
};

// Passes until the residual sum
//   rsum = sum |an phi_N + as phi_S + ae phi_E + aw phi_W + su - ap phi_P|
// (I outer, J inner, accumulated in double) is at most tol, or `sweeps`
// passes are made; at least one pass always.  A non-number rsum ends the loop.
void adisol(const Ccoef& cf, const Range& r, Field& phi, const LineSolverParams& params, LineSolverWork& work);

// One sweep over the vertical lines I = istart..iend.
void lisoli(const Ccoef& cf, const Range& r, Field& phi, LineSolverWork& work);

// One sweep over the horizontal lines J = jstart..jend.
void lisolj(const Ccoef& cf, const Range& r, Field& phi, LineSolverWork& work);

}  // namespace questrand
