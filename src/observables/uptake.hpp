// Uptake observables of one time step: how much species each layer holds, the
// flow into the gel, what leaves the channel, the species balance, and the
// concentration at three physical points.
//
// Layer amounts describe the physical layers: per unit depth of the plane
// geometry (per radian about the axis when axisymmetric),
//   m = sum c wx dz rad   over the interior columns 2..ilast of a layer's rows,
// dz = thickness / rows of the layer: each node stands for its design cell,
// which ends on the layer's faces.  (The control volumes of the rows next to
// an interface straddle it, because their faces lie midway between nodes of
// different spacing; summing them would leave a slice of one layer out and
// count one of the other.)  The means are m / (sum wx dz rad).  Face flow
// rates are the
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
//   ((in - out) dt - dM) / M,   M = sum c V over every interior row,
// V = wx hy rad the control volume the standard scheme conserves, dM the
// step's change of the amount as the concentration scheme counts it
// (concentration_change: its control volumes and time-derivative weights,
// M - M_old under the standard scheme), divided by in dt instead when M is
// zero; of a steady solve (in - out) / in.  (Under the second-order scheme a
// step of the start may be made of sub-steps; its balance is that of its
// last sub-step, dt its size.)  The inlet and outlet faces have
// the scheme's cell heights; the membrane-to-gel flux the scheme's
// conductance.  Sums are in double.
//
// Point values at x = L/2 (linear interpolation between the two nearest
// columns) and, across the layers,
//   c_memb_mid  mid-depth of the membrane   (linear between the rows around it)
//   c_gel_mid   mid-depth of the gel        (likewise)
//   c_gel_top   the closed top of the gel:  (9 c_N - c_(N-1)) / 8 from the two
//               top rows, the parabola with zero slope at the closed face
//               (c_N alone when the gel has one row); 0 with PHYSICS.INP
//               gel_back = sink, the value the sink holds on the back face.
// They sit at the same physical places on every grid, unlike the monitor
// probes, which sit on nodes.
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
  double c_memb_mid = 0.0, c_gel_mid = 0.0, c_gel_top = 0.0;
  bool physics = false;                    // PHYSICS.INP given: the two amounts below are written
  double m_sink = 0.0, m_reacted = 0.0;    // into the gel's sink and reacted in the gel, since the start
};

// The observables of the state as it stands at the end of a step (or of a
// steady solve).
Uptake uptake_of(const State& s);

}  // namespace questrand
