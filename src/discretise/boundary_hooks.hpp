// Boundary conditions of the instrument, one hook per equation, applied
// after the neighbour coefficients and sources are built and before the
// central coefficient, residual and relaxation.  Rows jflow1..jflow2 are the
// channel; rows jmemb1..jlast (membrane and gel) are solid for the flow.
#pragma once

#include "core/state.hpp"

namespace questrand {

// u: wall shear sink mu_w wxu radv / delta below the channel wall (delta the
// half-cell distance to the wall face) and an = 0; solid rows pinned with
// sp = -bignum; symmetry u(I,1) = u(I,2), as(I,2) = 0, or with PHYSICS.INP
// lower_face = wall the same shear towards y = 0 on row 2, as(I,2) = 0 and
// u(I,1) = -u(I,2); outlet u(ni,J) = u(ilast,J) + uinc with uinc shifting
// the outflow to flowin.
void modu(State& s);

// v: cut from the wall face (an(I,jflow2) = 0), solid rows pinned, symmetry
// plane (as(I,3) = 0), zero-gradient outflow (ae(ilast,J) = 0).
void modv(State& s);

// Pressure correction: closed at every boundary through du and dv; nothing.
void modp(State& s);

// t: symmetry, zero-gradient outlet, fixed top value through a half-cell
// conductance wx gamt(I,jlast) radv(nj) / delta.
void modt(State& s);

// c: symmetry; characteristic outflow of the channel rows from the
// previous-time field at x(ni) - dt u(ni,J), capped by the last interior
// value; closed ends of membrane and gel; closed top.
void modc(State& s);

}  // namespace questrand
