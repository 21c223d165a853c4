#include "setup/input.hpp"

#include "physics/physics.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <sys/stat.h>

#include "io/list_reader.hpp"
#include "setup/grid.hpp"
#include "setup/input_table.hpp"
#include "setup/run_files.hpp"
#include "core/graded_columns.hpp"
#include "setup/text_helpers.hpp"

namespace questrand {

using io::InputError;
using io::ListItem;
using io::ListReader;

namespace {

// A problem input is a few kilobytes; anything beyond this is not one.
constexpr long long kMaxInputBytes = 1 << 24;

// Reports a value that was read but lies outside its allowed range.
[[noreturn]] void reject(const std::string& file, int line, std::string_view what, const std::string& allowed,
                         const std::string& found) {
  std::ostringstream msg;
  msg << file << ": line " << line << ": " << what << ": expected " << allowed << ", found " << found;
  throw InputError(msg.str());
}

std::string show(float v) {
  std::ostringstream ss;
  ss.precision(9);
  ss << v;
  return ss.str();
}

void check_range(const std::string& file, int line, std::string_view what, int value, int lo, int hi) {
  if (value < lo || value > hi)
    reject(file, line, what, "an integer in " + std::to_string(lo) + ".." + std::to_string(hi), std::to_string(value));
}

void check_at_least(const std::string& file, int line, std::string_view what, int value, int lo) {
  if (value < lo) reject(file, line, what, "an integer of at least " + std::to_string(lo), std::to_string(value));
}

void check_positive(const std::string& file, int line, std::string_view what, float value) {
  if (!(value > 0.0f)) reject(file, line, what, "a value greater than 0", show(value));
}

void check_not_negative(const std::string& file, int line, std::string_view what, float value) {
  if (!(value >= 0.0f)) reject(file, line, what, "a value of at least 0", show(value));
}

// The run's own output names that a listing named `listing` must not share.
// Returns the colliding file's role, or an empty text.  (A step-stamped name
// such as T00001.CON has the stem T00001, so it meets the end-of-run files of
// the same name.)
std::string collision(const State& s, const std::string& listing) {
  const Cio& io = s.cio;
  const RunFiles files = run_files(io);
  struct Named {
    bool on;
    std::string name;
    const char* role;
  };
  const Named outputs[] = {
      {io.restart_out, files.restart_out, "the restart file written at the end"},
      {io.restart_out, files.restart_temp, "the temporary file of the restart write"},
      {io.restart_in, files.restart_in, "the restart file read at the start"},
      {io.save_vel, files.save(".VEL"), "the velocity save file"},
      {io.save_prs, files.save(".PRS"), "the pressure save file"},
      {io.save_tmp, files.save(".TMP"), "the temperature save file"},
      {io.save_con, files.save(".CON"), "the concentration save file"},
      {io.save_con, files.save(".CPR"), "the end-of-run profile file along x"},
      {io.save_con, files.save(".VPR"), "the end-of-run profile file along y"},
      {true, kMonitorFile, "the monitor file"},
      {true, files.uptake(), "the uptake file"},
      {true, kProblemFile, "the problem input"},
  };
  for (const Named& o : outputs)
    if (o.on && o.name == listing) return o.role;
  return "";
}

}  // namespace

namespace {

// The bound a Range limit names: "ni" or "nj" of the grid read so far.
int named_bound(const State& s, const char* name) {
  const std::string_view n = name;
  if (n == "ni") return s.cgrid.ni;
  if (n == "nj") return s.cgrid.nj;
  return 0;
}

// The limit check of one value (by its table entry) on the value's line.
void check_value(State& s, const std::string& file, int line, const InputValue& v) {
  const Limit& l = v.limit;
  const std::string_view what = l.checked_as ? l.checked_as : v.what;
  void* p = v.target(s);
  switch (l.kind) {
    case LimitKind::Positive: check_positive(file, line, what, *static_cast<float*>(p)); break;
    case LimitKind::NotNegative: check_not_negative(file, line, what, *static_cast<float*>(p)); break;
    case LimitKind::Range:
      check_range(file, line, what, *static_cast<int*>(p), l.low, l.high_name ? named_bound(s, l.high_name) : l.high);
      break;
    case LimitKind::AtLeast: check_at_least(file, line, what, *static_cast<int*>(p), l.low); break;
    default: break;
  }
}

// After the cell rows: the number of grid rows, the node coordinates of the
// three layers and their mirror nodes, and the check that no two coincide.
void build_grid(State& s, const std::string& file, int rows_line, int geometry_line) {
  Cprob& pb = s.cprob;
  Cgrid& g = s.cgrid;
  const int nj = pb.n_flow + pb.n_memb + pb.n_gel + 2;
  if (nj > kMaxGrid)
    reject(file, rows_line, "number of grid rows (cell rows of channel, membrane and gel plus 2)",
           "at most " + std::to_string(kMaxGrid), std::to_string(nj));
  g.nj = nj;

  // Nodes: interior columns on [0, chlength], rows of the three layers, and
  // mirror nodes outside the inlet, the outlet, the symmetry plane and the top.
  if (s.cscheme.scheme == Scheme::second_order_graded)
    graded_grid(g.x, pb.chlength, 2, g.ni - 1, kGradedColumns.width);
  else
    grid1(g.x, kMaxGrid, 0.0f, pb.chlength, 2, g.ni - 1);
  g.x(1) = -g.x(2);
  g.x(g.ni) = 2.0f * pb.chlength - g.x(g.ni - 1);
  pb.jflow1 = 2;
  pb.jflow2 = pb.n_flow + 1;
  pb.jmemb1 = pb.n_flow + 2;
  pb.jmemb2 = pb.n_flow + pb.n_memb + 1;
  pb.jgel1 = pb.n_flow + pb.n_memb + 2;
  pb.jgel2 = g.nj - 1;
  grid1(g.y, kMaxGrid, 0.0f, pb.halfgap, pb.jflow1, pb.jflow2);
  grid1(g.y, kMaxGrid, pb.halfgap, pb.th_memb, pb.jmemb1, pb.jmemb2);
  grid1(g.y, kMaxGrid, pb.halfgap + pb.th_memb, pb.th_gel, pb.jgel1, pb.jgel2);
  g.y(1) = -g.y(2);
  g.y(g.nj) = 2.0f * (pb.halfgap + pb.th_memb + pb.th_gel) - g.y(g.nj - 1);
  // Extreme lengths (or a length far below its neighbours) leave nodes that
  // coincide or overflow: no cell could be formed.
  for (int i = 2; i <= g.ni; ++i)
    if (!(std::isfinite(g.x(i)) && g.x(i) > g.x(i - 1)))
      reject(file, geometry_line, "channel length",
             "a length that gives distinct, finite grid columns for " + std::to_string(g.ni) + " columns",
             show(pb.chlength));
  for (int j = 2; j <= g.nj; ++j)
    if (!(std::isfinite(g.y(j)) && g.y(j) > g.y(j - 1)))
      reject(file, geometry_line, "half-gap, membrane and gel thicknesses",
             "thicknesses that give distinct, finite grid rows (row " + std::to_string(j) + " meets row " +
                 std::to_string(j - 1) + ")",
             show(pb.halfgap) + ", " + show(pb.th_memb) + ", " + show(pb.th_gel));
}

// The settings the problem input does not carry, and those that follow
// from its switches.
void set_fixed_settings(State& s) {
  s.cgrid.axisym = false;
  s.cvar.solve_v = s.cvar.solve_u;
  s.cvar.solve_p = s.cvar.solve_u;
  s.cvar.solve_t = false;
  s.cprop.propupd = true;
  s.cterm.resref_m = s.cterm.resref_u = s.cterm.resref_v = s.cterm.resref_t = s.cterm.resref_c = 1.0f;
  s.crelx.relax_v = s.crelx.relax_u;
  s.cpres.ipref = 2;
  s.cpres.jpref = 2;
  s.csolv.solver_v = s.csolv.solver_u;
  s.csolv.solver_alpha = 0.8f;
  s.cters.sweeps_u = 3;
  s.cters.sweeps_v = 3;
  s.cters.sweeps_p = 5;
  s.cters.sweeps_t = 1;
  s.cters.sweeps_c = 1;
  s.cters.tol_u = s.cters.tol_v = s.cters.tol_p = s.cters.tol_t = s.cters.tol_c = 1.0e-6f;
  s.cio.prt_iter = 1000;
  s.cio.save_vel = s.cvar.solve_u;
  s.cio.save_prs = s.cvar.solve_u;
  s.cio.save_tmp = false;
  s.cio.save_con = s.cvar.solve_c;
  s.cio.rstin_name = s.cio.runname;
  appendext(s.cio.rstin_name, ".sav", 1);
  s.cio.rstout_name = s.cio.rstin_name;
}

}  // namespace

std::vector<std::string> read_problem(State& s, const std::string& file, const std::string& content) {
  ListReader in(file, content);
  const std::vector<InputValue>& values = input_values();
  // Per value: the line it was read on (0: not yet read) and whether its
  // limit has been checked.  A limit is checked as soon as the value and the
  // switch it depends on have both been read, in table order.
  std::vector<int> line_of(values.size(), 0);
  std::vector<bool> checked(values.size(), false);
  auto index_of = [&values](std::string_view name) {
    for (std::size_t k = 0; k < values.size(); ++k)
      if (name == values[k].name) return k;
    return values.size();
  };

  for (const InputRead& r : input_reads()) {
    switch (r.kind) {
      case ReadKind::Skip: in.skip_lines(static_cast<int>(r.lines.size()), r.what); break;
      case ReadKind::Label: in.read_list({}); break;
      case ReadKind::Text: {
        const InputValue& v = values[index_of(r.values[0])];
        *static_cast<std::string*>(v.target(s)) = in.read_text(12, v.what);
        break;
      }
      case ReadKind::List: {
        std::vector<ListItem> items;
        for (const char* name : r.values) {
          const InputValue& v = values[index_of(name)];
          void* p = v.target(s);
          switch (v.type) {
            case ValueType::Real: items.push_back(ListItem::real(*static_cast<float*>(p), v.what)); break;
            case ValueType::Integer: items.push_back(ListItem::integer(*static_cast<int*>(p), v.what)); break;
            default: items.push_back(ListItem::logical(*static_cast<bool*>(p), v.what)); break;
          }
        }
        in.read_list(items);
        break;
      }
    }
    for (const char* name : r.values) line_of[index_of(name)] = in.line_number();
    for (std::size_t k = 0; k < values.size(); ++k) {
      const Limit& l = values[k].limit;
      if (checked[k] || line_of[k] == 0) continue;
      if (l.when) {
        const std::size_t w = index_of(l.when);
        if (line_of[w] == 0) continue;
        checked[k] = true;
        if (*static_cast<bool*>(values[w].target(s)) != l.when_value) continue;
      }
      checked[k] = true;
      check_value(s, file, line_of[k], values[k]);
    }
    if (r.kind == ReadKind::List && std::string_view(r.values.back()) == "n_gel")
      build_grid(s, file, in.line_number(), line_of[index_of("chlength")]);
  }
  set_fixed_settings(s);

  const int name_line = line_of[index_of("runname")];
  // The run name names the listing file: it must be a usable, distinct name.
  const std::string listing = run_files(s.cio).listing;
  const std::string shown = "\"" + s.cio.runname + "\"";
  if (listing.empty()) reject(file, name_line, "run name", "a name in columns 1-12 (it names the listing file)", "a blank name");
  for (char ch : listing)
    if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) == 0x7F)
      reject(file, name_line, "run name", "printable characters only (it names the listing file)",
             "\"" + io::printable(s.cio.runname) + "\"");
  if (listing.find('/') != std::string::npos)
    reject(file, name_line, "run name", "a file name in the working directory, without '/'", shown);
  if (listing == "." || listing == "..") reject(file, name_line, "run name", "a file name", shown);
  // The rule shared with the toolkit; what is left for it here: bytes that are
  // not UTF-8 text of printable characters, or a character cut in two by the
  // end of the 12-byte field or by the stem of the save files.
  if (!run_name_allowed(listing) || !run_name_allowed(run_files(s.cio).stem))
    reject(file, name_line, "run name",
           "UTF-8 text of printable characters, none cut in two by column 12 or by the stem of the save files "
           "(it names the files of the run)",
           "\"" + io::printable(s.cio.runname) + "\"");
  if (s.cio.restart_in || s.cio.restart_out) {
    if (s.cio.runname.find('.') == std::string::npos && chrbln(s.cio.runname) == 12)
      reject(file, name_line, "run name",
             "a name with a point or shorter than 12 characters when a restart file is read or written "
             "(the restart name would equal the run name, so the restart file and the listing would overwrite each other)",
             shown);
  }
  const std::string role = collision(s, listing);
  if (!role.empty())
    reject(file, name_line, "run name",
           "a name different from the run's other files (the listing would be overwritten by " + role + ")", shown);
  return in.warnings();
}

void input(State& s) {
  struct stat st {};
  if (::stat(kProblemFile, &st) != 0)
    throw InputError(std::string(kProblemFile) + ": cannot open the problem input: " + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) throw InputError(std::string(kProblemFile) + ": is a directory, expected the problem input file");
  if (!S_ISREG(st.st_mode))
    throw InputError(std::string(kProblemFile) + ": is not a regular file, expected the problem input file");
  if (st.st_size > kMaxInputBytes)
    throw InputError(std::string(kProblemFile) + ": is " + std::to_string(st.st_size) +
                     " bytes long, expected a problem input of at most " + std::to_string(kMaxInputBytes) + " bytes");
  std::ifstream f(kProblemFile, std::ios::binary);
  if (!f) throw InputError(std::string(kProblemFile) + ": cannot open the problem input: " + std::strerror(errno));
  // Read what stat reported and one byte more, to notice a file that grows
  // while it is read.
  std::string content(static_cast<std::size_t>(st.st_size) + 1, '\0');
  f.read(content.data(), static_cast<std::streamsize>(content.size()));
  if (f.bad()) throw InputError(std::string(kProblemFile) + ": cannot read the problem input");
  content.resize(static_cast<std::size_t>(f.gcount()));
  if (content.size() > static_cast<std::size_t>(st.st_size))
    throw InputError(std::string(kProblemFile) + ": changed while it was read, expected a problem input at rest");
  for (const std::string& warning : read_problem(s, kProblemFile, content))
    std::fprintf(stderr, "%s\n", warning.c_str());
  read_physics(s);  // PHYSICS.INP, when there is one
}

}  // namespace questrand
