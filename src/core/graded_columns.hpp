// The parameters of the second-order scheme on graded columns
// (--scheme second-order-graded), with their defaults.
//
// Why graded columns.  Where the channel's inlet, held at c_in, meets the
// membrane's closed edge at x = 0, the concentration has a corner
// singularity, c - c_in ~ r^lambda with lambda = (2/pi) atan(sqrt(D_flow /
// D_memb)) (0.61 for D_memb = D_flow / 2, 0.82 for D_memb = D_flow / 12.5).
// On the input's equal columns the error of the uptake curves then falls like
// h^(1 + lambda), order 1.5-1.7, whatever the scheme.  Cells that shrink
// toward x = 0 fast enough restore order 2.
//
// The columns.  The n = ni - 2 interior columns are the centres of the cells
// with the faces
//   x_k = L G(k / n) / G(1),   k = 0..n,
//   G(s) = s - (sqrt(pi) / 2) w erf(s / w),   G'(s) = 1 - exp(-(s / w)^2),
// L the channel length.  Within about w L of the inlet the cells shrink like
// s^2 (the first one like n^-3 under refinement); beyond, they are equal, of
// width L / (n G(1)) (1.154 L / n at w = 0.15).  The faces of a grid are not
// those of the grid twice as fine, but both sample the same smooth map, so
// the scheme keeps its order along x.
//
// The iteration on them.
// - The deferred correction of the convection is relaxed,
//     S = S_previous + omega (S_new - S_previous).
//   Where the downwind slope is far below the upwind one, the limited face
//   value follows the downwind node with a gain near 2 (van Leer), and on
//   the strongly graded first columns the plain iteration (omega = 1) locks
//   into a cycle of period 2 near the membrane and ends its steps at maxit.
//   A cycle of gain g < -1 is damped when 1 - omega + omega g > -1, that is
//   g > 1 - 2 / omega: omega = 1/2 removed the cycles at convtol 1e-3 but
//   left one in the first columns at 1e-4 (examples/fit); omega = 0.3
//   removes both, for some 10-30 % more outer iterations.  The converged
//   field is the same for every omega.
// - A step is converged when the estimated iteration error of c is small:
//   the residual, a sum of flux imbalances, cannot see cells of width L/n^3.
//   From the largest change of c over an outer iteration, dc, and its ratio
//   rho to the previous iteration's (at most 0.95),
//     E = max(dc, dc rho / (1 - rho)),  E = dc when the change alternates in sign
//   at the cell of the largest change (an oscillating iteration's error is
//   below its last change), and the step is converged when
//     E <= change_share * convtol * c_scale
//   c_scale the largest |c| of the field, mirror nodes included (the inlet's
//   value in an uptake; 1 when the field is 0).  The test takes the place of the
//   concentration's residual in the convergence test (it does not depend on
//   the unit of c), and a step makes at least two outer iterations.
// - The start (a run from time 0) splits its first step into
//   first_substeps sub-steps (halved at each step after, as on equal
//   columns): at the inlet front the graded first columns hold Courant
//   numbers in the thousands, and the gel's early uptake converges at
//   order 2 only with the finer start.
#pragma once

namespace questrand {

struct GradedColumns {
  double width = 0.15;             // w: the graded zone's length, a fraction of the channel length
  float deferred_relaxation = 0.3f; // omega: the deferred correction's relaxation
  float change_share = 0.01f;      // the iteration error allowed, a share of convtol (relative to c_scale)
  int first_substeps = 256;        // sub-steps of the start's first step
};

inline constexpr GradedColumns kGradedColumns{};

}  // namespace questrand
