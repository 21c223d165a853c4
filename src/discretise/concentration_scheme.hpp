// What the scheme of the concentration equation decides beyond the assembly:
// the height of its control volume in each row, its time-derivative weights
// and its conductance across the face between two rows.  The assembly
// (scalar_transport.cpp) and the species balance (observables/uptake.cpp)
// read them from here.
//
// Standard scheme: the control volume of row J reaches halfway to the
// neighbouring nodes (height hy(J)), so the first and last row of a layer
// reach across the layer's faces; a face between rows J and J+1 carries the
// arithmetic mean of the two diffusivities over the node distance
// (0.5 (gam_J + gam_J+1) A / dyn(J)); implicit Euler in time.
//
// Second-order scheme: the control volumes are the design cells of each layer
// (height th/n: halfgap/n_flow, th_memb/n_memb, th_gel/n_gel; their faces lie
// on the layer boundaries, the nodes at their centres stay where they are);
// a face carries the conductance of the two half cells in series,
//   D = A / (0.5 h_J / gam_J + 0.5 h_J+1 / gam_J+1),
// exact for a piecewise-linear profile and the harmonic mean of the two
// diffusivities when the cells are alike (inside a layer it is gam A / h).
// The channel/membrane face is a no-slip wall for the flow but open to the
// species: the channel's last half cell (D_flow) and the membrane's first
// (D_memb) in series.  Time: BDF2,
//   dc/dt = (1.5 c - 2 c_old + 0.5 c_2old) / dt,
// started by one implicit Euler step (c - c_old) / dt at the first step of a
// run and of every continuation from a restart file (which holds one time
// level).  Along x both schemes use the grid's own cells (already the design
// cells) and hybrid convection.
#pragma once

#include <string>

#include "core/state.hpp"

namespace questrand {

// "standard" or "second-order": the name on the command line, in the
// listing and in the summary.
const char* scheme_name(Scheme scheme);

// The scheme a command-line value names; false when it names none.
bool parse_scheme(const std::string& text, Scheme& scheme);

// Height of the design cell of row J (1..nj; the mirror rows take their
// neighbour's layer): th/n of its layer.
float design_cell_height(const State& s, int j);

// Height of the concentration control volume of row J under the run's scheme:
// hy(J), or the design cell height.
float concentration_cell_height(const State& s, int j);

// Time-derivative weights of the concentration equation at the current step:
//   dc/dt = (now c - old c_old + older c_2old) / dt.
// Implicit Euler {1, 1, 0} (standard scheme; the start step of the
// second-order one), BDF2 {1.5, 2, 0.5} from the second step on.
struct TimeWeights {
  float now, old, older;
};
TimeWeights concentration_time_weights(const State& s);

// The change of the species amount over the current step as the scheme's
// time derivative counts it (per unit depth):
//   sum of V (now c - old c_old + older c_2old),  V = wx h rad,
// over the interior columns 2..ilast of the rows jflow1..jgel2, with h the
// scheme's cell height; in double.  The species balance of a step sets it
// against (inflow - outflow) dt.
double concentration_change(const State& s);

// Second-order scheme: conductance (density included) of the face between
// rows J and J+1 of column I, for a face area `area`:
//   area / (0.5 h_J / gam(I,J) + 0.5 h_J+1 / gam(I,J+1)).
float series_conductance(const State& s, int i, int j, float area);

}  // namespace questrand
