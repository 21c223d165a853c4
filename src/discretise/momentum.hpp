// Momentum equations on the staggered cells and the pressure correction.
#pragma once

#include "core/state.hpp"

namespace questrand {

// x-momentum on the u-cells (west faces of the scalar cells), solved for
// I = 3..ilast, J = 2..jlast.  Mass fluxes are the averages of the two
// scalar-face fluxes a u-cell face straddles; conductances use vis (four-cell
// means on the north and south faces); hybrid weighting; transient term with
// face-averaged densities; mass-imbalance correction; pressure force
// du (p(I-1,J) - p(I,J)) with du = hy rad; the normal-stress and
// cross-derivative viscous terms.  After the hook, du = relax hy rad / ap.
void calcu(State& s);

// y-momentum on the v-cells (south faces), solved for I = 2..ilast,
// J = 3..jlast, the same scheme with the axes exchanged and, when axisym,
// the hoop-stress sink vis V / radv^2.  After the hook, dv = relax A / ap
// with A = 0.5 (wx radvs(J) + wx radvs(J+1)).
void calcv(State& s);

// Pressure correction on the scalar cells: an = rho_n An dv(I,J+1) etc.,
// su = -(mass imbalance), res_mass = sum |imbalance|; solve pcor; correct
// u (I >= 3) and v (J >= 3) by du, dv times the pcor difference; p += relax_p
// (pcor - pcor(ipref, jpref)); pcor = 0.
void calcp(State& s);

}  // namespace questrand
