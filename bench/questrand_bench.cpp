// Benchmarks of the flow-through diffusion simulation on a 348 x 348 grid:
// one whole outer iteration, its parts, the assembly of single equations and
// the single sweeps of the linear solvers.
//
// Every figure is reported per solved grid node, the (ni-2) x (nj-2) = 346 x 346
// interior scalar cells, as two user counters:
//   ns_per_node       CPU nanoseconds per node and per benchmark iteration
//   items_per_second  nodes processed per CPU second
//
// Each timed iteration starts from the same saved fields (restored with the
// timer paused), so every iteration does the same work on the same numbers.
// Without this the fields would converge as the benchmark runs: the line
// solver stops its passes early once the residual sum reaches its tolerance,
// and ever smaller corrections would drift towards subnormal numbers.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "control/run.hpp"
#include "core/state.hpp"
#include "discretise/momentum.hpp"
#include "discretise/scalar_transport.hpp"
#include "setup/input.hpp"
#include "setup/properties.hpp"
#include "solvers/line_solver.hpp"
#include "solvers/whole_field_solver.hpp"

namespace {

using questrand::Ccoef;
using questrand::Field;
using questrand::State;

// The reference problem input with 348 grid columns and 200 + 40 + 106 cell
// rows across channel, membrane and gel (nj = 348).
constexpr const char* kProblemText =
    "DIFFUSION INSTRUMENT - PROBLEM INPUT\n"
    "benchmark case, 348 x 348 nodes\n"
    "-----------------------------------------\n"
    "GEOMETRY\n"
    "channel length, half-gap, membrane thickness, gel thickness (m)\n"
    "0.02  0.001  1.0E-4  5.0E-4\n"
    "inlet velocity (m/s, centreline value when parabolic)\n"
    "0.005\n"
    "parabolic start profile (T/F)\n"
    "T\n"
    "spare value (not used)\n"
    "0.0\n"
    "inlet concentration\n"
    "1.0\n"
    "FLUID AND SPECIES\n"
    "fluid density (kg/m3)\n"
    "1000.0\n"
    "fluid viscosity (Pa s)\n"
    "1.0E-3\n"
    "diffusivity in channel, membrane, gel (m2/s)\n"
    "1.0E-9  5.0E-10  8.0E-10\n"
    "GRID\n"
    "number of grid columns\n"
    "348\n"
    "cell rows across channel, membrane, gel\n"
    "200 40 106\n"
    "TIME STEPPING\n"
    "steady state (T/F)\n"
    "T\n"
    "number of the last time step\n"
    "1\n"
    "time-step size (s)\n"
    "1.0\n"
    "EQUATIONS\n"
    "solve the flow (T/F)\n"
    "T\n"
    "solve the concentration (T/F)\n"
    "T\n"
    "ITERATION CONTROL\n"
    "maximum outer iterations per time step\n"
    "400\n"
    "convergence tolerance\n"
    "1.0E-4\n"
    "UNDER-RELAXATION\n"
    "u, pressure correction\n"
    "0.5  0.5\n"
    "concentration\n"
    "1.0\n"
    "LINEAR SOLVERS (1 line-by-line, 2 whole-field)\n"
    "u, pressure correction\n"
    "1  1\n"
    "concentration\n"
    "1\n"
    "OUTPUT\n"
    "monitoring column and row\n"
    "11  6\n"
    "field-table interval in time steps\n"
    "1\n"
    "run name (columns 1-12)\n"
    "FLOWC.OUT\n"
    "write the restart file at the end (T/F)\n"
    "F\n"
    "read the restart file at the start (T/F)\n"
    "F\n";

constexpr int kWarmupIterations = 5;

enum class Solver { Line = 1, WholeField = 2 };

void set_solvers(State& s, int selector) {
  s.csolv.solver_u = selector;
  s.csolv.solver_v = selector;
  s.csolv.solver_p = selector;
  s.csolv.solver_c = selector;
}

// One outer iteration as the run driver makes it (flow and concentration
// solved, properties updated, residuals normalised and tested).
void one_outer_iteration(State& s) { benchmark::DoNotOptimize(questrand::outer_iteration(s)); }

// The problem read, the geometry derived and the starting fields set as at
// the start of a run, then a few outer iterations so that the fields are no
// longer the trivial starting ones.
std::unique_ptr<State> make_problem(Solver solver) {
  auto s = std::make_unique<State>();
  questrand::read_problem(*s, questrand::kProblemFile, kProblemText);
  set_solvers(*s, static_cast<int>(solver));
  questrand::start_run(*s);
  for (int n = 0; n < kWarmupIterations; ++n) one_outer_iteration(*s);
  return s;
}

// Warmed problems, made once per solver choice and shared by the benchmarks.
const State& warmed_problem(Solver solver) {
  static std::map<Solver, std::unique_ptr<State>> cache;
  auto it = cache.find(solver);
  if (it == cache.end()) it = cache.emplace(solver, make_problem(solver)).first;
  return *it->second;
}

double solved_nodes(const State& s) { return static_cast<double>(s.cgrid.ni - 2) * static_cast<double>(s.cgrid.nj - 2); }

// ns_per_node: the value nodes * 1e-9 as an iteration-invariant rate is
// nodes * 1e-9 * iterations / cpu_seconds; inverted it is
// cpu_seconds * 1e9 / (nodes * iterations), nanoseconds per node per iteration.
void report(benchmark::State& st, double nodes) {
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * nodes));
  st.counters["ns_per_node"] =
      benchmark::Counter(nodes * 1.0e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Runs `step` on a copy of the warmed problem, restoring the copy before each
// timed iteration.  `prepare` adjusts the copy once before the loop.
template <class Prepare, class Step>
void run_on_state(benchmark::State& st, Solver solver, Prepare prepare, Step step) {
  const State& warmed = warmed_problem(solver);
  auto base = std::make_unique<State>(warmed);
  prepare(*base);
  auto s = std::make_unique<State>(*base);
  for (auto _ : st) {
    st.PauseTiming();
    *s = *base;
    st.ResumeTiming();
    step(*s);
    benchmark::ClobberMemory();
  }
  report(st, solved_nodes(*s));
}

void no_change(State&) {}

// ---------------------------------------------------------------------------
// Whole outer iterations and their parts.

void BM_OuterIteration(benchmark::State& st, Solver solver) { run_on_state(st, solver, no_change, one_outer_iteration); }

void BM_Part(benchmark::State& st, Solver solver, void (*part)(State&)) { run_on_state(st, solver, no_change, part); }

// Assembly of one equation alone: the solver selector 0 makes the routine
// build the coefficients, apply the boundary hook, form the residual and the
// relaxation, and solve nothing.
void BM_AssemblyU(benchmark::State& st) {
  run_on_state(st, Solver::Line, [](State& s) { s.csolv.solver_u = 0; }, questrand::calcu);
}
void BM_AssemblyV(benchmark::State& st) {
  run_on_state(st, Solver::Line, [](State& s) { s.csolv.solver_v = 0; }, questrand::calcv);
}
void BM_AssemblyC(benchmark::State& st) {
  run_on_state(st, Solver::Line, [](State& s) { s.csolv.solver_c = 0; }, questrand::calcc);
}

// ---------------------------------------------------------------------------
// Single solver sweeps on systems from real assemblies.

// An assembled five-point system with the field it is solved for and the
// range of unknowns.
struct System {
  Ccoef cf;
  Field phi;
  int ni = 0, nj = 0;
  int istart = 0, jstart = 0, iend = 0, jend = 0;
  questrand::Range range() const { return {istart, jstart, iend, jend}; }
};

enum class Equation { U, P, C };

// Assembles the named equation of the warmed problem without solving it.
std::unique_ptr<System> make_system(Equation eq) {
  auto s = std::make_unique<State>(warmed_problem(Solver::Line));
  auto sys = std::make_unique<System>();
  const int ilast = s->cgrid.ilast;
  const int jlast = s->cgrid.jlast;
  switch (eq) {
    case Equation::U:
      s->csolv.solver_u = 0;
      questrand::calcu(*s);
      sys->phi = s->cvar.u;
      sys->istart = 3;
      sys->jstart = 2;
      break;
    case Equation::P:
      // calcp with nothing solved leaves its coefficients in place; pcor is 0.
      questrand::calcu(*s);
      questrand::calcv(*s);
      s->csolv.solver_p = 0;
      questrand::calcp(*s);
      sys->phi = s->cvar.pcor;
      sys->istart = 2;
      sys->jstart = 2;
      break;
    case Equation::C:
      s->csolv.solver_c = 0;
      questrand::calcc(*s);
      sys->phi = s->cvar.c;
      sys->istart = 2;
      sys->jstart = 2;
      break;
  }
  sys->cf = s->ccoef;
  sys->ni = s->cgrid.ni;
  sys->nj = s->cgrid.nj;
  sys->iend = ilast;
  sys->jend = jlast;
  return sys;
}

const System& system_of(Equation eq) {
  static std::map<Equation, std::unique_ptr<System>> cache;
  auto it = cache.find(eq);
  if (it == cache.end()) it = cache.emplace(eq, make_system(eq)).first;
  return *it->second;
}

enum class Sweep { Lisoli, Lisolj, Adisol1, Adisol5, Simsol1, Simsol2 };

void BM_Sweep(benchmark::State& st, Equation eq, Sweep sweep) {
  const System& sys = system_of(eq);
  auto phi = std::make_unique<Field>(sys.phi);
  auto line_work = std::make_unique<questrand::LineSolverWork>();
  auto whole_field_work = std::make_unique<questrand::WholeFieldWork>();
  const double nodes = static_cast<double>(sys.iend - sys.istart + 1) * static_cast<double>(sys.jend - sys.jstart + 1);
  for (auto _ : st) {
    st.PauseTiming();
    *phi = sys.phi;
    float alpha = 0.8f;
    st.ResumeTiming();
    switch (sweep) {
      case Sweep::Lisoli:
        questrand::lisoli(sys.cf, sys.range(), *phi, *line_work);
        break;
      case Sweep::Lisolj:
        questrand::lisolj(sys.cf, sys.range(), *phi, *line_work);
        break;
      case Sweep::Adisol1:
        questrand::adisol(sys.cf, sys.range(), *phi, {1, 1.0e-6f}, *line_work);
        break;
      case Sweep::Adisol5:
        // Tolerance -1: all five passes are made, whatever the residual.
        questrand::adisol(sys.cf, sys.range(), *phi, {5, -1.0f}, *line_work);
        break;
      case Sweep::Simsol1:
        questrand::simsol(sys.cf, sys.range(), *phi, {sys.ni, sys.nj, 1}, alpha, *whole_field_work);
        break;
      case Sweep::Simsol2:
        questrand::simsol(sys.cf, sys.range(), *phi, {sys.ni, sys.nj, 2}, alpha, *whole_field_work);
        break;
    }
    benchmark::DoNotOptimize(phi->data);
    benchmark::ClobberMemory();
  }
  report(st, nodes);
}

// The limit a line sweep is measured against: the two recurrences of the
// tridiagonal solve, line by line on 346 lines of 346 nodes,
//   c(m) = (r(m) + e(m) x'(m) + b(m) c(m-1)) t(m)   (forward)
//   x(m) = a(m) x(m+1) + c(m)                       (backward)
// where x' is the line solved before, as in a sweep (whose right-hand sides
// read the neighbouring line it has just solved).  Each node waits on the
// one before, and each line on the one before it, so the figure is the
// latency of the five dependent float operations per node (multiply, add,
// multiply forward; multiply, add back), with every coefficient already at
// hand: a sweep that reads its coefficients and forms its factors too
// cannot go below it.
void BM_LineRecurrenceLimit(benchmark::State& st) {
  constexpr int n = 346;
  std::vector<float> r(n * n), e(n * n), b(n * n), t(n * n), a(n * n), c(n), x(n * (n + 1));
  for (int k = 0; k < n * n; ++k) {
    r[k] = 1.0f + 1.0e-3f * static_cast<float>(k % 17);
    e[k] = 0.125f;
    b[k] = 0.25f;
    t[k] = 0.5f;
    a[k] = 0.25f;
  }
  for (auto _ : st) {
    for (int line = 0; line < n; ++line) {
      const std::size_t k0 = static_cast<std::size_t>(line) * n;
      const float* solved = x.data() + k0;  // the line before (line 0: the zeros of the first row)
      float* out = x.data() + k0 + n;
      float cm = 0.0f;
      for (int m = 0; m < n; ++m) {
        cm = (r[k0 + m] + e[k0 + m] * solved[m] + b[k0 + m] * cm) * t[k0 + m];
        c[m] = cm;
      }
      float xm = 0.0f;
      for (int m = n - 1; m >= 0; --m) {
        xm = a[k0 + m] * xm + c[m];
        out[m] = xm;
      }
    }
    benchmark::DoNotOptimize(x.data());
    benchmark::ClobberMemory();
  }
  report(st, static_cast<double>(n) * n);
}

// With --benchmark_repetitions the smallest figure of the repetitions is
// reported beside mean, median and spread: on a shared machine it is the one
// least disturbed by other work.
double smallest(const std::vector<double>& v) { return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end()); }

// Registers one benchmark with its display unit and the extra statistic.
template <class... Args>
void add(const std::string& name, benchmark::TimeUnit unit, Args&&... args) {
  benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...)->Unit(unit)->ComputeStatistics("min", smallest);
}

void register_all() {
  add("OuterIteration/line", benchmark::kMillisecond, BM_OuterIteration, Solver::Line);
  add("OuterIteration/whole_field", benchmark::kMillisecond, BM_OuterIteration, Solver::WholeField);

  const std::pair<const char*, void (*)(State&)> parts[] = {
      {"calcu", questrand::calcu}, {"calcv", questrand::calcv}, {"calcp", questrand::calcp},
      {"calcc", questrand::calcc}, {"props", questrand::props}};
  for (const auto& [solver, label] : {std::pair{Solver::Line, "line"}, std::pair{Solver::WholeField, "whole_field"}})
    for (const auto& [name, fn] : parts)
      add(std::string("Part/") + name + "/" + label, benchmark::kMillisecond, BM_Part, solver, fn);

  add("Assembly/calcu", benchmark::kMillisecond, BM_AssemblyU);
  add("Assembly/calcv", benchmark::kMillisecond, BM_AssemblyV);
  add("Assembly/calcc", benchmark::kMillisecond, BM_AssemblyC);

  const std::pair<Equation, const char*> equations[] = {{Equation::C, "c"}, {Equation::P, "pcor"}, {Equation::U, "u"}};
  const std::pair<Sweep, const char*> sweeps[] = {{Sweep::Lisoli, "lisoli"},
                                                  {Sweep::Lisolj, "lisolj"},
                                                  {Sweep::Adisol1, "adisol_nsweep1"},
                                                  {Sweep::Adisol5, "adisol_nsweep5"},
                                                  {Sweep::Simsol1, "simsol_nsweep1"},
                                                  {Sweep::Simsol2, "simsol_nsweep2"}};
  for (const auto& [eq, eq_name] : equations)
    for (const auto& [sweep, sweep_name] : sweeps)
      add(std::string("Sweep/") + sweep_name + "/" + eq_name, benchmark::kMicrosecond, BM_Sweep, eq, sweep);
  add("Limit/line_recurrence", benchmark::kMicrosecond, BM_LineRecurrenceLimit);
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
