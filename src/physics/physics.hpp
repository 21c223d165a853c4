// The physics of real experiments beyond the instrument's fixed input, read
// from an optional file PHYSICS.INP beside PROB.INP (all off when it is
// absent; then nothing here changes any number the program writes).
//
// PHYSICS.INP: `key = value` lines, `#` comments, blank lines; each key once:
//   partition_memb, partition_gel  K > 0 (default 1): at equilibrium with the
//                 liquid at c the layer holds K c
//   gel_back      closed | sink: the gel's back face closed, or held at c = 0
//   rate_gel      k >= 0 (1/s): first-order uptake in the gel, dc/dt = ... - k c
//   inlet         a CSV of time, c_in rows (an optional header line; times
//                 increasing from >= 0, c_in >= 0): c_in piecewise linear in
//                 time, held before the first row and after the last
//   washout_at    T >= 0 (s): c_in (of PROB.INP) until T, then 0 (not with inlet)
//   c0_gel        >= 0: the gel's concentration at the start of a run from
//                 time 0 (a run continued from a restart file takes its own)
//   lower_face    symmetry | wall: the domain's lower boundary y = 0 a plane of
//                 symmetry (the half of a cell with a membrane and gel on both
//                 walls), or a no-slip wall at rest closed to the species (a
//                 plain wall opposite the membrane: the flow develops across
//                 the whole gap 0..halfgap, the inlet parabola
//                 u_in 4 y (h - y) / h^2 spans it, u_in its peak)
//
// Equations.  With partition the variable continuous across every face is
// phi = c / K (K = 1 in the channel), the layer's capacity K and its
// conductivity K D:
//   K dphi/dt + u . grad phi = div(K D grad phi) - k K phi  (k in the gel only)
// The concentration equation is solved for phi: the fields of c, c_old and
// c_2old are divided by K before the assembly and c = K phi after it; the
// property gamc carries K D (times the density, as before) and the time
// term's capacity K, so every face conductance of either scheme, the
// series conductance of the second-order scheme included, carries K D.  The
// sink is a fixed value phi = 0 on the gel's back face (conductance
// K D A / (h / 2), h the row's design cell height); the reaction an implicit
// sink term k K V in the gel's cells.  The inlet value of the channel rows
// (column 1) is c_in(t) at the time of each (sub-)step.
//
// Amounts.  The rates
//   into the sink  sum K D A phi(jlast) / (h / 2)
//   reacted        sum k c V   over the gel's cells
// at the end of a (sub-)step, times its dt, are what its equation holds as
// leaving, and the step's species balance counts them; m_sink and m_reacted
// (uptake file) accumulate their time integrals by the trapezoidal rule
// over the (sub-)step's start and end values (second order in time).  A run
// continued from a restart file counts them from its own start.
#pragma once

#include <string>
#include <vector>

#include "core/state.hpp"

namespace questrand {

inline constexpr const char* kPhysicsFile = "PHYSICS.INP";

// Reads PHYSICS.INP in the working directory when it exists (and the inlet
// record it names).  A bad line throws io::InputError
// "PHYSICS.INP: line N: KEY: expected ..., found ...".
void read_physics(State& s);

// The reading of read_physics on the text of a file called `name`; the inlet
// record, when named, is read from the working directory.
void read_physics_text(State& s, const std::string& name, const std::string& content);

// The partition coefficient of row J: K of the membrane or the gel (the gel's
// mirror row included), 1 in the channel and without PHYSICS.INP.
float partition(const State& s, int j);

// c_in at time t: the inlet record, the wash-out, or c_in of PROB.INP.
float inlet_value(const State& s, float t);

// True when the inlet value jumps at a time in [from, to) (a wash-out).
bool inlet_jumps_within(const State& s, float from, float to);

// The gel's starting concentration (a run from time 0 with c0_gel given).
void set_initial_gel(State& s);

// The concentration equation under PHYSICS.INP: the inlet value of the
// (sub-)step, the fields as phi, the equation, c = K phi.
void calcc_physics(State& s);

// The boundary conditions of PHYSICS.INP on the assembled concentration
// equation (after modc), on the field the equation solves.
void physics_hook(State& s);

// k K rho V of cell (i, j) (gel rows; 0 elsewhere and without a rate): the
// implicit sink of the reaction, as the equation's coefficients hold it.
double reaction_coefficient(const State& s, int i, int j);

// The conductance of the sink face above the last gel row, column i (0
// without a sink).
double sink_conductance(const State& s, int i);

// A (sub-)step's iterations ended: its amounts into the sink and reacted,
// added to the run's.
void physics_level_ended(State& s);

// Every value of PHYSICS.INP the run uses (defaults included), as
// "key = value" texts in the order of the keys above: the listing's physics
// lines and the end-of-run summary's.
std::vector<std::string> physics_values(const State& s);

// One line naming every value used and the amounts into the sink and
// reacted, for the end-of-run summary; and the same as a JSON object for the
// run record.
std::string physics_summary(const State& s);
std::string physics_json(const State& s);

}  // namespace questrand
