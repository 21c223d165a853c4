// Starting fields, inlet fluxes and residual references.
#pragma once

#include "core/state.hpp"

namespace questrand {

// Channel rows J = 1..jflow2: u = u_in (1 - (y/halfgap)^2) when parabolic
// (the half-parabola above the symmetry plane, its peak at y = 0), or with
// PHYSICS.INP lower_face = wall the parabola across the whole gap h =
// halfgap between the wall and the membrane, u_in its peak at y = h/2,
//   u = u_in 4 y (h - y) / h^2,   the mirror row u(I,1) = -u(I,2);
// else u_in; c = c_in in columns 1 and 2, 0 beyond.  Then props, and the
// inlet sums over J = 2..nj-1 with uf = u(2,J):
//   f = 0.5 (den(1,J) + den(2,J)) rad(J) hy(J) uf,  flowin += f,  momin += f uf
// accumulated in double and stored as float.  resref_m = resref_c = flowin,
// resref_u = resref_v = momin.
void init(State& s);

}  // namespace questrand
