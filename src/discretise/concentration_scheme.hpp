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
// cells).
//
// Convection: the standard scheme weights every face by the hybrid rule
// (upwind with the diffusion dropped beyond a cell Peclet number of 2: first
// order in the channel, where it is 50-5000).  The second-order scheme keeps
// the diffusion of every face and convects the face value of a limited
// linear reconstruction, by deferred correction:
//   implicit:  a_down = D + max(-F, 0),  a_up = D + max(F, 0)   (upwind)
//   explicit:  S = -sum over faces of F (c_f - c_U),  formed from the current
//              iterate, so that the converged field carries the flux F c_f;
//   c_f = c_U + s d_Uf / d_UD,  s = vl(a, b) the van Leer mean of the two
//   slopes b = c_D - c_U and a = (c_U - c_UU) d_UD / d_UUU
//   (vl = 2ab / (a + b) when a and b have one sign, else 0; U the upwind
//   node, D the downwind one, UU the one beyond U, d distances).  The face
//   value lies between c_U and c_D, so no new extremum appears (TVD), and it
//   is the linear interpolation of smooth profiles (second order).  At the
//   inlet face the upwind value is the inlet value itself, c_f = c(1, J).  The
//   outlet face carries the linear extrapolation c_f = c_U + (c_U - c_UU) / 2
//   held within the range of the inlet and previous-step values; it has no
//   diffusive flux (outflow), and the inlet face is a fixed value c(1, J) at
//   x = 0 (conductance D A / (dx / 2)).  The mixing-cup c_out is formed with
//   the same face values.
//
// Time (second-order scheme): BDF2,
//   dc/dt = (1.5 c - 2 c_old + 0.5 c_2old) / dt,
// bounded: a cell whose iterate leaves the range [low, high] of the inlet and
// previous-step values (concentration_bounds) takes the implicit Euler step
// (c - c_old) / dt for the rest of that step.  Implicit Euler with the upwind
// implicit part gives a new value that is a mean with positive weights of the
// old value and the neighbours', so a step up of the inlet no longer
// overshoots (plain BDF2 does, by some 5 % in the channel's first steps at
// Courant numbers of 10-100).  Smooth histories never leave the range and
// keep BDF2 everywhere.
#pragma once

#include <string>

#include "core/state.hpp"

namespace questrand {

// "standard", "second-order" or "second-order-graded" (the second-order
// scheme on columns graded toward the inlet, core/graded_columns.hpp): the
// name on the command line, in the run record and in the summary.
const char* scheme_name(Scheme scheme);

// The names of every scheme, for a message: "standard, second-order or
// second-order-graded".
const char* scheme_choices();

// The scheme a command-line value names; false when it names none.
bool parse_scheme(const std::string& text, Scheme& scheme);

// Height of the design cell of row J (1..nj; the mirror rows take their
// neighbour's layer): th/n of its layer.
inline float design_cell_height(const State& s, int j) {
  const Cprob& pb = s.cprob;
  if (j <= pb.jflow2) return pb.halfgap / static_cast<float>(pb.n_flow);
  if (j <= pb.jmemb2) return pb.th_memb / static_cast<float>(pb.n_memb);
  return pb.th_gel / static_cast<float>(pb.n_gel);
}

// Height of the concentration control volume of row J under the run's scheme:
// hy(J), or the design cell height.
inline float concentration_cell_height(const State& s, int j) {
  return is_second_order(s.cscheme.scheme) ? design_cell_height(s, j) : s.cgrid.hy(j);
}

// Time-derivative weights of the concentration equation at the current step:
//   dc/dt = (now c - old c_old + older c_2old) / dt.
// Implicit Euler {1, 1, 0} (standard scheme; the start step of the
// second-order one), BDF2 {1.5, 2, 0.5} from the second step on; where the
// step size changes (the sub-steps of the start), with w = dt_n / dt_(n-1),
// {(1 + 2w) / (1 + w), 1 + w, w^2 / (1 + w)}.
struct TimeWeights {
  float now, old, older;
};
TimeWeights concentration_time_weights(const State& s);

// The time derivative of a cell as dc/dt = (now c - explicit_part) / dt:
// now = w.now, explicit = w.old c_old - w.older c_2old; a cell marked
// limited in this step: now = 1, explicit = c_old (implicit Euler).
struct TimeTerm {
  double now, explicit_part;
};
inline TimeTerm time_term(const TimeWeights& w, double c_old, double c_2old, bool limited) {
  if (w.older == 0.0f || limited) return {1.0, c_old};
  return {w.now, static_cast<double>(w.old) * c_old - static_cast<double>(w.older) * c_2old};
}

// Marks (s.cscheme.limited = 1) the cells whose value lies outside
// [low, high] by more than 1e-6 of the range; the marks hold until the next
// step begins.
void mark_cells_out_of_bounds(State& s, float low, float high);

// van Leer's mean of two slopes: 2ab / (a + b) when they have one sign, else 0.
inline double van_leer(double a, double b) {
  if (a * b <= 0.0) return 0.0;
  return 2.0 * a * b / (a + b);
}

// Second-order scheme: the face value of the limited linear reconstruction
// (van Leer) from the upwind node U, the node beyond it UU and the downwind
// node D, with the distances UU-U, U-D and U-face given as the ratios
// up = d_ud / d_uuu and face = d_uf / d_ud (set_face_ratios).
inline double limited_face_value_of_ratios(double c_uu, double c_u, double c_d, double up, double face) {
  const double downwind_slope = c_d - c_u;
  const double upwind_slope = (c_u - c_uu) * up;
  return c_u + van_leer(upwind_slope, downwind_slope) * face;
}

// The ratios d_ud / d_uuu and d_uf / d_ud of every x face of the grid into
// s.work.x_face, and of every y face into s.work.y_face, for
// limited_face_value_of_ratios.
void set_face_ratios(State& s);

// Second-order scheme: the explicit deferred-correction sources of the cells
// of row j, S = -sum F (c_f - c_U) over each cell's four faces (see above),
// from the face mass fluxes as the assembly forms them; 0 outside the
// channel.  The outlet face value is held within [low, high].  The cells
// are taken in order, i = 2, 3, ..., and the rows of an assembly pass in
// order, j = 2, 3, ..., so that each face's F (c_f - c_U) is formed once for
// the two cells it bounds (a cell's west flux is, bit for bit, its west
// neighbour's east flux, and its south flux its south neighbour's north
// flux); an assembly pass starts with s.work.north_faces.row = -1.
struct FaceFlows {
  double fn, fs, fe, fw;
};
class DeferredRow {
 public:
  DeferredRow(State& s, int j, float low, float high)
      : s_(s), j_(j), low_(low), high_(high), south_kept_(s.work.north_faces.row == j - 1) {
    s.work.north_faces.row = j;
  }
  float source(int i, const FaceFlows& f);

 private:
  State& s_;
  int j_;
  float low_, high_;
  int next_ = -1;       // the cell whose west face `west_` is (none yet)
  double west_ = 0.0;   // F (c_f - c_U) of that face
  bool south_kept_;     // the south faces' F (c_f - c_U) kept by the row below
};

// Second-order scheme: the conductance of the inlet face of channel row J,
// a fixed value at x = 0, half a column from the first node:
//   0.5 (gam(1, J) + gam(2, J)) A / (dx / 2).
float inlet_conductance(const State& s, int j, float area_ew);

// Second-order scheme: the convected value at the east face of column ilast
// (the outlet) of channel row J, as DeferredRow uses it.
double outlet_face_value(const State& s, int j, float low, float high);

// The range [low, high] of the inlet values c(1, J) and of the previous-step
// field c_old: the bounds a step cannot leave.  With `of_c` the fields hold
// c itself under a PHYSICS.INP partition, and the bounds are those of
// c_old / K, the variable the equation solves (as while it is solved).
void concentration_bounds(const State& s, float& low, float& high, bool of_c = false);

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
// With the two rows' design cell heights h_j, h_j1 given (a row's loop
// forms them once):
inline float series_conductance(const Field& gam, int i, int j, float area, float h_j, float h_j1) {
  const float resistance = 0.5f * h_j / gam(i, j) + 0.5f * h_j1 / gam(i, j + 1);
  return area / resistance;
}
inline float series_conductance(const State& s, int i, int j, float area) {
  return series_conductance(s.cprop.gamc, i, j, area, design_cell_height(s, j), design_cell_height(s, j + 1));
}

}  // namespace questrand
