// How one outer iteration ended.
#pragma once

namespace questrand {

enum class IterationState {
  Continue,   // neither converged nor at the iteration limit
  Converged,  // largest normalised residual at most convtol
  Limit,      // iteration maxit reached without convergence (a warning)
  Diverged,   // a residual is infinite or not a number
};

struct IterationOutcome {
  IterationState state = IterationState::Continue;
  const char* diverged_equation = nullptr;  // for Diverged: "u-momentum", ...
};

}  // namespace questrand
