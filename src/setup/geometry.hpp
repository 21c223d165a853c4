// Cell geometry of the staggered grid.
#pragma once

#include "core/state.hpp"

namespace questrand {

// Derives from ni, nj, x, y and axisym every distance, width, face position
// and radius of the scalar cells and of the staggered u- and v-cells:
//   dxe = x(I+1)-x(I), dxw = x(I)-x(I-1), wx = (dxw+dxe)/2,
//   xu = (x(I-1)+x(I))/2, dxeu/dxwu between u locations, wxu = (dxwu+dxeu)/2,
// and likewise in y (dyn, dys, hy, yv, dynv, dysv, hyv); rad = y or 1,
// radv = (rad(J-1)+rad(J))/2, radvs = (radv(J)+radv(J-1))/2.
// Boundary entries the formulas do not reach are set to zero.  Assumes
// 3 <= ni, nj <= 350 and increasing node coordinates.
void geom(State& s);

}  // namespace questrand
