// The state of one run: fourteen plain blocks with their defaults and the
// run's scratch space, gathered in one object that every routine receives by
// reference.
//
// Fields are fixed 350 x 350 arrays of single-precision reals indexed (I, J)
// from 1, I (x, columns) varying fastest; grid vectors hold 350 reals indexed
// from 1.  Nothing here allocates after the object is made.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace questrand {

inline constexpr int kMaxGrid = 350;  // largest grid the fields can hold

// 350 x 350 field, element (I, J) at offset (J-1)*350 + (I-1).  Zero when
// value-initialised (Field{}, std::make_unique<Field>()) and in a State
// (whose storage comes zeroed, see State); a Field declared plainly elsewhere
// holds indeterminate values.
struct Field {
  float data[kMaxGrid * kMaxGrid];
  float& operator()(int i, int j) { return data[(j - 1) * kMaxGrid + (i - 1)]; }
  float operator()(int i, int j) const { return data[(j - 1) * kMaxGrid + (i - 1)]; }
};

// Grid vector of 350 reals, element I at offset I-1.
struct GridVec {
  float data[kMaxGrid] = {};
  float& operator()(int i) { return data[i - 1]; }
  float operator()(int i) const { return data[i - 1]; }
};

// Grid sizes and the nineteen grid vectors.
struct Cgrid {
  bool axisym = false;  // axisymmetric: the radius of row J is y(J)
  int ni = 3;           // grid columns
  int nj = 3;           // grid rows
  int ilast = 0;        // ni - 1
  int jlast = 0;        // nj - 1
  GridVec x, y, xu, yv, rad, radv, radvs, dxe, dxw, dxeu, dxwu, wx, wxu, dyn, dys, dynv, dysv, hy, hyv;
  Cgrid() {
    x(1) = -0.5f; x(2) = 0.5f; x(3) = 1.5f;
    y(1) = -0.5f; y(2) = 0.5f; y(3) = 1.5f;
  }
};

// Time stepping.
struct Ctime {
  bool steady = true;  // one steady solve, no time loop
  int nsteps = 1;      // number of the last time step
  int istep = 0;       // current time step
  float dt = 1.0f;     // time-step size
  float time = 0.0f;   // physical time
};

// Solution fields and their solve switches.
struct Cvar {
  bool solve_u = false, solve_v = false, solve_p = false, solve_t = false, solve_c = false;
  Field u, v, p, pcor, t, c, cold, uold, vold, told;
};

// Property fields.
struct Cprop {
  bool propupd = false;  // property update after every outer iteration
  float vis0 = 1.0f;     // starting viscosity
  float den0 = 1.0f;     // starting density
  float prandtl = 1.0f;  // starting gamt = vis0 / prandtl
  float schmidt = 1.0f;  // starting gamc = vis0 / schmidt
  Field den, denold, vis, gamt, gamc;
};

// Iteration control and residuals.  References are ordered mass, u, v, t, c;
// residuals u, v, mass, t, c.
struct Cterm {
  int maxit = 1;
  int iter = 0;
  float convtol = 1.0e-6f;
  float resref_m = 1.0f, resref_u = 1.0f, resref_v = 1.0f, resref_t = 1.0f, resref_c = 1.0f;
  float res_u = 0.0f, res_v = 0.0f, res_mass = 0.0f, res_t = 0.0f, res_c = 0.0f;
};

// Under-relaxation factors.
struct Crelx {
  float relax_u = 1.0f, relax_v = 1.0f, relax_p = 1.0f, relax_t = 1.0f, relax_c = 1.0f;
};

// Pressure reference cell.
struct Cpres {
  int ipref = 2, jpref = 2;
};

// Linear-solver choice: 1 line solver, 2 whole-field solver.
struct Csolv {
  int solver_u = 1, solver_v = 1, solver_p = 1, solver_t = 1, solver_c = 1;
  float solver_alpha = 0.8f;  // whole-field iteration parameter
};

// Linear-solver limits.
struct Cters {
  int sweeps_u = 1, sweeps_v = 1, sweeps_p = 1, sweeps_t = 1, sweeps_c = 1;
  float tol_u = 1.0e-6f, tol_v = 1.0e-6f, tol_p = 1.0e-6f, tol_t = 1.0e-6f, tol_c = 1.0e-6f;
};

// Units, file names and output switches.  Names are blank-padded texts of
// exactly 12 characters, titles of exactly 21.
struct Cio {
  int unit_in = 1, unit_list = 3, unit_file = 4, unit_con = 6;
  std::string runname = "RESULT.     ";
  std::string rstin_name = "PHIDAT.     ";
  std::string rstout_name = "PHIDAT.     ";
  bool restart_in = false, restart_out = false;
  bool save_vel = false, save_prs = false, save_tmp = false, save_con = false;
  int imon = 2, jmon = 2;
  int prt_iter = 1, prt_step = 1;
  std::string title_u = "*-*- U- VELOCITY -*-*";
  std::string title_v = "*-*- V- VELOCITY -*-*";
  std::string title_p = "*-*-*- PRESSURE *-*-*";
  std::string title_t = "*-*- TEMPERATURE -*-*";
  std::string title_c = "*-* CONCENTRATION *-*";
};

// General constants.
struct Cgen {
  float bignum = 1.0e30f;  // fixes values through the source terms
};

// The instrument: dimensions, layer rows, physical parameters (zero at start).
struct Cprob {
  float halfgap = 0, chlength = 0;
  bool parabolic = false;
  float c_in = 0, u_in = 0, density = 0, viscosity = 0, diff_flow = 0;
  float flowin = 0, momin = 0;
  float spare = 0;
  float th_memb = 0, th_gel = 0, diff_memb = 0, diff_gel = 0;
  int jflow1 = 0, jflow2 = 0, jmemb1 = 0, jmemb2 = 0, jgel1 = 0, jgel2 = 0;
  int n_flow = 0, n_memb = 0, n_gel = 0;
};

// Coefficients of the linearised equation being assembled, and the velocity
// correction coefficients (zero at start).
struct Ccoef {
  Field ap, an, as, ae, aw, su, sp, du, dv;
};

// The discretisation of the concentration equation (core/scheme.hpp): the
// standard scheme, or the second-order one with its extra time level, on the
// input's equal columns or on columns graded toward the inlet.
enum class Scheme { standard, second_order, second_order_graded };

// True for both forms of the second-order scheme.
inline bool is_second_order(Scheme scheme) { return scheme != Scheme::standard; }
struct Cscheme {
  Scheme scheme = Scheme::standard;
  int steps = 0;  // time steps (and sub-steps) begun since the run started (or was continued from a restart file)
  int output_steps = 0;       // time steps begun since then (second-order scheme)
  bool from_time_zero = false;  // the run's first step began at time 0
  float step_dt = 0.0f;       // the size of the current time step (its sub-steps take step_dt / substeps)
  float last_dt = 0.0f;       // the size of the previous (sub-)step
  float step_ratio = 1.0f;    // current over previous (sub-)step size: the BDF2 weights' ratio
  float step_start = 0.0f;    // the time at which the current step began
  int substeps = 1, substep = 1;  // sub-steps of the current step, and which one is being made
  int substep_iterations = 0; // outer iterations of the step's earlier sub-steps
  int start_step = 1;         // the output step at which the last start began (time 0, or a jump of the inlet)
  float start_dt = 0.0f;      // the start is that of a run with steps of start_dt (--start-dt; 0: the run's own dt)
  int start_factor = 1;       // the run's steps per step of start_dt (set_start_factor)
  bool restarted = false;     // a jump of the inlet (PHYSICS.INP wash-out) began a start
  Field c2old;    // c two time levels back (second-order scheme, from its second step on)
  Field deferred; // deferred-correction source of the convection (second-order scheme, current assembly)
  Field limited;  // 1 where the step's time derivative is limited (second-order scheme, current step)
  // the change-based convergence test of the graded columns (core/graded_columns.hpp):
  Field iterate_before;    // c before the current outer iteration's solve
  Field last_change;       // c's change over the previous outer iteration
  double largest_change = 0.0;  // the largest |change| of the previous outer iteration
};

// The physics of PHYSICS.INP (physics/physics.hpp), all off by default.
struct Cphys {
  bool present = false;          // PHYSICS.INP was read
  float partition_memb = 1.0f;   // membrane/liquid partition coefficient K
  float partition_gel = 1.0f;    // gel/liquid partition coefficient K
  bool sink = false;             // the gel's back face held at c = 0
  float rate_gel = 0.0f;         // first-order uptake in the gel (1/s)
  std::string inlet_file;        // a measured inlet record (time, c_in), when given
  std::vector<std::pair<float, float>> inlet;  // its rows
  bool washout = false;          // c_in until washout_at, then 0
  float washout_at = 0.0f;
  float c0_gel = 0.0f;           // the gel's initial concentration
  bool wall = false;             // lower_face = wall: y = 0 a no-slip, closed wall (else a symmetry plane)
  double m_sink = 0.0, m_reacted = 0.0;          // accumulated since the run's start
  double level_sink = 0.0, level_reacted = 0.0;  // over the last (sub-)step
  Field phi, phi_old, phi_2old;  // c / K of the three time levels (partition)
};

// Scratch space of the solvers and of the equation assembly: arrays whose
// contents live only within one call (or one equation).  Each run owns its
// own, so that runs in different threads share nothing.

// Elimination factors of one sweep direction of the line solver, laid out as
// a field: element (J-1)*350 + (I-1) of tda holds tda of node (I, J) along
// its line (column I for the vertical lines, row J for the horizontal ones)
// and of term its reciprocal pivot.
struct LineFactors {
  float tda[kMaxGrid * kMaxGrid];
  float term[kMaxGrid * kMaxGrid];
};

// Work arrays of the line solver: the factors of both sweep directions (kept
// from the first pass of an adisol call for its later passes) and the node
// residuals of the pass test, (J - jstart) * 350 + (I - istart).
struct LineSolverWork {
  LineFactors vertical, horizontal;
  float residual[kMaxGrid * kMaxGrid];
};

// Work arrays of the whole-field solver.
struct WholeFieldWork {
  Field sipy, sipx, sipv, sipd, sipr, sipq;
};

// The second-order scheme's geometric ratios of the limited value at the
// face between nodes K and K+1 of one direction (columns for x, rows for
// y), element K, for a flow toward +x or +y (pos) and toward -x or -y (neg):
// up = (U-D) / (UU-U) and face = (U-face) / (U-D) distances.
struct FaceRatios {
  double up_pos[kMaxGrid + 1] = {}, face_pos[kMaxGrid + 1] = {};
  double up_neg[kMaxGrid + 1] = {}, face_neg[kMaxGrid + 1] = {};
};

// F (c_f - c_U) of the north faces of channel row `row`, element I, kept by
// the second-order assembly for the row above, whose south faces they are
// (row -1: none kept in this assembly pass).
struct NorthFaces {
  int row = -1;
  double correction[kMaxGrid + 1] = {};
};

// All the scratch space of one run.
struct Workspace {
  FaceRatios x_face, y_face;  // of the current grid, formed by each second-order solve of the concentration
  NorthFaces north_faces;
  LineSolverWork line;
  WholeFieldWork whole_field;
  Field cell_residual;  // per-cell absolute residuals of the equation being relaxed (mass imbalances in calcp)
  Field correction;     // the change d = phi_new - phi of one second-order solve of the concentration
};

// The whole state of a run.  It is large (about 18 MB): make it once, on the
// heap (std::make_unique<State>()), and pass it by reference.
//
// Its storage comes from calloc, zeroed, and the constructor sets only the
// blocks' scalars and texts: the fields start at zero without being written.
// The system then maps a field's pages only as a run touches them (a 22 x 24
// grid touches 9 of the 120 pages of each field), where clearing the whole
// object faulted in all 18 MB, some 4,500 pages, at every run's start.
struct State {
  State();  // defined apart, so that value-initialisation does not clear the object
  static void* operator new(std::size_t size);
  static void operator delete(void* p) noexcept;

  Cgrid cgrid;
  Ctime ctime;
  Cvar cvar;
  Cprop cprop;
  Cterm cterm;
  Crelx crelx;
  Cpres cpres;
  Csolv csolv;
  Cters cters;
  Cio cio;
  Cgen cgen;
  Cprob cprob;
  Ccoef ccoef;
  Cscheme cscheme;
  Cphys cphys;
  Workspace work;  // scratch of the solvers and the assembly (no part of the run's values)
};

}  // namespace questrand
