// Whole-field strongly implicit solver (Stone's method with a minimal-residual
// step length) of the same five-point system as the line solver, over
// columns istart..iend and rows jstart..jend; the ring of nodes one step
// outside the range is read, never written.  sp is not read.
//
// Each iteration factorises the system approximately, with the parameter
// alpha partially cancelling the fill-in, solves for a correction d of the
// clamped residual r, and adds omega d with omega = S1/S2, S1 = sum q r,
// S2 = sum q^2, q = A d (double sums and quotient), omega limited to 0..1
// and then held as a single-precision real; phi + omega d is formed in
// single precision.  Odd
// iterations run the rows upwards, even ones downwards.  A negative omega
// sets alpha to 0 for good (alpha is the shared solver parameter).
//
// Six 350 x 350 work arrays, the caller's (WholeFieldWork, one per run); the
// first five are cleared over
// 1..ni x 1..nj on entry.  Pivots are not tested: a zero pivot gives
// non-finite values, which the run driver reports as a diverged run.
#pragma once

#include "core/range.hpp"
#include "core/state.hpp"

namespace questrand {

// Settings of one whole-field solver call.
struct WholeFieldParams {
  int ni = 3, nj = 3;  // grid size: the work arrays are cleared over 1..ni x 1..nj
  int sweeps = 1;      // iterations (none when 0 or less)
};

// `alpha` is the solver's shared iteration parameter (solver_alpha): read at
// every node, and set to 0 for good when a step length comes out negative.
void simsol(const Ccoef& cf, const Range& r, Field& phi, const WholeFieldParams& params, float& alpha,
            WholeFieldWork& work);

}  // namespace questrand
