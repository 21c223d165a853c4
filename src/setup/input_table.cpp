#include "setup/input_table.hpp"

#include "io/json.hpp"

#include <cstdio>
#include <map>

namespace questrand {

namespace {

using io::json_text;

// Where each value goes in the state.
#define QUESTRAND_SLOT(expr) [](State& s) -> void* { return &s.expr; }

Limit positive() { return {LimitKind::Positive}; }
Limit not_negative() { return {LimitKind::NotNegative}; }
Limit range(int low, int high) { return {LimitKind::Range, low, high}; }
Limit range_to(int low, const char* high_name) { return {LimitKind::Range, low, 0, high_name}; }
Limit at_least(int low) { return {LimitKind::AtLeast, low}; }
Limit positive_when(const char* when, bool value, const char* checked_as) {
  Limit l{LimitKind::Positive};
  l.when = when;
  l.when_value = value;
  l.checked_as = checked_as;
  return l;
}
Limit none() { return {}; }

std::vector<InputValue> make_values() {
  return {
      {"chlength", ValueType::Real, "channel length", "m", "Length of the channel along the flow (x), inlet to outlet.",
       positive(), QUESTRAND_SLOT(cprob.chlength)},
      {"halfgap", ValueType::Real, "half-gap", "m", "Height of the channel from its symmetry plane to the membrane.",
       positive(), QUESTRAND_SLOT(cprob.halfgap)},
      {"th_memb", ValueType::Real, "membrane thickness", "m", "Thickness of the membrane.", positive(),
       QUESTRAND_SLOT(cprob.th_memb)},
      {"th_gel", ValueType::Real, "gel thickness", "m", "Thickness of the gel.", positive(),
       QUESTRAND_SLOT(cprob.th_gel)},
      {"u_in", ValueType::Real, "inlet velocity", "m/s",
       "Inlet velocity: the centreline value when the profile is parabolic, else the uniform value.", none(),
       QUESTRAND_SLOT(cprob.u_in)},
      {"parabolic", ValueType::Logical, "parabolic-profile switch", "",
       "T: parabolic inlet and starting velocity profile; F: uniform.", none(), QUESTRAND_SLOT(cprob.parabolic)},
      {"spare", ValueType::Real, "spare value", "", "Not used.", none(), QUESTRAND_SLOT(cprob.spare)},
      {"c_in", ValueType::Real, "inlet concentration", "concentration",
       "Concentration of the species at the inlet (any unit: every concentration written is in it).", none(),
       QUESTRAND_SLOT(cprob.c_in)},
      {"density", ValueType::Real, "fluid density", "kg/m3", "Density of the fluid.", positive(),
       QUESTRAND_SLOT(cprob.density)},
      {"viscosity", ValueType::Real, "fluid viscosity", "Pa s", "Dynamic viscosity of the fluid.",
       positive_when("solve_u", true, "fluid viscosity (flow solved)"), QUESTRAND_SLOT(cprob.viscosity)},
      {"diff_flow", ValueType::Real, "diffusivity in the channel", "m2/s",
       "Diffusivity of the species in the channel fluid.", not_negative(), QUESTRAND_SLOT(cprob.diff_flow)},
      {"diff_memb", ValueType::Real, "diffusivity in the membrane", "m2/s",
       "Diffusivity of the species in the membrane.", not_negative(), QUESTRAND_SLOT(cprob.diff_memb)},
      {"diff_gel", ValueType::Real, "diffusivity in the gel", "m2/s", "Diffusivity of the species in the gel.",
       not_negative(), QUESTRAND_SLOT(cprob.diff_gel)},
      {"ni", ValueType::Integer, "number of grid columns", "",
       "Grid columns along x: the interior columns plus the two mirror columns.", range(3, kMaxGrid),
       QUESTRAND_SLOT(cgrid.ni)},
      {"n_flow", ValueType::Integer, "cell rows across the channel", "", "Cell rows across the channel.",
       range(1, kMaxGrid - 4), QUESTRAND_SLOT(cprob.n_flow)},
      {"n_memb", ValueType::Integer, "cell rows across the membrane", "", "Cell rows across the membrane.",
       range(1, kMaxGrid - 4), QUESTRAND_SLOT(cprob.n_memb)},
      {"n_gel", ValueType::Integer, "cell rows across the gel", "", "Cell rows across the gel.",
       range(1, kMaxGrid - 4), QUESTRAND_SLOT(cprob.n_gel)},
      {"steady", ValueType::Logical, "steady-state switch", "", "T: one steady solve; F: a transient run.", none(),
       QUESTRAND_SLOT(ctime.steady)},
      {"nsteps", ValueType::Integer, "number of the last time step", "",
       "Number of the last time step of a transient run (at least one step is always made; a restart adds the "
       "step it read).",
       none(), QUESTRAND_SLOT(ctime.nsteps)},
      {"dt", ValueType::Real, "time-step size", "s", "Time-step size of a transient run.",
       positive_when("steady", false, "time-step size (transient run)"), QUESTRAND_SLOT(ctime.dt)},
      {"solve_u", ValueType::Logical, "flow switch", "", "T: solve the flow (u, v and pressure).", none(),
       QUESTRAND_SLOT(cvar.solve_u)},
      {"solve_c", ValueType::Logical, "concentration switch", "", "T: solve the concentration.", none(),
       QUESTRAND_SLOT(cvar.solve_c)},
      {"maxit", ValueType::Integer, "maximum outer iterations per time step", "",
       "Largest number of outer iterations per time step (a steady restart adds the count it read).", at_least(1),
       QUESTRAND_SLOT(cterm.maxit)},
      {"convtol", ValueType::Real, "convergence tolerance", "",
       "The outer iterations end when the largest normalised residual is at most this.", none(),
       QUESTRAND_SLOT(cterm.convtol)},
      {"relax_u", ValueType::Real, "under-relaxation of u", "", "Under-relaxation factor of u and v.",
       positive_when("solve_u", true, "under-relaxation of u (flow solved)"), QUESTRAND_SLOT(crelx.relax_u)},
      {"relax_p", ValueType::Real, "under-relaxation of the pressure correction", "",
       "Under-relaxation factor of the pressure correction.", none(), QUESTRAND_SLOT(crelx.relax_p)},
      {"relax_c", ValueType::Real, "under-relaxation of c", "", "Under-relaxation factor of the concentration.",
       positive_when("solve_c", true, "under-relaxation of c (concentration solved)"),
       QUESTRAND_SLOT(crelx.relax_c)},
      {"solver_u", ValueType::Integer, "linear-solver choice of u", "",
       "Linear solver of u and v: 1 line-by-line, 2 whole-field; any other value leaves them unsolved.", none(),
       QUESTRAND_SLOT(csolv.solver_u)},
      {"solver_p", ValueType::Integer, "linear-solver choice of the pressure correction", "",
       "Linear solver of the pressure correction: 1 line-by-line, 2 whole-field; any other value leaves it "
       "unsolved.",
       none(), QUESTRAND_SLOT(csolv.solver_p)},
      {"solver_c", ValueType::Integer, "linear-solver choice of c", "",
       "Linear solver of the concentration: 1 line-by-line, 2 whole-field; any other value leaves it unsolved.",
       none(), QUESTRAND_SLOT(csolv.solver_c)},
      {"imon", ValueType::Integer, "monitoring column", "", "Column of the node shown in the listing and on the console.",
       range_to(1, "ni"), QUESTRAND_SLOT(cio.imon)},
      {"jmon", ValueType::Integer, "monitoring row", "", "Row of the node shown in the listing and on the console.",
       range_to(1, "nj"), QUESTRAND_SLOT(cio.jmon)},
      {"prt_step", ValueType::Integer, "field-table interval in time steps", "",
       "Field tables and concentration files every this many time steps.", at_least(1),
       QUESTRAND_SLOT(cio.prt_step)},
      {"runname", ValueType::Text, "run name", "",
       "Columns 1-12 of its line, leading blanks kept: names the listing file; its stem names the other files of "
       "the run.",
       {LimitKind::RunName}, QUESTRAND_SLOT(cio.runname)},
      {"restart_out", ValueType::Logical, "restart-write switch", "", "T: write the restart file at the end.", none(),
       QUESTRAND_SLOT(cio.restart_out)},
      {"restart_in", ValueType::Logical, "restart-read switch", "",
       "T: read the restart file at the start (a missing file: the run starts from the initial fields).", none(),
       QUESTRAND_SLOT(cio.restart_in)},
  };
}

#undef QUESTRAND_SLOT

std::vector<InputRead> make_reads() {
  using K = ReadKind;
  return {
      {K::Skip, "title lines",
       {"QUESTRAND DIFFUSION INSTRUMENT - PROBLEM INPUT", "written by the questrand Python toolkit",
        "-----------------------------------------"},
       {}},
      {K::Skip, "geometry heading", {"GEOMETRY", "channel length, half-gap, membrane thickness, gel thickness"}, {}},
      {K::List, nullptr, {}, {"chlength", "halfgap", "th_memb", "th_gel"}},
      {K::Label, nullptr, {"inlet velocity (centreline value when parabolic)"}, {}},
      {K::List, nullptr, {}, {"u_in"}},
      {K::Label, nullptr, {"parabolic start profile (T/F)"}, {}},
      {K::List, nullptr, {}, {"parabolic"}},
      {K::Label, nullptr, {"spare value (not used)"}, {}},
      {K::List, nullptr, {}, {"spare"}},
      {K::Label, nullptr, {"inlet concentration"}, {}},
      {K::List, nullptr, {}, {"c_in"}},
      {K::Skip, "fluid heading", {"FLUID AND SPECIES", "fluid density"}, {}},
      {K::List, nullptr, {}, {"density"}},
      {K::Label, nullptr, {"fluid viscosity"}, {}},
      {K::List, nullptr, {}, {"viscosity"}},
      {K::Label, nullptr, {"diffusivity in channel, membrane, gel"}, {}},
      {K::List, nullptr, {}, {"diff_flow", "diff_memb", "diff_gel"}},
      {K::Skip, "grid heading", {"GRID", "number of grid columns"}, {}},
      {K::List, nullptr, {}, {"ni"}},
      {K::Label, nullptr, {"cell rows across channel, membrane, gel"}, {}},
      {K::List, nullptr, {}, {"n_flow", "n_memb", "n_gel"}},
      {K::Skip, "time-stepping heading", {"TIME STEPPING", "steady state (T/F)"}, {}},
      {K::List, nullptr, {}, {"steady"}},
      {K::Label, nullptr, {"number of the last time step"}, {}},
      {K::List, nullptr, {}, {"nsteps"}},
      {K::Label, nullptr, {"time-step size"}, {}},
      {K::List, nullptr, {}, {"dt"}},
      {K::Skip, "equations heading", {"EQUATIONS", "solve the flow: u, v and pressure (T/F)"}, {}},
      {K::List, nullptr, {}, {"solve_u"}},
      {K::Label, nullptr, {"solve the concentration (T/F)"}, {}},
      {K::List, nullptr, {}, {"solve_c"}},
      {K::Skip, "iteration-control heading", {"ITERATION CONTROL", "maximum outer iterations per time step"}, {}},
      {K::List, nullptr, {}, {"maxit"}},
      {K::Label, nullptr, {"convergence tolerance"}, {}},
      {K::List, nullptr, {}, {"convtol"}},
      {K::Skip, "under-relaxation heading", {"UNDER-RELAXATION", "u, pressure correction"}, {}},
      {K::List, nullptr, {}, {"relax_u", "relax_p"}},
      {K::Label, nullptr, {"concentration"}, {}},
      {K::List, nullptr, {}, {"relax_c"}},
      {K::Skip, "linear-solver heading", {"LINEAR SOLVERS (1 line-by-line, 2 whole-field)", "u, pressure correction"},
       {}},
      {K::List, nullptr, {}, {"solver_u", "solver_p"}},
      {K::Label, nullptr, {"concentration"}, {}},
      {K::List, nullptr, {}, {"solver_c"}},
      {K::Skip, "output heading", {"OUTPUT", "monitoring column and row"}, {}},
      {K::List, nullptr, {}, {"imon", "jmon"}},
      {K::Label, nullptr, {"field-table interval in time steps"}, {}},
      {K::List, nullptr, {}, {"prt_step"}},
      {K::Label, nullptr, {"run name (columns 1-12)"}, {}},
      {K::Text, nullptr, {}, {"runname"}},
      {K::Label, nullptr, {"write the restart file at the end (T/F)"}, {}},
      {K::List, nullptr, {}, {"restart_out"}},
      {K::Label, nullptr, {"read the restart file at the start (T/F)"}, {}},
      {K::List, nullptr, {}, {"restart_in"}},
  };
}

std::vector<InputRule> make_rules() {
  return {
      {"grid_rows", "n_flow",
       "The number of grid rows nj = n_flow + n_memb + n_gel + 2 is at most 350 (checked after the cell rows)."},
      {"distinct_nodes", "chlength",
       "The lengths give distinct, finite grid columns and rows (checked after the cell rows; a length far below its "
       "neighbours, or an extreme one, makes nodes coincide or overflow)."},
      {"run_name_text", "runname",
       "The run name is not blank, has no control characters, no '/', is not . or .., and it and its stem are "
       "UTF-8 text of printable characters that column 12 and the stem do not cut in two (checked after the last "
       "line)."},
      {"run_name_restart", "runname",
       "When a restart file is read or written the run name has a point or is shorter than 12 characters (the "
       "restart name would equal it)."},
      {"run_name_distinct", "runname",
       "The listing (named by the run name) differs from every other file of the run: the restart files, the save "
       "and profile files, monitor.dat, the uptake file and PROB.INP."},
      {"restart_file", "restart_in",
       "When the restart file is read it must be a restart file of this problem: same grid, the same kind of run "
       "(steady or transient), sound framing, finite values.  Needs the file: checked by a run and by --check, after "
       "every other check; a missing file is not an error (a warning; the run starts from the initial fields)."},
  };
}

const char* type_name(ValueType t) {
  switch (t) {
    case ValueType::Real: return "real";
    case ValueType::Integer: return "integer";
    case ValueType::Logical: return "logical";
    case ValueType::Text: return "text";
  }
  return "";
}

// The "expected ..." text of a limit's error message, as the reader writes it.
std::string expected_text(const Limit& l) {
  switch (l.kind) {
    case LimitKind::Positive: return "a value greater than 0";
    case LimitKind::NotNegative: return "a value of at least 0";
    case LimitKind::Range:
      return "an integer in " + std::to_string(l.low) + ".." + (l.high_name ? l.high_name : std::to_string(l.high));
    case LimitKind::AtLeast: return "an integer of at least " + std::to_string(l.low);
    default: return "";
  }
}

const char* limit_name(LimitKind k) {
  switch (k) {
    case LimitKind::None: return "none";
    case LimitKind::Positive: return "positive";
    case LimitKind::NotNegative: return "not_negative";
    case LimitKind::Range: return "range";
    case LimitKind::AtLeast: return "at_least";
    case LimitKind::RunName: return "run_name";
  }
  return "";
}

}  // namespace

const std::vector<InputValue>& input_values() {
  static const std::vector<InputValue> values = make_values();
  return values;
}

const std::vector<InputRead>& input_reads() {
  static const std::vector<InputRead> reads = make_reads();
  return reads;
}

const std::vector<InputRule>& input_rules() {
  static const std::vector<InputRule> rules = make_rules();
  return rules;
}

const InputValue* input_value(std::string_view name) {
  for (const InputValue& v : input_values())
    if (name == v.name) return &v;
  return nullptr;
}

std::string describe_input_json() {
  // The line of each value in the commented file, one read per line.
  std::map<std::string, int> line_of;
  std::string reads;
  int line = 0;
  for (const InputRead& r : input_reads()) {
    if (!reads.empty()) reads += ",\n";
    const int first = line + 1;
    if (r.kind == ReadKind::Skip || r.kind == ReadKind::Label) {
      line += static_cast<int>(r.lines.size());
      reads += std::string("    {\"kind\": ") + (r.kind == ReadKind::Skip ? "\"skip\"" : "\"label\"") +
               ", \"line\": " + std::to_string(first);
      if (r.what) reads += ", \"what\": " + json_text(r.what);
      reads += ", \"lines\": [";
      for (std::size_t k = 0; k < r.lines.size(); ++k) reads += (k ? ", " : "") + json_text(r.lines[k]);
      reads += "]}";
    } else {
      line += 1;
      reads += std::string("    {\"kind\": ") + (r.kind == ReadKind::List ? "\"list\"" : "\"text\"") +
               ", \"line\": " + std::to_string(first);
      if (r.kind == ReadKind::Text) reads += ", \"width\": 12";
      reads += ", \"values\": [";
      for (std::size_t k = 0; k < r.values.size(); ++k) {
        reads += (k ? ", " : "") + json_text(r.values[k]);
        line_of[r.values[k]] = first;
      }
      reads += "]}";
    }
  }
  std::string values;
  for (const InputValue& v : input_values()) {
    if (!values.empty()) values += ",\n";
    values += "    {\"name\": " + json_text(v.name) + ", \"line\": " + std::to_string(line_of[v.name]) +
              ", \"type\": \"" + type_name(v.type) + "\", \"what\": " + json_text(v.what) +
              ", \"unit\": " + json_text(v.unit) + ",\n     \"description\": " + json_text(v.description) +
              ",\n     \"limit\": {\"kind\": \"" + limit_name(v.limit.kind) + "\"";
    const Limit& l = v.limit;
    if (l.kind == LimitKind::Range || l.kind == LimitKind::AtLeast) values += ", \"low\": " + std::to_string(l.low);
    if (l.kind == LimitKind::Range)
      values += ", \"high\": " + (l.high_name ? json_text(l.high_name) : std::to_string(l.high));
    if (l.when) values += ", \"when\": {" + json_text(l.when) + ": " + (l.when_value ? "true" : "false") + "}";
    if (l.kind != LimitKind::None && l.kind != LimitKind::RunName)
      values += ", \"expected\": " + json_text(expected_text(l)) +
                ", \"checked_as\": " + json_text(l.checked_as ? l.checked_as : v.what);
    values += "}}";
  }
  std::string rules;
  for (const InputRule& r : input_rules()) {
    if (!rules.empty()) rules += ",\n";
    rules += "    {\"name\": " + json_text(r.name) + ", \"line_of\": " + json_text(r.line_of) +
             ", \"description\": " + json_text(r.description) + "}";
  }
  return "{\n  \"file\": \"PROB.INP\",\n  \"lines\": " + std::to_string(line) + ",\n  \"max_grid\": " +
         std::to_string(kMaxGrid) + ",\n  \"derived\": {\"nj\": \"n_flow + n_memb + n_gel + 2\"},\n" +
         "  \"reads\": [\n" + reads + "\n  ],\n  \"values\": [\n" + values + "\n  ],\n  \"rules\": [\n" + rules +
         "\n  ]\n}\n";
}

}  // namespace questrand
