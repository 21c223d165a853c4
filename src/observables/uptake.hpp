// Uptake observables of one time step: how much species each layer holds, the
// flow into the gel, what leaves the channel, and the species balance.
//
// Amounts are per unit depth of the plane geometry (per radian about the axis
// when axisymmetric): m = sum c V over the interior columns 2..ilast of a
// layer's rows, V = wx hy rad the scalar cell.  Face flow rates are the
// concentration equation's own discrete fluxes divided by the face density,
// so that they are amounts per unit time like dm/dt:
//   inlet (west faces of column 2, channel rows):
//     in  = aw c(1,J) - (aw - Fw) c(2,J),   aw = hybrid_plus(Fw, Dw)
//   outlet (east faces of column ilast, channel rows):
//     out = (ae + Fe) c(ilast,J) - ae c(ni,J),   ae = hybrid_minus(Fe, De)
//   membrane to gel (north faces of row jmemb2, columns 2..ilast):
//     flux = Dn (c(I,jmemb2) - c(I,jgel1))
// with F and D as the concentration equation forms them.  The mixing-cup
// outlet concentration is out / sum(Fe / rho) (not a number when nothing
// flows out).  The balance of a transient step is
//   ((in - out) dt - dM) / M,   M = m_flow + m_memb + m_gel,
// with dM the step's change of the amount as the concentration scheme counts
// it (concentration_change: its control volumes and time-derivative weights,
// M - M_old under the standard scheme), divided by in dt instead when M is
// zero; of a steady solve (in - out) / in.  The inlet and outlet faces have
// the scheme's cell heights.  Sums are in double.
#pragma once

#include "core/state.hpp"

namespace questrand {

struct Uptake {
  double time = 0.0;
  double m_flow = 0.0, m_memb = 0.0, m_gel = 0.0;
  double c_memb_mean = 0.0, c_gel_mean = 0.0;
  double flux_memb_gel = 0.0;
  double c_out = 0.0;
  double balance = 0.0;
};

// The observables of the state as it stands at the end of a step (or of a
// steady solve).
Uptake uptake_of(const State& s);

}  // namespace questrand
