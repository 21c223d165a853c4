// libFuzzer target: the problem-input reader (read_problem) on arbitrary text.
//
// Bad input must end in io::InputError and nothing else: any other exception,
// a sanitizer report or a broken invariant of an accepted input is a crash.
//
// With QUESTRAND_FUZZ_STRICT=1 in the environment, an accepted input must
// also give finite, strictly increasing node coordinates in x and y.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/state.hpp"
#include "io/list_reader.hpp"
#include "setup/input.hpp"

namespace {

using questrand::State;

// Two states made once: a pristine default one and the one each input is
// read into.  The reader sets only the small blocks (grid vectors, sizes,
// switches, names); the 350 x 350 fields, which make up nearly all of the
// state's 18 MB, are neither read nor written by it, so only the small blocks
// are copied back between inputs.
State* pristine = nullptr;
State* work = nullptr;
bool strict = false;

void reset(State& w, const State& p) {
  w.cgrid = p.cgrid;
  w.ctime = p.ctime;
  w.cvar.solve_u = p.cvar.solve_u;
  w.cvar.solve_v = p.cvar.solve_v;
  w.cvar.solve_p = p.cvar.solve_p;
  w.cvar.solve_t = p.cvar.solve_t;
  w.cvar.solve_c = p.cvar.solve_c;
  w.cprop.propupd = p.cprop.propupd;
  w.cprop.vis0 = p.cprop.vis0;
  w.cprop.den0 = p.cprop.den0;
  w.cprop.prandtl = p.cprop.prandtl;
  w.cprop.schmidt = p.cprop.schmidt;
  w.cterm = p.cterm;
  w.crelx = p.crelx;
  w.cpres = p.cpres;
  w.csolv = p.csolv;
  w.cters = p.cters;
  w.cio = p.cio;
  w.cgen = p.cgen;
  w.cprob = p.cprob;
}

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "fuzz_problem_input: accepted input breaks an invariant: %s\n", what);
  std::abort();
}

void require(bool ok, const char* what) {
  if (!ok) broken(what);
}

bool finite_positive(float v) { return std::isfinite(v) && v > 0.0f; }

// What every accepted problem input guarantees to the rest of the program.
void check_accepted(const State& s) {
  const auto& g = s.cgrid;
  const auto& pb = s.cprob;
  const auto& io = s.cio;
  require(g.ni >= 3 && g.ni <= questrand::kMaxGrid, "ni in 3..350");
  require(pb.n_flow >= 1 && pb.n_memb >= 1 && pb.n_gel >= 1, "layer row counts at least 1");
  require(g.nj == pb.n_flow + pb.n_memb + pb.n_gel + 2, "nj = rows of the three layers + 2");
  require(g.nj >= 5 && g.nj <= questrand::kMaxGrid, "nj in 5..350");
  require(pb.jflow1 == 2 && pb.jflow2 >= pb.jflow1 && pb.jmemb1 == pb.jflow2 + 1 && pb.jmemb2 >= pb.jmemb1 &&
              pb.jgel1 == pb.jmemb2 + 1 && pb.jgel2 >= pb.jgel1 && pb.jgel2 == g.nj - 1,
          "layer rows follow each other");
  require(finite_positive(pb.chlength) && finite_positive(pb.halfgap) && finite_positive(pb.th_memb) &&
              finite_positive(pb.th_gel),
          "dimensions finite and positive");
  require(std::isfinite(pb.u_in) && std::isfinite(pb.c_in) && std::isfinite(pb.density) &&
              std::isfinite(pb.viscosity) && std::isfinite(pb.diff_flow) && std::isfinite(pb.diff_memb) &&
              std::isfinite(pb.diff_gel) && std::isfinite(pb.spare),
          "physical values finite");
  require(std::isfinite(s.ctime.dt) && std::isfinite(s.cterm.convtol), "dt and tolerance finite");
  require(s.ctime.steady || s.ctime.dt > 0.0f, "transient run has dt > 0");
  require(s.cterm.maxit >= 1, "maxit at least 1");
  require(io.prt_step >= 1, "field-table interval at least 1");
  require(io.imon >= 1 && io.imon <= g.ni && io.jmon >= 1 && io.jmon <= g.nj, "monitoring node inside the grid");
  require(!s.cvar.solve_u || s.crelx.relax_u > 0.0f, "flow solved with relax_u > 0");
  require(!s.cvar.solve_c || s.crelx.relax_c > 0.0f, "concentration solved with relax_c > 0");
  require(s.cvar.solve_v == s.cvar.solve_u && s.cvar.solve_p == s.cvar.solve_u && !s.cvar.solve_t,
          "equation switches follow the flow switch");
  require(io.runname.size() == 12 && io.rstin_name.size() == 12 && io.rstout_name == io.rstin_name,
          "names are 12 characters, restart names equal");
  std::size_t end = io.runname.find_last_not_of(std::string(" \0", 2));
  require(end != std::string::npos, "run name not blank");
  const std::string listing = io.runname.substr(0, end + 1);
  require(listing.find('/') == std::string::npos && listing != "." && listing != "..", "run name a plain file name");
  if (io.restart_in || io.restart_out) {
    std::size_t rend = io.rstin_name.find_last_not_of(std::string(" \0", 2));
    require(rend != std::string::npos && io.rstin_name.substr(0, rend + 1) != listing,
            "restart name differs from the listing name");
  }
  require(listing != "PROB.INP" && listing != "monitor.dat", "listing does not overwrite fixed files");

  if (strict) {
    for (int i = 1; i <= g.ni; ++i) require(std::isfinite(g.x(i)), "x coordinates finite");
    for (int j = 1; j <= g.nj; ++j) require(std::isfinite(g.y(j)), "y coordinates finite");
    for (int i = 2; i <= g.ni; ++i) require(g.x(i) > g.x(i - 1), "x coordinates strictly increasing");
    for (int j = 2; j <= g.nj; ++j) require(g.y(j) > g.y(j - 1), "y coordinates strictly increasing");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  pristine = new State();
  work = new State();
  const char* env = std::getenv("QUESTRAND_FUZZ_STRICT");
  strict = env != nullptr && env[0] == '1';
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  reset(*work, *pristine);
  const std::string content(reinterpret_cast<const char*>(data), size);
  try {
    questrand::read_problem(*work, questrand::kProblemFile, content);
  } catch (const questrand::io::InputError& e) {
    // The message is one line naming the problem input.
    const std::string msg = e.what();
    if (msg.rfind(std::string(questrand::kProblemFile) + ": ", 0) != 0) broken("error message names the file");
    if (msg.find('\n') != std::string::npos) broken("error message is one line");
    return 0;
  }
  check_accepted(*work);
  return 0;
}
